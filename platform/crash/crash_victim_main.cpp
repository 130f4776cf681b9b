// crash_victim: a program that crashes on purpose, for the crash report
// tests and bench/crash_report_bench.sh. Never shipped.
//
//   crash_victim MODE [RESIDENT_MB]
//
// MODE is null-write, abort, terminate (an uncaught exception) or
// thread-null-write (a null write on a second thread). Like the launcher it
// installs the crash handler first and writes the day log's start line (in
// the current folder); then it starts two idle threads, so that a dump has
// several, optionally fills RESIDENT_MB megabytes of memory, prints
// "fault <ns since the epoch> rss <bytes>" and crashes. The line each mode
// faults on carries a "fault:" comment, which the tests look for.
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <latch>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "platform/crash/crash_handler.h"

namespace victim {

__attribute__((noinline)) void NullWrite() {
  volatile int* volatile target = nullptr;  // a store the compiler must keep
  *target = 1;                              // fault: null-write
}

__attribute__((noinline)) void Abort() {
  abort();  // fault: abort
}

__attribute__((noinline)) void ThrowUncaught() {
  throw std::runtime_error("nobody catches this");  // fault: terminate
}

__attribute__((noinline)) void ThreadNullWrite() {
  volatile int* volatile target = nullptr;
  *target = 2;  // fault: thread-null-write
}

void StartIdleThreads(int count) {
  static std::mutex lock;
  static std::condition_variable never;
  static std::latch started(count);
  for (int i = 0; i < count; ++i) {
    std::thread([] {
      std::unique_lock<std::mutex> hold(lock);
      started.count_down();
      never.wait(hold, [] { return false; });
    }).detach();
  }
  started.wait();
}

// Memory in use, of varied content, so that none of it is left out of a
// dump as a page of zeros.
std::vector<char>* FillMemory(size_t megabytes) {
  auto* memory = new std::vector<char>(megabytes << 20);
  for (size_t i = 0; i < memory->size(); ++i) (*memory)[i] = static_cast<char>(i * 131 + 7);
  return memory;
}

long ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm != nullptr && fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  if (statm != nullptr) fclose(statm);
  return resident * sysconf(_SC_PAGESIZE);
}

void PrintFaultLine() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  printf("fault %lld rss %ld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
         ResidentBytes());
  fflush(stdout);
}

}  // namespace victim

int main(int argc, char** argv) {
  InstallCrashHandler();
  SetLogFile("");
  WriteLog("App Start =================================================");
  std::string mode = argc > 1 ? argv[1] : "";
  victim::StartIdleThreads(2);
  std::vector<char>* memory =
      argc > 2 ? victim::FillMemory(strtoul(argv[2], nullptr, 10)) : nullptr;
  victim::PrintFaultLine();
  if (mode == "null-write") victim::NullWrite();
  if (mode == "abort") victim::Abort();
  if (mode == "terminate") victim::ThrowUncaught();
  if (mode == "thread-null-write") std::thread(victim::ThreadNullWrite).join();
  fprintf(stderr, "usage: crash_victim null-write|abort|terminate|thread-null-write [MB]\n");
  delete memory;
  _exit(2);  // the idle threads never end, so exit-time clean-up would wait for them
}
