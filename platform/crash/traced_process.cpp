#include "platform/crash/traced_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "util/file_util.h"

namespace {

// The crash writer must finish: no file of /proc is taken beyond this (the
// smaps of the largest real process stays far below it).
constexpr int64_t kProcFileLimit = int64_t{256} << 20;

// A /proc file of the traced process; "" when it cannot be read.
std::string ReadWhole(const std::string& path) {
  std::string text;
  ReadWholeFile(path, kProcFileLimit, &text);
  return text;
}

std::vector<pid_t> ListThreads(const std::string& taskFolder) {
  std::vector<pid_t> tids;
  DIR* dir = opendir(taskFolder.c_str());
  if (dir == nullptr) return tids;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') tids.push_back(atoi(entry->d_name));
  }
  closedir(dir);
  return tids;
}

// "7f01c0000000-7f01c0021000 rw-p 00000000 00:00 0    [heap]"
bool ParseMappingHeader(const std::string& line, Mapping& mapping) {
  char perms[5] = {};
  int pathAt = 0;
  if (sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64 " %4s %" SCNx64 " %*s %*u %n", &mapping.start,
             &mapping.end, perms, &mapping.fileOffset, &pathAt) < 4) {
    return false;
  }
  mapping.readable = perms[0] == 'r';
  mapping.writable = perms[1] == 'w';
  mapping.executable = perms[2] == 'x';
  mapping.shared = perms[3] == 's';
  mapping.path = pathAt > 0 ? line.substr(static_cast<size_t>(pathAt)) : "";
  return true;
}

// The "Key:  123 kB" and "VmFlags: rd wr ..." lines below a header.
void ParseMappingDetail(const std::string& line, Mapping& mapping) {
  uint64_t kb = 0;
  if (sscanf(line.c_str(), "Rss: %" SCNu64, &kb) == 1) mapping.residentBytes = kb * 1024;
  if (sscanf(line.c_str(), "Swap: %" SCNu64, &kb) == 1) mapping.swappedBytes = kb * 1024;
  if (line.rfind("VmFlags:", 0) == 0) {
    std::istringstream flags(line.substr(8));
    for (std::string flag; flags >> flag;) {
      // dd: the process asked to be left out of dumps; io: device memory,
      // whose reading may have side effects.
      if (flag == "dd" || flag == "io") mapping.excludedFromDumps = true;
    }
  }
}

}  // namespace

TracedProcess::TracedProcess(pid_t pid) : pid_(pid) {
  memoryFd_ = open(ProcPath("mem").c_str(), O_RDONLY | O_CLOEXEC);
}

TracedProcess::~TracedProcess() {
  for (const ThreadState& thread : threads_) ptrace(PTRACE_DETACH, thread.tid, nullptr, nullptr);
  if (memoryFd_ >= 0) close(memoryFd_);
}

std::string TracedProcess::ProcPath(const char* name) const {
  return "/proc/" + std::to_string(pid_) + "/" + name;
}

bool TracedProcess::StopAllThreads() {
  // Threads may start while we attach; list again until a pass finds none
  // that is new.
  std::set<pid_t> seen;
  for (bool foundNew = true; foundNew;) {
    foundNew = false;
    for (pid_t tid : ListThreads(ProcPath("task"))) {
      if (!seen.insert(tid).second) continue;
      foundNew = true;
      StopThread(tid);
    }
  }
  // /proc/PID/mem may need the attachment on systems that restrict ptrace.
  if (memoryFd_ < 0) memoryFd_ = open(ProcPath("mem").c_str(), O_RDONLY | O_CLOEXEC);
  return !threads_.empty();
}

bool TracedProcess::StopThread(pid_t tid) {
  // SEIZE and INTERRUPT stop the thread without sending it a signal that
  // the dump would then show as pending.
  if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) return false;
  ThreadState thread;
  thread.tid = tid;
  threads_.push_back(thread);
  ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
  int status = 0;
  while (waitpid(tid, &status, __WALL) < 0 && errno == EINTR) {
  }
  ThreadState& stopped = threads_.back();
  stopped.hasRegisters = ptrace(PTRACE_GETREGS, tid, nullptr, &stopped.registers) == 0;
  stopped.hasFloatRegisters = ptrace(PTRACE_GETFPREGS, tid, nullptr, &stopped.floatRegisters) == 0;
  return stopped.hasRegisters;
}

std::vector<Mapping> TracedProcess::ReadMappings() const {
  std::vector<Mapping> mappings;
  std::istringstream smaps(ReadWhole(ProcPath("smaps")));
  for (std::string line; std::getline(smaps, line);) {
    Mapping header;
    // Detail lines start with a key and a colon, headers with an address.
    bool isHeader = line.find(':') > line.find(' ') && ParseMappingHeader(line, header);
    if (isHeader) {
      mappings.push_back(header);
    } else if (!mappings.empty()) {
      ParseMappingDetail(line, mappings.back());
    }
  }
  return mappings;
}

ProcessFacts TracedProcess::ReadFacts() const {
  ProcessFacts facts;
  std::string stat = ReadWhole(ProcPath("stat"));
  // "PID (COMM) S PPID PGRP SID ...": the name may hold spaces and
  // parentheses, so the fields after it are found from the last ")".
  size_t close = stat.rfind(')');
  if (close != std::string::npos) {
    sscanf(stat.c_str() + close + 1, " %c %d %d %d", &facts.state, &facts.parentPid, &facts.groupId,
           &facts.sessionId);
  }
  facts.command = ReadWhole(ProcPath("comm"));
  if (!facts.command.empty() && facts.command.back() == '\n') facts.command.pop_back();
  facts.arguments = ReadWhole(ProcPath("cmdline"));
  while (!facts.arguments.empty() && facts.arguments.back() == '\0') facts.arguments.pop_back();
  for (char& c : facts.arguments) c = c == '\0' ? ' ' : c;
  std::istringstream status(ReadWhole(ProcPath("status")));
  for (std::string line; std::getline(status, line);) {
    sscanf(line.c_str(), "Uid: %u", &facts.uid);
    sscanf(line.c_str(), "Gid: %u", &facts.gid);
  }
  return facts;
}

std::string TracedProcess::ReadAuxiliaryVector() const {
  return ReadWhole(ProcPath("auxv"));
}

std::vector<bool> TracedProcess::ResidentPages(uint64_t start, uint64_t end) const {
  const uint64_t pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  std::vector<bool> resident((end - start) / pageSize, false);
  int fd = open(ProcPath("pagemap").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return resident;
  // One 64-bit entry per page: bit 63 present in memory, bit 62 swapped.
  const uint64_t kPresent = 1ULL << 63, kSwapped = 1ULL << 62;
  std::vector<uint64_t> entries(4096);
  for (size_t page = 0; page < resident.size();) {
    size_t count = std::min(entries.size(), resident.size() - page);
    off_t at = static_cast<off_t>((start / pageSize + page) * sizeof(uint64_t));
    ssize_t got = pread(fd, entries.data(), count * sizeof(uint64_t), at);
    if (got <= 0) break;
    size_t pages = static_cast<size_t>(got) / sizeof(uint64_t);
    for (size_t i = 0; i < pages; ++i) resident[page + i] = entries[i] & (kPresent | kSwapped);
    page += pages;
  }
  close(fd);
  return resident;
}
