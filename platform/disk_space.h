// Free space of the file system that holds a folder: what the launcher warns
// about before it fetches a release. The "drive" of a path is the mount
// point of its file system.
//
// Thread-safety: no shared state; safe on any thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct DiskSpace {
  std::string mountPoint;   // for example "/" or "/home"
  std::uint64_t available;  // bytes an unprivileged writer may still use
  std::uint64_t total;      // size of the file system
  std::uint64_t free;       // free bytes, the reserved ones included
};

// False when the path cannot be examined.
bool QueryDiskSpace(const std::string& path, DiskSpace* out);

}  // namespace platform
