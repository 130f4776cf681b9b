#include "platform/crash/crash_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "diag/crash_report.h"
#include "platform/crash/core_dump.h"
#include "platform/crash/crash_record.h"
#include "platform/crash/stack_walk.h"
#include "platform/crash/traced_process.h"
#include "util/file_util.h"

namespace {

// A writer that hangs (a stuck file system, a process it cannot read) must
// not keep the crashed launcher on screen for ever: the alarm ends the
// writer, and with it the wait of the crashed process.
constexpr unsigned kDeadlineSeconds = 30;

bool ReadRecord(int fd, CrashRecord& record) {
  char* into = reinterpret_cast<char*>(&record);
  size_t got = 0;
  while (got < sizeof record) {
    ssize_t n = read(fd, into + got, sizeof record - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  return got == sizeof record && record.magic == CrashRecord::kMagic;
}

std::string CrashFolderFor(const CrashRecord& record) {
  struct tm local {};
  localtime_r(&record.time.tv_sec, &local);
  return CrashFolderPath(GetModuleFolder(), CrashFolderName(GetModuleNamePart(), local));
}

}  // namespace

bool CrashFilter(int recordFd) {
  CrashRecord record;
  if (!ReadRecord(recordFd, record)) return false;
  alarm(kDeadlineSeconds);
  // libdw would ask debuginfod servers for missing debug files when this
  // names any; a crash report on a player's machine stays offline.
  unsetenv("DEBUGINFOD_URLS");

  TracedProcess process(record.pid);
  process.StopAllThreads();
  std::string folder = CrashFolderFor(record);
  std::string dumpPath = folder + "/Minidump.dmp";
  CreateParentFolders(dumpPath);
  WriteCoreDump(process, record, dumpPath);

  std::string exePath = std::string(GetModuleFolder()) + "/" + GetModuleNamePart();
  CopyProgramFiles(GetModuleFolder(), GetModuleNamePart(), DebugLinkName(exePath), folder);

  CMyStackWalker walker;
  CallStackReport(walker, process, record);
  WriteCrashLog(folder, walker);
  return true;
}
