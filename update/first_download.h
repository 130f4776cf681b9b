// The first-download package index. FirstDownload itself is a member of
// CVXDlownloader and its apply loop CDownloaderThreadPool::
// ProcessFirstDownloadTask, both defined in first_download.cpp.
//
// Thread-safety: pure function.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PackageRef {
  std::string name;  // relative to the release folder and the installation
  int64_t size = 0;
};

// Parses the index: one "name,size" per line, the size after the last
// comma; a byte-order mark before the first line is skipped. Lines without a
// comma, with an empty name or with a name that would leave the installation
// folder are skipped (the latter logged).
std::vector<PackageRef> ParsePackageIndex(const std::string& text);
