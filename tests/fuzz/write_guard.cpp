#include "tests/fuzz/write_guard.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

std::atomic<const std::string*> allowedFolder{nullptr};  // realpath, no trailing "/"
std::atomic<unsigned long> checks{0};
// Kept only for targets that ask for it (TakeExclusivelyCreated), so that
// the others do not gather a name per input.
std::atomic<bool> recordCreated{false};
std::mutex createdLock;
std::vector<std::string> created;  // guarded by createdLock
// What libFuzzer writes when an input fails: prefix + kind + "-" + digest,
// the prefix resolved (folder realpath, "/", start of a name); or the one
// exact path.
std::string artifactPrefix;
std::string exactArtifact;

std::string Absolute(const char* path) {
  if (path[0] == '/') return path;
  char cwd[PATH_MAX];
  return std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + path;
}

// "/a/./b/../c" -> "/a/c", without looking at the disk.
std::string Lexical(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Where a call on path acts: its folder resolved on disk (links and ".."
// followed), its last component added as written. *followsLink is set when
// that last component is a link, which calls that open the file would follow.
std::string Resolve(const char* path, bool* followsLink) {
  std::string full = Absolute(path);
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  const size_t slash = full.rfind('/');
  const std::string folder = slash == 0 ? "/" : full.substr(0, slash);
  const std::string name = full.substr(slash + 1);
  char resolved[PATH_MAX];
  std::string where;
  if (name == "." || name == ".." || realpath(folder.c_str(), resolved) == nullptr) {
    // A folder that does not exist makes the call fail anyway; judged by
    // its written form.
    where = Lexical(full);
  } else {
    where = std::string(resolved) + (resolved[1] ? "/" : "") + name;
  }
  *followsLink = IsLink(where);
  return where;
}

bool Below(const std::string& where, const std::string& folder) {
  return where.size() > folder.size() + 1 && where.compare(0, folder.size(), folder) == 0 &&
         where[folder.size()] == '/';
}

bool IsArtifact(const std::string& where) {
  if (!exactArtifact.empty() && where == exactArtifact) return true;
  if (artifactPrefix.empty() || where.compare(0, artifactPrefix.size(), artifactPrefix) != 0) {
    return false;
  }
  const std::string name = where.substr(artifactPrefix.size());
  if (name.find('/') != std::string::npos) return false;
  for (const char* kind : {"crash-", "leak-", "timeout-", "oom-", "slow-unit-"}) {
    if (name.compare(0, std::string(kind).size(), kind) == 0) return true;
  }
  return false;
}

bool Allowed(const char* call, const char* path, bool opens) {
  const std::string* folder = allowedFolder.load();
  if (folder == nullptr || path == nullptr || path[0] == '\0') return true;
  if (call != nullptr) ++checks;
  bool followsLink = false;
  const std::string where = Resolve(path, &followsLink);
  if (where == "/dev/null" || IsArtifact(where)) return true;
  if (Below(where, *folder) && !(opens && followsLink)) return true;
  if (call == nullptr) return false;
  std::fprintf(stderr, "==WRITE OUTSIDE THE DESTINATION== %s(\"%s\") acts on %s%s; allowed: %s/\n",
               call, path, where.c_str(), followsLink ? " through a link" : "", folder->c_str());
  std::abort();
}

// mkdir of a folder that exists changes nothing (CreateFolderPath walks
// every prefix of a path, "/tmp/" included).
bool Exists(const char* path) {
  struct stat st;
  return path != nullptr && lstat(path, &st) == 0;
}

}  // namespace

WriteGuard::WriteGuard(const std::string& folder) {
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) {
    std::fprintf(stderr, "write guard: %s does not exist\n", folder.c_str());
    std::abort();
  }
  allowedFolder.store(new std::string(resolved));
}

WriteGuard::~WriteGuard() {
  delete allowedFolder.exchange(nullptr);
}

bool WriteAllowed(const std::string& path) {
  return Allowed(nullptr, path.c_str(), true);
}

std::vector<std::string> TakeExclusivelyCreated() {
  recordCreated = true;
  std::lock_guard<std::mutex> hold(createdLock);
  std::vector<std::string> taken;
  taken.swap(created);
  return taken;
}

unsigned long WriteGuardChecks() {
  return checks.load();
}

namespace {

void ReadArtifactOptions(int argc, char** argv) {
  std::string prefix = "./";
  bool link = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-artifact_prefix=", 0) == 0) prefix = arg.substr(17);
    if (arg.rfind("-exact_artifact_path=", 0) == 0) {
      exactArtifact = Resolve(arg.substr(21).c_str(), &link);
    }
  }
  // A folder, maybe followed by the start of a name: resolved with a
  // stand-in name, which is then taken off again.
  artifactPrefix = Resolve((prefix + "x").c_str(), &link);
  artifactPrefix.pop_back();
}

void CheckGuardWorks(const std::string& folder) {
  WriteGuard guard(folder);
  const unsigned long before = WriteGuardChecks();
  const std::string probe = folder + "/write-guard-probe";
  if (mkdir(probe.c_str(), 0755) != 0 || rmdir(probe.c_str()) != 0 ||
      WriteGuardChecks() != before + 2 || !WriteAllowed(probe) ||
      WriteAllowed(folder + "/../beside") || WriteAllowed("/beside")) {
    std::fprintf(stderr, "write guard: not in force (linked without --wrap?)\n");
    std::abort();
  }
}

}  // namespace

void SetUpWriteGuard(int argc, char** argv, const std::string& probeFolder) {
  ReadArtifactOptions(argc, argv);
  CheckGuardWorks(probeFolder);
}

// ---- The wrapped calls (-Wl,--wrap=NAME sends our references here) ----

extern "C" {
int __real_open(const char* path, int flags, ...);
FILE* __real_fopen(const char* path, const char* mode);
int __real_mkdir(const char* path, mode_t mode);
int __real_rename(const char* from, const char* to);
int __real_link(const char* from, const char* to);
int __real_symlink(const char* target, const char* path);
int __real_unlink(const char* path);
int __real_remove(const char* path);
int __real_rmdir(const char* path);
int __real_chmod(const char* path, mode_t mode);
int __real_truncate(const char* path, off_t length);

int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) Allowed("open", path, true);
  const int fd = __real_open(path, flags, mode);
  if (fd >= 0 && (flags & O_EXCL) && recordCreated && allowedFolder.load() != nullptr) {
    std::lock_guard<std::mutex> hold(createdLock);
    created.push_back(path);
  }
  return fd;
}

FILE* __wrap_fopen(const char* path, const char* mode) {
  if (mode && (mode[0] != 'r' || std::string(mode).find('+') != std::string::npos)) {
    Allowed("fopen", path, true);
  }
  return __real_fopen(path, mode);
}

int __wrap_mkdir(const char* path, mode_t mode) {
  if (!Exists(path)) Allowed("mkdir", path, false);
  return __real_mkdir(path, mode);
}

int __wrap_rename(const char* from, const char* to) {
  Allowed("rename", from, false);
  Allowed("rename", to, false);
  return __real_rename(from, to);
}

int __wrap_link(const char* from, const char* to) {
  Allowed("link", to, false);
  return __real_link(from, to);
}

int __wrap_symlink(const char* target, const char* path) {
  Allowed("symlink", path, false);
  return __real_symlink(target, path);
}

int __wrap_unlink(const char* path) {
  Allowed("unlink", path, false);
  return __real_unlink(path);
}

int __wrap_remove(const char* path) {
  Allowed("remove", path, false);
  return __real_remove(path);
}

int __wrap_rmdir(const char* path) {
  Allowed("rmdir", path, false);
  return __real_rmdir(path);
}

int __wrap_chmod(const char* path, mode_t mode) {
  Allowed("chmod", path, true);
  return __real_chmod(path, mode);
}

int __wrap_truncate(const char* path, off_t length) {
  Allowed("truncate", path, true);
  return __real_truncate(path, length);
}
}
