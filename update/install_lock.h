// The advisory lock one process holds on an installation folder for as long
// as it may update it. Two launchers started at the same moment, or a
// launcher and `kestrava-patcher update`, would otherwise fetch and move the
// same files at once and corrupt the folder. The lock is the file
// "LauncherConfig/launcher.lock", locked with flock: the system drops it when
// the holder ends, however it ends, so a crash never leaves a stale lock.
//
// Thread-safety: an InstallLock is owned by one thread; TryAcquire may run on
// any thread.
#pragma once

#include <memory>
#include <string>

class InstallLock {
 public:
  // installDir ends with "/". Null when another process holds the lock (or
  // the lock file cannot be created; *error says which).
  static std::unique_ptr<InstallLock> TryAcquire(const std::string& installDir,
                                                 std::string* error = nullptr);
  ~InstallLock();
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;

 private:
  explicit InstallLock(int fd) : fd_(fd) {}
  int fd_;
};
