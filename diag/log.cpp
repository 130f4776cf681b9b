#include "diag/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "util/file_util.h"
#include "util/text_util.h"

namespace {

// The day log's file, kept open between records: opening and closing it for
// every record made the download workers queue on the lock. A record is one
// append-mode write. Before each record the file at the path is compared
// with the open one, so a log moved or deleted away by a player or a tool
// is started afresh at the path. Guarded by its re-entrant lock, because
// formatting happens inside the lock and may log again through a caller's
// helpers.
class DayLogFile {
 public:
  std::recursive_mutex lock;

  // Guarded by lock.
  const std::string& path() const { return path_; }
  void SetPath(std::string path) {
    CloseFile();
    path_ = std::move(path);
    closed_ = false;
  }
  void Close() {
    CloseFile();
    closed_ = true;
  }
  bool closed() const { return closed_; }

  bool Append(const std::string& bytes) {
    if (!EnsureOpen()) return false;
    return WriteAll(fd_, bytes.data(), bytes.size());
  }

 private:
  bool EnsureOpen() {
    struct stat onDisk {};
    if (fd_ >= 0 && stat(path_.c_str(), &onDisk) == 0 && onDisk.st_ino == ino_ &&
        onDisk.st_dev == dev_) {
      return true;
    }
    CloseFile();
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    struct stat opened {};
    if (fd_ < 0 || fstat(fd_, &opened) != 0) return false;
    dev_ = opened.st_dev;
    ino_ = opened.st_ino;
    return true;
  }
  void CloseFile() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  std::string path_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool closed_ = false;
};

// Process-wide, like the file it stands for; never destroyed, so that
// threads still logging while the process ends never meet a dead object.
DayLogFile& Log() {
  static DayLogFile* log = new DayLogFile;
  return *log;
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

// The stamp changes once a second; each thread keeps its last one, so that
// records do not all wait on the C library's time-zone lock.
std::string TimeStamp() {
  thread_local time_t last = -1;
  thread_local char text[64];
  const time_t now = time(nullptr);
  if (now != last) {
    struct tm t {};
    localtime_r(&now, &t);
    snprintf(text, sizeof text, "[%d-%02d-%02d %02d:%02d:%02d] ", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    last = now;
  }
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
  std::string line = TimeStamp();
  if (tag != nullptr && tag[0] != '\0') line += std::string("[") + tag + "] ";
  line += message;
  const std::string bytes = OnDisk("\n" + line);
  DayLogFile& log = Log();
  std::lock_guard<std::recursive_mutex> hold(log.lock);
  if (log.closed()) return false;
  if (log.path().empty()) SetLogFile("");
  return log.Append(bytes);
}

}  // namespace

bool SetLogFile(std::string path) {
  DayLogFile& log = Log();
  std::lock_guard<std::recursive_mutex> hold(log.lock);
  if (path.empty()) {
    CreateFolderPath("launcherlog");
    struct tm t = LocalNow();
    char name[64];
    snprintf(name, sizeof name, "launcherlog/%d-%02d-%02d.log", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday);
    path = name;
  }
  log.SetPath(std::move(path));
  return true;
}

std::string LogFilePath() {
  DayLogFile& log = Log();
  std::lock_guard<std::recursive_mutex> hold(log.lock);
  return log.path();
}

void CloseLog() {
  DayLogFile& log = Log();
  std::lock_guard<std::recursive_mutex> hold(log.lock);
  log.Close();
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
