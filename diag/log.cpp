#include "diag/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "util/file_util.h"
#include "util/text_util.h"

namespace {

// Re-entrant because formatting happens inside the lock and may log again
// through a caller's helpers.
std::recursive_mutex& LogLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::string& LogPath() {
  static std::string path;  // guarded by LogLock
  return path;
}

bool& LogClosed() {
  static bool closed = false;  // guarded by LogLock
  return closed;
}

struct tm LocalNow() {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  return local;
}

std::string FormatV(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return "";
  std::string text(static_cast<size_t>(n), '\0');
  vsnprintf(text.data(), text.size() + 1, fmt, args);
  return text;
}

std::string TimeStamp() {
  struct tm t = LocalNow();
  char text[64];
  snprintf(text, sizeof text, "[%d-%02d-%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1,
           t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

// The record as stored: line feeds become CR LF, as text-mode output did
// on the system the log format comes from.
std::string OnDisk(const std::string& record) {
  std::string out;
  out.reserve(record.size() + 8);
  for (char c : record) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool AppendRecord(const char* tag, const std::string& message) {
  std::lock_guard<std::recursive_mutex> hold(LogLock());
  if (LogClosed()) return false;
  if (LogPath().empty()) SetLogFile("");
  FILE* file = fopen(LogPath().c_str(), "ab");
  if (file == nullptr) return false;
  std::string line = TimeStamp();
  if (tag != nullptr && tag[0] != '\0') line += std::string("[") + tag + "] ";
  line += message;
  std::string bytes = OnDisk("\n" + line);
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

}  // namespace

bool SetLogFile(std::string path) {
  std::lock_guard<std::recursive_mutex> hold(LogLock());
  if (path.empty()) {
    CreateFolderPath("launcherlog");
    struct tm t = LocalNow();
    char name[64];
    snprintf(name, sizeof name, "launcherlog/%d-%02d-%02d.log", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday);
    path = name;
  }
  LogPath() = std::move(path);
  return true;
}

std::string LogFilePath() {
  std::lock_guard<std::recursive_mutex> hold(LogLock());
  return LogPath();
}

void CloseLog() {
  std::lock_guard<std::recursive_mutex> hold(LogLock());
  LogClosed() = true;
}

bool WriteLog(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string message = FormatV(fmt, args);
  va_end(args);
  return AppendRecord(nullptr, message);
}

bool WriteLogTag(const char* tag, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string message = FormatV(fmt, args);
  va_end(args);
  return AppendRecord(tag, message);
}

int WriteLogA(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string message = CutUtf8(FormatV(fmt, args), 1023);
  va_end(args);
  std::string text = AnsiToWide(message);
  AppendRecord(nullptr, text);
  return static_cast<int>(text.size());
}
