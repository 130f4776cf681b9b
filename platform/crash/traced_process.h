// TracedProcess: the crashed process as the crash writer sees it. Attaching
// stops every thread with ptrace, so the dump shows one consistent moment
// and each thread's registers can be read; the threads stay stopped until
// the object goes (or the writer ends, which detaches them too). Also reads
// the process's mappings and memory through /proc.
//
// The writer is a child of the crashed process; the crash handler has made
// it the process's allowed tracer (PR_SET_PTRACER), which is what systems
// with a restricted ptrace scope require.
//
// Thread-safety: one owner thread (ptrace ties a tracee to the thread that
// attached it).
#pragma once

#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>
#include <string>
#include <vector>

// One thread, stopped, with its registers as ptrace reported them.
struct ThreadState {
  pid_t tid = 0;
  user_regs_struct registers{};
  user_fpregs_struct floatRegisters{};
  bool hasRegisters = false;
  bool hasFloatRegisters = false;
};

// One line of /proc/PID/smaps with the figures the dump needs.
struct Mapping {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t fileOffset = 0;
  bool readable = false;
  bool writable = false;
  bool executable = false;
  bool shared = false;
  std::string path;                // "" for anonymous memory; "[heap]", "[stack]"...
  uint64_t residentBytes = 0;      // in memory now
  uint64_t swappedBytes = 0;       // in swap
  bool excludedFromDumps = false;  // marked don't-dump, or device memory
  // A real file: its pages that are not in memory read back from the file.
  bool FileBacked() const { return !path.empty() && path[0] == '/'; }
};

// Process-wide facts the dump's process notes carry.
struct ProcessFacts {
  pid_t parentPid = 0;
  pid_t groupId = 0;
  pid_t sessionId = 0;
  char state = 'R';
  std::string command;    // the short name of /proc/PID/comm
  std::string arguments;  // the command line, arguments separated by spaces
  uid_t uid = 0;
  gid_t gid = 0;
};

class TracedProcess {
 public:
  explicit TracedProcess(pid_t pid);
  ~TracedProcess();  // detaches every stopped thread
  TracedProcess(const TracedProcess&) = delete;
  TracedProcess& operator=(const TracedProcess&) = delete;

  // Stops every thread, including ones started while attaching. False when
  // no thread could be stopped (not allowed to trace, or the process is
  // gone).
  bool StopAllThreads();

  pid_t pid() const { return pid_; }
  const std::vector<ThreadState>& threads() const { return threads_; }
  // /proc/PID/mem, open for reading; -1 when it could not be opened.
  int memoryFd() const { return memoryFd_; }

  std::vector<Mapping> ReadMappings() const;
  ProcessFacts ReadFacts() const;
  // The auxiliary vector the kernel gave the process at start.
  std::string ReadAuxiliaryVector() const;
  // One bit per page of [start, end): whether the page is in memory or in
  // swap (a page never touched, or a file page not read, is not).
  std::vector<bool> ResidentPages(uint64_t start, uint64_t end) const;

 private:
  bool StopThread(pid_t tid);
  std::string ProcPath(const char* name) const;

  pid_t pid_;
  int memoryFd_ = -1;
  std::vector<ThreadState> threads_;
};
