// The first download of an empty installation: the package index, the
// packages fetched and unpacked on the workers, and the apply loop that
// records every unpacked file its package list describes.
//
// Thread-safety: ReadPackageList reads and deletes one file; the step and
// its apply loop run on the update thread.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "update/types.h"

class CDownloaderThreadPool;
class FileFetcher;
class InstallState;
class Installation;

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
// (in the installation under release_layout::PackageListPath of the
// package's file name)
// into files, keyed by "Path"; entries whose path would leave the
// installation folder are skipped. The list file is deleted once read; one
// that does not load stays (logged) and gives false: its files are not known.
// The paths taken are also added to *paths when it is given.
bool ReadPackageList(const std::string& installDir, const DownloadTask& package,
                     std::map<std::string, FileEntry>* files,
                     std::set<std::string>* paths = nullptr);

// The apply loop: true when all `packages` arrived and unpacked and every
// file their lists name came out of them with the listed content.
// signedCodes (path to MD5 of the signed client list; null for unsigned
// releases): a file is recorded only when it also has the code that list
// gives it, since a package's own list vouches for nothing by itself.
bool ApplyUnpackedPackages(CDownloaderThreadPool* pool, InstallState* state, int packages,
                           const std::map<std::string, std::string>* signedCodes = nullptr);

class FirstDownloadStep {
 public:
  // Both borrowed; they outlive the step.
  FirstDownloadStep(Installation* state, FileFetcher* fetcher);

  // Fetches and unpacks the packages of the first-download index on the
  // pool's workers and records the files their lists describe. 32, or 38
  // when there is no index. taskCount: the pass's download tasks, for the
  // log.
  UpdateStatus FirstDownload(CDownloaderThreadPool* pool, int taskCount);

 private:
  void QueuePackage(CDownloaderThreadPool* pool, const std::string& name, int64_t size);
  UpdateStatus FirstDownloadFailed();
  std::map<std::string, std::string> ClientListCodes();

  Installation& state_;
  FileFetcher& fetcher_;
  std::vector<std::string> packageNames_;
  std::vector<int64_t> packageSizes_;
};
