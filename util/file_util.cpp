#include "util/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "util/text_util.h"

namespace {

std::string Slashed(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Names of a folder's entries (without "." and ".."), in byte order so that
// every listing is repeatable.
bool ReadFolderNames(const std::string& folder, std::vector<std::string>& names) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return true;
}

// Copies the bytes of an open file into a new temporary file beside
// `destination`; returns the temporary path, or "" after cleaning up.
std::string CopyToTemp(int in, const std::string& destination, mode_t mode) {
  std::string temp = TempPathFor(destination);
  int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
  if (out < 0) return "";
  static constexpr size_t kPiece = 256 * 1024;
  std::vector<char> buffer(kPiece);
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buffer.data(), kPiece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  ok = fsync(out) == 0 && ok;
  ok = close(out) == 0 && ok;
  if (!ok) {
    unlink(temp.c_str());
    return "";
  }
  return temp;
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool IsPlainFile(const std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  return stat(Slashed(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CopyPlainFile(const std::string& source, const std::string& destination, bool failIfExists) {
  std::string from = Slashed(source);
  std::string to = Slashed(destination);
  if (!IsPlainFile(from)) return false;
  if (failIfExists && FileExists(to)) return false;
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st {};
  fstat(in, &st);
  std::string temp = CopyToTemp(in, to, st.st_mode);
  close(in);
  if (temp.empty()) return false;
  // link() refuses an existing name, which keeps failIfExists exact even
  // when another writer creates the destination meanwhile.
  bool placed =
      failIfExists ? link(temp.c_str(), to.c_str()) == 0 : rename(temp.c_str(), to.c_str()) == 0;
  if (failIfExists || !placed) unlink(temp.c_str());
  return placed;
}

int64_t FileSizeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), R_OK) != 0) {
    return 0;
  }
  return st.st_size;
}

std::string FileNameOf(const std::string& path) {
  size_t at = path.find_last_of("/\\");
  return at == std::string::npos ? path : path.substr(at + 1);
}

std::string GetParentFolder(const std::string& path) {
  size_t at = path.find_last_of("/\\");
  return at == std::string::npos ? std::string() : path.substr(0, at);
}

namespace {
// The executable's path, read once; written only by the first caller.
const char* ModulePath() {
  static char path[2048];
  if (path[0] == '\0') {
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
  }
  return path;
}
}  // namespace

const char* GetModuleFolder() {
  static char folder[2048];
  const char* full = ModulePath();
  const char* slash = strrchr(full, '/');
  size_t n = slash ? static_cast<size_t>(slash - full) : 0;
  memcpy(folder, full, n);
  folder[n] = '\0';
  return folder;
}

bool EnterModuleFolder() {
  const char* folder = GetModuleFolder();
  return *folder != '\0' && chdir(folder) == 0;
}

const char* GetModuleNamePart() {
  const char* full = ModulePath();
  const char* slash = strrchr(full, '/');
  return slash ? slash + 1 : full;
}

namespace {

// Makes `folder` and what it lacks above it, deepest first: the usual case,
// a folder that is there already, costs one system call instead of one per
// level. True when this call created `folder` itself.
bool MakeFolderChain(const std::string& folder) {
  if (folder.empty() || folder == "/") return false;
  if (mkdir(folder.c_str(), 0755) == 0) return true;
  if (errno != ENOENT) return false;  // there already, or not to be made
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeFolderChain(folder.substr(0, slash));
  return mkdir(folder.c_str(), 0755) == 0;
}

}  // namespace

bool CreateFolderPath(const std::string& path) {
  std::string folder = Slashed(path);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return MakeFolderChain(folder);
}

bool CreateParentFolders(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeFolderChain(path.substr(0, slash));
  return true;
}

bool DeleteFolderContents(const std::string& folder, bool deleteDesktopIni, bool wipeIndexDat) {
  std::vector<std::string> names;
  if (!ReadFolderNames(folder, names)) return false;
  for (const std::string& name : names) {
    if (!deleteDesktopIni && strcasecmp(name.c_str(), "desktop.ini") == 0) continue;
    std::string full = folder + "/" + name;
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      // A folder without write permission keeps its entries: open it up.
      if ((st.st_mode & S_IWUSR) == 0) chmod(full.c_str(), st.st_mode | S_IRWXU);
      DeleteFolderContents(full, deleteDesktopIni, wipeIndexDat);
      rmdir(full.c_str());
      continue;
    }
    if (wipeIndexDat && S_ISREG(st.st_mode) && strcasecmp(name.c_str(), "index.dat") == 0) {
      WipeFileBody(folder, name);
    }
    unlink(full.c_str());
  }
  return true;
}

bool WipeFileBody(const std::string& folder, const std::string& name) {
  std::string full = folder + "/" + name;
  int fd = open(full.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  fstat(fd, &st);
  static const char kZeros[10000] = {};
  bool ok = lseek(fd, 64, SEEK_SET) == 64;
  for (int64_t left = st.st_size - 64; ok && left > 0;) {
    size_t n = static_cast<size_t>(std::min<int64_t>(left, sizeof kZeros));
    ok = WriteAll(fd, kZeros, n);
    left -= static_cast<int64_t>(n);
  }
  close(fd);
  return true;
}

FILE* OpenFileForWrite(const std::string& path) {
  for (size_t at = path.find_first_of("/\\", 1); at != std::string::npos;
       at = path.find_first_of("/\\", at + 1)) {
    std::string folder = Slashed(path.substr(0, at));
    if (!IsFolder(folder)) mkdir(folder.c_str(), 0755);
  }
  return fopen(Slashed(path).c_str(), "wb");
}

bool ReadFileHead(const std::string& path, size_t count, std::string* out) {
  out->assign(count, '\0');
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  pread(fd, out->data(), count, 0) == static_cast<ssize_t>(count);
  close(fd);
  return ok;
}

bool ReadWholeFile(const std::string& path, int64_t maxBytes, std::string* out) {
  out->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxBytes;
  // The size read first only sizes the buffer: a file that grows meanwhile
  // is still cut off at maxBytes + 1, which reads as too large.
  if (ok) out->reserve(static_cast<size_t>(st.st_size));
  char buffer[64 * 1024];
  while (ok) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out->append(buffer, static_cast<size_t>(n));
    ok = static_cast<int64_t>(out->size()) <= maxBytes;
  }
  close(fd);
  if (!ok) out->clear();
  return ok;
}

bool RemoveFileIfPresent(const std::string& path) {
  std::error_code ec;
  const auto st = std::filesystem::symlink_status(path, ec);
  if (std::filesystem::is_directory(st)) return false;
  std::filesystem::remove(path, ec);
  return !std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

bool MoveIntoPlace(const std::string& source, const std::string& target) {
  if (!IsPlainFile(source)) return false;
  if (std::rename(source.c_str(), target.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  return CopyPlainFile(source, target, false);
}

bool MakeExecutable(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  return chmod(path.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH) == 0;
}

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(WideToOem(path), std::ios::binary);
  if (!in.good()) return "";
  std::string line;
  for (bool first = true; std::getline(in, line); first = false) {
    if (line.size() > 511) line.resize(511);
    if (first && line.size() > 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    std::string text = Utf8ToWide(line);
    if (!text.empty()) return text;
  }
  return "";
}

int ListFolder(const std::string& folder, std::vector<std::string>& entries, int flags,
               const std::string& filter) {
  if (folder.empty() || !FileExists(folder)) return 0;
  if (!IsFolder(folder)) return -1;
  std::vector<std::string> names;
  if (!ReadFolderNames(folder, names)) return 0;
  bool folderListed = false;
  for (const std::string& name : names) {
    std::string full = folder + "/" + name;
    struct stat st {};
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (flags & 1) {
        entries.push_back(full);
        ListFolder(full, entries, flags, filter);
      }
    } else if (S_ISREG(st.st_mode) && (flags & 2)) {
      if (!filter.empty()) {
        if (name.find(filter) != std::string::npos) entries.push_back(full);
        continue;
      }
      if (!folderListed) entries.push_back(folder);
      folderListed = true;
      entries.push_back(full);
    }
  }
  return 1;
}

std::string TempPathFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

bool WriteFileAtomically(const std::string& path, const std::string& data) {
  std::string temp = TempPathFor(path);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data.data(), data.size());
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

namespace {

// `suffix` follows ".tmp-" in a TempPathFor name and starts with the pid of
// the process that made it.
bool WriterStillRuns(const std::string& suffix) {
  const long pid = std::strtol(suffix.c_str(), nullptr, 10);
  if (pid <= 0) return false;
  if (pid == getpid()) return true;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

int RemoveStaleTempFiles(const std::string& path, std::vector<std::string>* removedNames) {
  std::string folder = GetParentFolder(path);
  // A char rather than "/": GCC 12 at -O3 warns falsely (-Wrestrict) on the literal.
  if (folder.empty() && !path.empty() && path[0] == '/') folder = '/';
  std::string prefix = FileNameOf(path) + ".tmp-";
  std::vector<std::string> names;
  if (!ReadFolderNames(folder.empty() ? "." : folder, names)) return 0;
  int removed = 0;
  for (const std::string& name : names) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if (WriterStillRuns(name.substr(prefix.size()))) continue;
    std::error_code error;
    std::filesystem::remove_all(folder.empty() ? name : folder + "/" + name, error);
    if (error) continue;
    ++removed;
    if (removedNames) removedNames->push_back(name);
  }
  return removed;
}
