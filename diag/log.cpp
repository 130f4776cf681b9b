#include "diag/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "util/file_util.h"
#include "util/text_util.h"

namespace {

// The day log's file, kept open between records: opening and closing it
// for every record, under one lock, made the download workers queue on the
// log. A record is one append-mode write, which the system never
// interleaves with another, so writers need no lock. Once a second one of
// them compares the file at the path with the open one, under the lock, so
// that a log moved or deleted away by a player or a tool is started afresh
// at the path. A descriptor replaced that way is kept open until the file is
// chosen again or logging ends: a writer may still be using it.
class DayLogFile {
 public:
  // Held to change the path or the descriptor, and by SetLogFile's callers.
  std::recursive_mutex lock;

  // Guarded by lock.
  const std::string& path() const { return path_; }
  void SetPath(std::string path) {
    CloseAll();
    path_ = std::move(path);
    closed_.store(false);
  }
  void Close() {
    closed_.store(true);
    CloseAll();
  }
  bool closed() const { return closed_.load(); }

  // Any thread, without the lock.
  bool Append(const std::string& bytes) {
    if (closed_.load()) return false;
    const time_t now = time(nullptr);
    int fd = fd_.load();
    if (fd < 0 || checked_.load() != now) {
      std::lock_guard<std::recursive_mutex> hold(lock);
      fd = Check(now);
    }
    return fd >= 0 && WriteAll(fd, bytes.data(), bytes.size());
  }

 private:
  // The descriptor to write to; opens or reopens the file when needed.
  // lock held.
  int Check(time_t now) {
    int fd = fd_.load();
    if (fd >= 0 && checked_.load() == now) return fd;  // another writer just looked
    checked_.store(now);
    struct stat onDisk {};
    if (fd >= 0 && stat(path_.c_str(), &onDisk) == 0 && onDisk.st_ino == ino_ &&
        onDisk.st_dev == dev_) {
      return fd;
    }
    if (path_.empty()) return -1;
    const int fresh = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    struct stat opened {};
    if (fresh < 0 || fstat(fresh, &opened) != 0) {
      if (fresh >= 0) close(fresh);
      return fd;  // keep writing where we did, if anywhere
    }
    dev_ = opened.st_dev;
    ino_ = opened.st_ino;
    if (fd >= 0) retired_.push_back(fd);
    fd_.store(fresh);
    return fresh;
  }
  void CloseAll() {
    const int fd = fd_.exchange(-1);
    if (fd >= 0) close(fd);
    for (int old : retired_) close(old);
    retired_.clear();
    checked_.store(0);
  }

  std::string path_;         // guarded by lock
  std::atomic<int> fd_{-1};  // written under lock
  std::atomic<time_t> checked_{0};
  std::atomic<bool> closed_{false};
  dev_t dev_ = 0;  // guarded by lock: the open file's identity
  ino_t ino_ = 0;
  std::vector<int> retired_;  // guarded by lock
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
  if (log.closed()) return false;
  {
    std::lock_guard<std::recursive_mutex> hold(log.lock);
    if (log.path().empty()) SetLogFile("");
  }
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
