#include "platform/disk_space.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace platform {
namespace {

// Walks up from the path while the parent lies on the same device; the last
// folder on it is the mount point.
std::string MountPointOf(std::string path) {
  struct stat here {};
  if (stat(path.c_str(), &here) != 0) return "/";
  while (path.size() > 1) {
    if (path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    struct stat up {};
    if (slash == std::string::npos || stat(parent.c_str(), &up) != 0 || up.st_dev != here.st_dev)
      break;
    path = parent;
  }
  return path.empty() ? "/" : path;
}

}  // namespace

bool QueryDiskSpace(const std::string& path, DiskSpace* out) {
  struct statvfs s {};
  if (path.empty() || statvfs(path.c_str(), &s) != 0) return false;
  out->mountPoint = MountPointOf(path);
  out->available = static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
  out->total = static_cast<std::uint64_t>(s.f_blocks) * s.f_frsize;
  out->free = static_cast<std::uint64_t>(s.f_bfree) * s.f_frsize;
  return true;
}

}  // namespace platform
