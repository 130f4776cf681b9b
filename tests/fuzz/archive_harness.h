// The body of the archive targets (7z and zip seeds share it): the input is
// stored as an archive file and unpacked by each of the three extraction
// routines into a destination folder of its own, under a write guard on
// just that folder; the in-memory handle wrapper reads it too. After each
// input:
//  - nothing exists beside the destinations but the input and an empty
//    canary folder (ExtractSingleFile leaves only its target), and no link
//    exists anywhere below them;
//  - no temporary file is left behind: every file our code created
//    exclusively (how it makes its temporary files) is gone again; names
//    are not judged, since items may carry any name, ".tmp-" included;
//  - every file ExtractPackage reports lies where it says, with the size and
//    MD5 it reports.
//
// Thread-safety: one input at a time (libFuzzer's thread).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/write_guard.h"
#include "update/archive.h"
#include "update/md5.h"
#include "update/safe_path.h"
#include "util/file_util.h"

namespace archive_fuzz {

// Counts the item callbacks, as the worker does. (A damaged zip may be
// read as more items than its headers count: the counts only move the
// progress bar, which stops short of full until the pass ends.)
class CountingProgress : public ExtractProgress {
 public:
  void OnItemCount(int n) override { items = n; }
  void OnFileWritten() override { ++written; }
  int items = -1;
  int written = 0;
};

// Every entry below folder, links and special files included (links are
// not followed), as names relative to it.
inline std::vector<std::string> ListTree(const std::string& folder) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    names.push_back(it->path().string().substr(folder.size() + 1));
  }
  FUZZ_CHECK(!error);
  return names;
}

// No link, and nothing but files and folders, below folder.
inline void CheckTree(const std::string& folder) {
  for (const std::string& name : ListTree(folder)) {
    struct stat st;
    FUZZ_CHECK(lstat((folder + "/" + name).c_str(), &st) == 0);
    FUZZ_CHECK(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
  }
}

// Files ExtractPackage reported are on disk as reported (a later item of
// the same name replaces an earlier one, so the last report counts).
inline void CheckReported(const std::string& dest, const std::vector<ExtractedFile>& files) {
  std::map<std::string, const ExtractedFile*> last;
  for (const ExtractedFile& f : files) {
    FUZZ_CHECK(IsSafeRelativePath(f.name));
    last[f.name] = &f;
  }
  for (const auto& [name, f] : last) {
    FUZZ_CHECK(IsPlainFile(dest + name));
    FUZZ_CHECK(FileSizeOf(dest + name) == f->size);
    FUZZ_CHECK(Md5OfFile(dest + name) == f->md5);
  }
}

// The in-memory wrapper: every item described and decoded once.
inline void ReadInMemory(const uint8_t* data, size_t size) {
  HZIP7 zip = nullptr;
  if (Open7Zip(data, static_cast<int64_t>(size), &zip) != kZ7Ok) return;
  Z7ENTRY entry{};
  Get7ZipItem(zip, -1, &entry);
  const int count = entry.index;
  FUZZ_CHECK(count >= 0);
  for (int i = 0; i < count && i < 64; ++i) {
    Get7ZipItem(zip, i, &entry);
    FUZZ_CHECK(entry.name[sizeof entry.name - 1] == '\0');
    const unsigned char* bytes = nullptr;
    size_t length = 0;
    if (Unzip7ZipItem(zip, i, &bytes, &length) == kZ7Ok && length > 0) {
      FUZZ_CHECK(bytes != nullptr);
      volatile unsigned char touch = bytes[0] ^ bytes[length - 1];
      (void)touch;
    }
  }
  Get7ZipItem(zip, count, &entry);  // one past the end: an empty entry
  FUZZ_CHECK(entry.name[0] == '\0' && entry.size == 0);
  Close7Zip(zip);
}

inline void Run(const uint8_t* data, size_t size, const char* extension) {
  const std::string root = FreshFolder("archive");
  const std::string canary = FreshFolder("archive/canary");
  const std::string in = FreshFolder("archive/in");
  const std::string out = FreshFolder("archive/out");
  const std::string input = in + "input" + extension;
  WriteInput(input, data, size);

  // Each routine gets a destination of its own, and a guard on just that.
  const std::string package = out + "package/", folder = out + "folder/", single = out + "single/";
  for (const std::string& dest : {package, folder, single}) CreateFolderPath(dest);
  std::vector<ExtractedFile> reported;
  CountingProgress progress;
  TakeExclusivelyCreated();
  {
    WriteGuard guard(package);
    ExtractPackage(input, package, &reported, &progress);
  }
  std::string md5;
  {
    WriteGuard guard(folder);
    ExtractToFolder(input, folder, &md5);
  }
  {
    WriteGuard guard(single);
    ExtractSingleFile(input, single + "file.bin", &md5);
  }
  if (!md5.empty()) FUZZ_CHECK(Md5OfFile(single + "file.bin") == md5);
  for (const std::string& temp : TakeExclusivelyCreated()) {
    struct stat st;
    if (lstat(temp.c_str(), &st) == 0) {
      std::fprintf(stderr, "temporary file left behind: %s\n", temp.c_str());
      FUZZ_CHECK(false);
    }
  }
  ReadInMemory(data, size);

  for (const std::string& name : ListTree(root.substr(0, root.size() - 1))) {
    const bool expected = name == "canary" || name == "in" || name == "out" ||
                          name == "in/input" + std::string(extension) ||
                          name.compare(0, 12, "out/package/") == 0 || name == "out/package" ||
                          name.compare(0, 11, "out/folder/") == 0 || name == "out/folder" ||
                          name == "out/single" || name == "out/single/file.bin";
    if (!expected)
      std::fprintf(stderr, "unexpected entry beside the destination: %s\n", name.c_str());
    FUZZ_CHECK(expected);
  }
  CheckTree(out.substr(0, out.size() - 1));
  CheckReported(out + "package/", reported);
}

}  // namespace archive_fuzz
