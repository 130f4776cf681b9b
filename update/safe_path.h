// Checks on relative paths that come from the server (file lists, package
// lists, the scope file, the first-download index) before the engine writes
// or deletes anything under them.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <string>

// The longest name of one component and the longest relative path the
// engine accepts (what Linux file systems hold, with room for the folder).
constexpr size_t kLongestName = 255;
constexpr size_t kLongestRelativePath = 3072;

// True when path is relative, not empty, and none of its components (split
// at "/" or "\") is "..", so that installDir + path stays inside installDir;
// also false for a component or a path too long to be created.
bool IsSafeRelativePath(const std::string& path);

// True when full is installDir followed by a safe relative path.
bool IsInsideFolder(const std::string& installDir, const std::string& full);
