// TestFunctionTime: a scoped timer for the engine's long steps. Create it as
// a local object; when the block is left it reports the thread, the label
// and the elapsed milliseconds to standard output and the day log.
//
// Thread-safety: an object belongs to the thread that created it; reports
// from different threads are serialised by the log.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class TestFunctionTime {
 public:
  // threshold: 0 reports every measurement, a negative value none, any other
  // value only measurements of at least that many milliseconds. The label is
  // formatted printf-style and cut to 1023 bytes.
  TestFunctionTime(bool enabled, int32_t threshold, const char* fmt, ...)
      __attribute__((format(printf, 4, 5)));
  virtual ~TestFunctionTime();
  TestFunctionTime(const TestFunctionTime&) = delete;
  TestFunctionTime& operator=(const TestFunctionTime&) = delete;

  // Writes the formatted text (cut to 1023 bytes) and a line feed to
  // standard output; a closed or missing output is ignored.
  static void DebugTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

  // The report line for a thread, label and elapsed milliseconds.
  static std::string ReportLine(int threadId, const std::string& label, int32_t milliseconds);

  // Whether a measurement is reported under the threshold rules.
  static bool ShouldReport(bool enabled, int32_t threshold, int64_t milliseconds);

 private:
  std::string label_;
  std::chrono::steady_clock::time_point start_;
  bool enabled_;
  int32_t threshold_;
};
