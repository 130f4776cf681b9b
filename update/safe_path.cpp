#include "update/safe_path.h"

bool IsSafeRelativePath(const std::string& path) {
  if (path.empty() || path[0] == '/' || path[0] == '\\') return false;
  if (path.find('\0') != std::string::npos) return false;
  // "C:" style prefixes are absolute on the platform the lists were made on.
  if (path.size() >= 2 && path[1] == ':') return false;
  // Names no file system here can hold are refused up front, with the
  // others, rather than failing later at every attempt.
  if (path.size() > kLongestRelativePath) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    if (end - start > kLongestName) return false;
    start = end + 1;
  }
  return true;
}

bool IsInsideFolder(const std::string& installDir, const std::string& full) {
  if (full.size() <= installDir.size() || full.compare(0, installDir.size(), installDir) != 0) {
    return false;
  }
  return IsSafeRelativePath(full.substr(installDir.size()));
}
