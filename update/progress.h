// The progress counters of an update pass: the window and the terminal
// read them on their timers while the pass thread and the download workers
// change them. The totals start at 1, so that a done / total ratio never
// divides by zero.
//
// Thread-safety: every member takes the counters' own lock (the engine
// lock), so readers always get a consistent copy.
#pragma once

#include <cstdint>
#include <mutex>

class EngineProgress {
 public:
  struct Snapshot {
    int totalFileCount = 1;
    int finishedFileCount = 0;
    int64_t totalBytes = 1;
    int64_t downloadedBytes = 0;
    int64_t downloadSize = 0;
    int checkedFileCount = 0;
    int listFileCount = 0;
  };

  Snapshot Read() const;
  // The bytes received since the previous call; the count starts again
  // (the window's speed display).
  int64_t TakeBytesSinceTick();

  // A transfer's received piece.
  void AddReceived(int64_t bytes);
  // Starts the file and byte counts of a download over; the speed count and
  // the comparison counters stay.
  void ResetTransfer();
  void AddTotalFiles(int n);
  void AddFinishedFiles(int n);
  void AddTotalBytes(int64_t n);
  // The sizes step starts its total at 1 and the byte counts with it.
  void StartSizes();
  void SetDownloadSize(int64_t bytes);
  // A file that costs fewer bytes than its size (a delta reuses the rest):
  // the download size and the byte total shrink by `saved`, never below 1.
  void Discount(int64_t saved);
  // The comparison's counters: files to examine, files examined.
  void SetCheckCounters(int listed, int checked);
  void AddChecked(int n);
  // Displays under test show given figures.
  void Set(const Snapshot& figures);

 private:
  mutable std::mutex lock_;
  Snapshot counters_;           // guarded by lock_
  int64_t bytesSinceTick_ = 0;  // guarded by lock_
};
