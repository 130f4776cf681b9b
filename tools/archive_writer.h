// Writing 7z archives, for the publisher and for tests that build what a
// server would publish. The launcher itself only reads archives
// (update/archive.h), so this lives beside the publisher and is no part of
// the program players run.
//
// Thread-safety: no shared state; several archives may be written at once
// on different threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// One item of an archive to write: the file at sourcePath, or `data` when
// sourcePath is empty, stored under `name`.
struct PackItem {
  std::string name;
  std::string sourcePath;
  std::string data;
};

// Writes a 7z archive holding the items in order (LZMA2 at `level` 1-9, or
// stored at level 0), solid, through a temporary file renamed into place.
// bytesRead (may be null) grows as item data is consumed. On failure returns
// false with the reason in *error and leaves archivePath as it was.
bool PackSevenZip(const std::string& archivePath, const std::vector<PackItem>& items, int level,
                  std::atomic<int64_t>* bytesRead, std::string* error);
