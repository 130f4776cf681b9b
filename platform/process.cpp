#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

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

}  // namespace

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

double MillisecondsSinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  const std::string all((std::istreambuf_iterator<char>(stat)), {});
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

}  // namespace platform
