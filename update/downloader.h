// CVXDlownloader: the update engine facade. One per process; it owns the
// worker pool and the local file list, and keeps the progress counters that
// the window or the command line reads on its timer.
//
// Thread-safety: the counters are guarded by engineLock (or atomic); the
// local list and the task list belong to the thread running an update pass.
// Member functions are defined in one source file per subject (file lists,
// update list, differences, transfer, patching, first download,
// self-update), each next to its test.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "update/types.h"

class CDownloaderThreadPool;

class CVXDlownloader {
 public:
  // installDir: the installation folder, ending with "/".
  explicit CVXDlownloader(std::string installDir);
  ~CVXDlownloader();
  CVXDlownloader(const CVXDlownloader&) = delete;
  CVXDlownloader& operator=(const CVXDlownloader&) = delete;

  const std::string& installDir() const { return installDir_; }

  // ---- File lists: the local list (localclient.md5) ----
  // (declared by the file-list unit)

  // ---- Update list and version check ----

  // ---- Difference computation ----

  // ---- Download tasks and worker pool ----

  // ---- HTTP transfer with resume ----

  // ---- Patch application ----

  // ---- First download ----

  // ---- Launcher self-update ----

 private:
  std::string installDir_;
};
