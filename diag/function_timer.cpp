#include "diag/function_timer.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "diag/log.h"
#include "util/text_util.h"

namespace {

constexpr size_t kMaxText = 1023;

std::string FormatCut(const char* fmt, va_list args) {
  char text[kMaxText * 4 + 1];
  int n = vsnprintf(text, sizeof text, fmt, args);
  if (n < 0) return "";
  return CutUtf8(text, kMaxText);
}

// A launcher started from a desktop may have no terminal, or a reader that
// went away: a failed write here must neither stop the report to the log nor
// end the process with SIGPIPE.
void WriteToStdout(const std::string& text) {
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  if (!sigismember(&old, SIGPIPE)) {
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) {
      struct timespec zero {};
      sigtimedwait(&pipe, nullptr, &zero);
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

TestFunctionTime::TestFunctionTime(bool enabled, int32_t threshold, const char* fmt, ...)
    : enabled_(enabled), threshold_(threshold) {
  va_list args;
  va_start(args, fmt);
  label_ = FormatCut(fmt, args);
  va_end(args);
  start_ = std::chrono::steady_clock::now();  // last, so formatting is not timed
}

TestFunctionTime::~TestFunctionTime() {
  auto elapsed = std::chrono::steady_clock::now() - start_;
  int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  if (!ShouldReport(enabled_, threshold_, ms)) return;
  std::string line = ReportLine(static_cast<int>(gettid()), label_, static_cast<int32_t>(ms));
  DebugTrace("%s", line.c_str());
  WriteLog("%s", line.c_str());
}

bool TestFunctionTime::ShouldReport(bool enabled, int32_t threshold, int64_t milliseconds) {
  if (!enabled || threshold < 0) return false;
  return threshold == 0 || milliseconds >= threshold;
}

std::string TestFunctionTime::ReportLine(int threadId, const std::string& label,
                                         int32_t milliseconds) {
  std::string line = " ▼  ThreadID: " + std::to_string(threadId) + "  函数(  " + label +
                     " )执行时间:      " + std::to_string(milliseconds) + " (mm)  ▼ ";
  return CutUtf8(line, kMaxText);
}

void TestFunctionTime::DebugTrace(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = FormatCut(fmt, args) + "\n";
  va_end(args);
  WriteToStdout(text);
}
