// Checks on relative paths that come from the server (file lists, package
// lists, the scope file, the first-download index) before the engine writes
// or deletes anything under them.
//
// Thread-safety: pure functions.
#pragma once

#include <string>

// True when path is relative, not empty, and none of its components (split
// at "/" or "\") is "..", so that installDir + path stays inside installDir.
bool IsSafeRelativePath(const std::string& path);

// True when full is installDir followed by a safe relative path.
bool IsInsideFolder(const std::string& installDir, const std::string& full);
