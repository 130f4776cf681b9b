// The first-download package index and the package lists. FirstDownload itself is a member of
// CVXDlownloader and its apply loop CDownloaderThreadPool::
// ProcessFirstDownloadTask, both defined in first_download.cpp.
//
// Thread-safety: no shared state; ReadPackageList reads and deletes one file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "update/types.h"

struct PackageRef {
  std::string name;  // relative to the release folder and the installation
  int64_t size = 0;
};

// Parses the index: one "name,size" per line, the size after the last
// comma; a byte-order mark before the first line is skipped. Lines without a
// comma, with an empty name or with a name that would leave the installation
// folder are skipped (the latter logged).
std::vector<PackageRef> ParsePackageIndex(const std::string& text);

// Reads the list that an unpacked package brought
// (installDir + "LauncherConfig/update/" + the package's file name + ".md5")
// into files, keyed by "Path"; entries whose path would leave the
// installation folder are skipped. The list file is deleted once read; one
// that does not load stays (logged) and gives false: its files are not known.
bool ReadPackageList(const std::string& installDir, const DownloadTask& package,
                     std::map<std::string, FileEntry>* files);
