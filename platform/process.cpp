#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "util/file_util.h"

extern char** environ;

namespace platform {
namespace {

std::vector<char*> PointersTo(const std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (const std::string& t : texts) out.push_back(const_cast<char*>(t.c_str()));
  out.push_back(nullptr);
  return out;
}

// One line of a few hundred bytes; a bound keeps a broken /proc harmless.
constexpr int64_t kStatLimit = 64 << 10;

std::string ReadLink(const std::string& path) {
  char buf[PATH_MAX];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The first `count` arguments of a process (argv[0] first); fewer when it
// has fewer or its command line cannot be read.
std::vector<std::string> FirstArgumentsOf(const std::string& pidFolder, size_t count) {
  std::ifstream in(pidFolder + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; args.size() < count && std::getline(in, arg, '\0');) args.push_back(arg);
  return args;
}

// An argument names `program` (a resolved path) when it is that file itself
// or, relative, lies in the process's working folder.
bool NamesProgram(const std::string& arg, const std::string& cwd, const std::string& program) {
  if (arg.empty()) return false;
  std::string full = arg[0] == '/' ? arg : cwd + "/" + arg;
  char resolved[PATH_MAX];
  if (realpath(full.c_str(), resolved) == nullptr) return full == program;
  return program == resolved;
}

// Whether the process of /proc/<pid> runs `program`: its executable, or
// the script an interpreter was given (argv[0] or argv[1]).
bool Runs(const std::string& pidFolder, const std::string& program) {
  if (ReadLink(pidFolder + "/exe") == program) return true;
  const std::string cwd = ReadLink(pidFolder + "/cwd");
  for (const std::string& arg : FirstArgumentsOf(pidFolder, 2)) {
    if (NamesProgram(arg, cwd, program)) return true;
  }
  return false;
}

}  // namespace

bool IsProgramRunning(const std::string& program) {
  char resolved[PATH_MAX];
  const std::string target = realpath(program.c_str(), resolved) ? resolved : program;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  const std::string self = std::to_string(getpid());
  bool found = false;
  while (!found) {
    const dirent* e = readdir(proc);
    if (e == nullptr) break;
    if (e->d_name[0] < '0' || e->d_name[0] > '9' || self == e->d_name) continue;
    found = Runs(std::string("/proc/") + e->d_name, target);
  }
  closedir(proc);
  return found;
}

int StartProcess(const ProcessStart& start, int* pid) {
  std::vector<std::string> argv_texts{start.program};
  argv_texts.insert(argv_texts.end(), start.args.begin(), start.args.end());
  std::vector<char*> argv = PointersTo(argv_texts);
  std::vector<char*> envp;
  if (start.environment) envp = PointersTo(*start.environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!start.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, start.folder.c_str());
  if (start.silent) {
    for (int fd = 0; fd < 3; ++fd)
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  // Nothing of ours beyond the standard streams: the child must not keep the
  // installation lock or our display connection alive.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (start.detach) posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t child = 0;
  const int err = posix_spawn(&child, start.program.c_str(), &actions, &attr, argv.data(),
                              start.environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (err == 0 && pid) *pid = child;
  return err;
}

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindProgram(const std::string& name) {
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : "";
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return "";
}

double MillisecondsSinceProcessStart() {
  std::string all;
  if (!ReadWholeFile("/proc/self/stat", kStatLimit, &all)) return -1;
  const std::size_t close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  for (int i = 3; i < 22 && rest >> field; ++i) {
  }
  unsigned long long startTicks = 0;  // field 22: clock ticks after boot
  if (!(rest >> startTicks)) return -1;
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const double nowMs = static_cast<double>(now.tv_sec) * 1000.0 + now.tv_nsec / 1e6;
  return nowMs -
         static_cast<double>(startTicks) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int CurrentThreadId() {
  return static_cast<int>(gettid());
}

}  // namespace platform
