#include "tests/fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>

#include "diag/log.h"
#include "tools/archive_writer.h"
#include "update/md5.h"
#include "update/release_url.h"
#include "util/file_util.h"

void FuzzCheckFailed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "==FUZZ CHECK FAILED== %s:%d: %s\n", file, line, what);
  std::abort();
}

namespace {

// The process's folder, in memory when the machine has /dev/shm: the code
// under test flushes what it writes, which on a disk costs more than the
// parsing itself.
class ProcessFolder {
 public:
  ProcessFolder() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/kestrava-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ProcessFolder() {
    if (path_.empty()) return;
    DeleteFolderContents(path_, true, false);
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

const std::string& FuzzFolder() {
  // Millions of inputs each log several records: formatted, never stored.
  static const bool silenced = SetLogFile("/dev/null");
  static const ProcessFolder folder;
  (void)silenced;
  if (folder.path().empty())
    FuzzCheckFailed("scratch folder could not be made", __FILE__, __LINE__);
  return folder.path();
}

std::string FreshFolder(const std::string& relative) {
  const std::string path = FuzzFolder() + "/" + relative;
  CreateFolderPath(path);
  DeleteFolderContents(path, true, false);
  return path + "/";
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  CreateParentFolders(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  FUZZ_CHECK(out.good());
}

void WriteText(const std::string& path, const std::string& text) {
  WriteInput(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

FuzzEngine::FuzzEngine(const std::string& installDir) {
  engine = std::make_unique<CVXDlownloader>(installDir);
  engine->SetReleaseBaseUrl(kFuzzReleaseUrl);
  engine->SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server));
}

void FuzzEngine::Serve(const std::string& relative, std::string body) {
  FakeResource r;
  r.body = std::move(body);
  server.Put(kFuzzReleaseUrl + relative, std::move(r));
}

std::string SevenZipOf(const std::string& name, const std::string& content) {
  static std::map<std::string, std::string> made;
  std::string& bytes = made[name + '\0' + content];
  if (!bytes.empty()) return bytes;
  const std::string path = FuzzFolder() + "/made.7z";
  std::string error;
  if (!PackSevenZip(path, {PackItem{name, "", content}}, 1, nullptr, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    FuzzCheckFailed("a 7z archive could not be made", __FILE__, __LINE__);
  }
  bytes = ReadWhole(path);
  std::remove(path.c_str());
  return bytes;
}

std::string Md5Of(const std::string& text) {
  Md5Context md5;
  md5.Update(text.data(), text.size());
  return md5.HexDigest();
}
