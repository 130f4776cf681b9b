#include "update/install_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "update/install_layout.h"
#include "util/file_util.h"

std::unique_ptr<InstallLock> InstallLock::TryAcquire(const std::string& installDir,
                                                     std::string* error) {
  const std::string path = InstallLayout(installDir).launcherLock();
  CreateParentFolders(path);
  // Close-on-exec: the game and the update tool must not inherit the lock.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (error) *error = "another launcher or update is using " + installDir;
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<InstallLock>(new InstallLock(fd));
}

InstallLock::~InstallLock() {
  close(fd_);  // releases the lock
}
