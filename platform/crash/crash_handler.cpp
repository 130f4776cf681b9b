#include "platform/crash/crash_handler.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/crash/crash_record.h"
#include "platform/crash/crash_writer.h"

extern char** environ;

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
// Set in the writer's environment, to the number of the pipe it reads the
// record from.
constexpr char kWriterVariable[] = "KESTRAVA_CRASH_WRITER";
constexpr size_t kMaxEnvironment = 1024;

// Everything the signal handler touches. A handler gets no arguments of
// ours and must not allocate, so this is process-wide static memory, set up
// before any crash; `reportingThread` decides which thread may use the rest.
struct HandlerState {
  std::atomic<pid_t> reportingThread{0};
  CrashRecord record;
  alignas(16) char alternateStack[64 * 1024];
  char writerSetting[sizeof kWriterVariable + 16];
  char* writerEnvironment[kMaxEnvironment + 2];
};
HandlerState g_handler;

// Signal-safe formatting of "KESTRAVA_CRASH_WRITER=<fd>".
void FormatWriterSetting(int fd) {
  char* out = g_handler.writerSetting;
  memcpy(out, kWriterVariable, sizeof kWriterVariable - 1);
  out += sizeof kWriterVariable - 1;
  *out++ = '=';
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + fd % 10);
    fd /= 10;
  } while (fd > 0);
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
}

// In the forked child: becomes the crash writer by running this program
// again, with the environment it had plus the writer setting.
[[noreturn]] void ExecWriter(int recordFd) {
  fcntl(recordFd, F_SETFD, 0);  // the writer inherits the read end
  FormatWriterSetting(recordFd);
  size_t count = 0;
  for (char** entry = environ; entry && *entry && count < kMaxEnvironment; ++entry) {
    if (strncmp(*entry, kWriterVariable, sizeof kWriterVariable - 1) != 0) {
      g_handler.writerEnvironment[count++] = *entry;
    }
  }
  g_handler.writerEnvironment[count++] = g_handler.writerSetting;
  g_handler.writerEnvironment[count] = nullptr;
  char name[] = "kestrava-crash-writer";
  char* argv[] = {name, nullptr};
  execve("/proc/self/exe", argv, g_handler.writerEnvironment);
  _exit(127);
}

void WriteWhole(int fd, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += n;
    size -= static_cast<size_t>(n);
  }
}

// Starts the writer, hands it the record and waits until it has finished.
void RunWriter() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  // _Fork, unlike fork, runs no fork handlers, which may take locks that
  // the crashed thread or a stopped one holds.
  pid_t child = _Fork();
  if (child == 0) ExecWriter(fds[0]);
  close(fds[0]);
  if (child > 0) {
    // Systems that restrict ptrace to ancestors need this before the writer
    // attaches; the writer waits for the record, which follows.
    prctl(PR_SET_PTRACER, child, 0, 0, 0);
    WriteWhole(fds[1], &g_handler.record, sizeof g_handler.record);
  }
  close(fds[1]);
  while (child > 0 && waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void FillRecord(int signalNumber, const siginfo_t* info, const ucontext_t* context, pid_t tid) {
  CrashRecord& record = g_handler.record;
  record.magic = CrashRecord::kMagic;
  record.pid = getpid();
  record.tid = tid;
  record.signalNumber = signalNumber;
  clock_gettime(CLOCK_REALTIME, &record.time);
  if (info != nullptr) memcpy(&record.info, info, sizeof record.info);
  memcpy(record.registers, context->uc_mcontext.gregs, sizeof record.registers);
  record.hasFloatRegisters = context->uc_mcontext.fpregs != nullptr;
  if (record.hasFloatRegisters) {
    memcpy(&record.floatRegisters, context->uc_mcontext.fpregs, sizeof record.floatRegisters);
  }
}

void OnFatalSignal(int signalNumber, siginfo_t* info, void* context) {
  pid_t self = gettid();
  pid_t idle = 0;
  if (!g_handler.reportingThread.compare_exchange_strong(idle, self)) {
    if (idle == self) _exit(0);  // the report itself failed
    for (;;) pause();            // another thread reports; its _exit ends us
  }
  FillRecord(signalNumber, info, static_cast<const ucontext_t*>(context), self);
  RunWriter();
  _exit(0);
}

// std::terminate: abort, so that the report is made by the SIGABRT handler
// with the stack of the throw. The handler is installed again in case
// something replaced it since start-up.
[[noreturn]] void OnTerminate() {
  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigaction(SIGABRT, &action, nullptr);
  sigset_t abortOnly;
  sigemptyset(&abortOnly);
  sigaddset(&abortOnly, SIGABRT);
  pthread_sigmask(SIG_UNBLOCK, &abortOnly, nullptr);
  abort();
}

// A run of this program as the crash writer does its work before main and
// ends there.
__attribute__((constructor)) void RunAsCrashWriterWhenAsked() {
  const char* setting = getenv(kWriterVariable);
  if (setting == nullptr) return;
  int recordFd = atoi(setting);
  unsetenv(kWriterVariable);
  _exit(CrashFilter(recordFd) ? 0 : 1);
}

}  // namespace

bool InstallCrashHandler() {
  stack_t stack{};
  stack.ss_sp = g_handler.alternateStack;
  stack.ss_size = sizeof g_handler.alternateStack;
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  bool installed = true;
  for (int signalNumber : kFatalSignals) {
    installed = sigaction(signalNumber, &action, nullptr) == 0 && installed;
  }
  std::set_terminate(OnTerminate);
  return installed;
}
