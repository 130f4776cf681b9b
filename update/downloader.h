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

  void SetUpdateMode(UpdateMode mode) { updateMode.store(mode); }
  std::atomic<int> updateMode{Normal};

  // ---- Difference computation ----

  // ---- Download tasks and worker pool ----

  // Progress counters read by the window or the command line on a timer.
  // The totals start at 1 so that a done/total ratio never divides by zero.
  struct Progress {
    int totalFileCount = 1;
    int finishedFileCount = 0;
    int64_t totalBytes = 1;
    int64_t downloadedBytes = 0;
    int64_t bytesSinceTick = 0;
    int64_t downloadSize = 0;
    int checkedFileCount = 0;
    int listFileCount = 0;
  };
  // A consistent copy of the counters, taken under engineLock.
  Progress ReadProgress() const {
    std::lock_guard<std::mutex> hold(engineLock);
    return progress;
  }
  // Returns the bytes received since the previous call and zeroes the count
  // (the window's speed display).
  int64_t TakeBytesSinceTick() {
    std::lock_guard<std::mutex> hold(engineLock);
    int64_t n = progress.bytesSinceTick;
    progress.bytesSinceTick = 0;
    return n;
  }
  // Counts one received piece of a transfer.
  void AddReceived(int64_t n) {
    std::lock_guard<std::mutex> hold(engineLock);
    progress.bytesSinceTick += n;
    progress.downloadedBytes += n;
  }

  mutable std::mutex engineLock;
  Progress progress;  // guarded by engineLock

  // Set by the driver or the window to stop a pass; read by every transfer
  // piece and every long loop.
  std::atomic<bool> cancelRequested{false};

  // ---- HTTP transfer with resume ----

  // ---- Patch application ----

  // ---- First download ----

  // ---- Launcher self-update ----

 private:
  std::string installDir_;
};
