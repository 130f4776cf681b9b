#include "update/engine_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "util/file_util.h"

namespace fs = std::filesystem;

bool RemoveFileIfPresent(const std::string& path) {
  std::error_code ec;
  auto st = fs::symlink_status(path, ec);
  if (fs::is_directory(st)) return false;
  fs::remove(path, ec);
  return !fs::exists(fs::symlink_status(path, ec));
}

bool MoveIntoPlace(const std::string& source, const std::string& target) {
  if (!IsPlainFile(source)) return false;
  if (std::rename(source.c_str(), target.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  return CopyPlainFile(source, target, false);
}

bool MakeExecutable(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  return chmod(path.c_str(), st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH) == 0;
}
