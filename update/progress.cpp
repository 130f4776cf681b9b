#include "update/progress.h"

#include <algorithm>

EngineProgress::Snapshot EngineProgress::Read() const {
  std::lock_guard<std::mutex> hold(lock_);
  return counters_;
}

int64_t EngineProgress::TakeBytesSinceTick() {
  std::lock_guard<std::mutex> hold(lock_);
  const int64_t n = bytesSinceTick_;
  bytesSinceTick_ = 0;
  return n;
}

void EngineProgress::AddReceived(int64_t bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  bytesSinceTick_ += bytes;
  counters_.downloadedBytes += bytes;
}

void EngineProgress::ResetTransfer() {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.totalFileCount = 1;
  counters_.finishedFileCount = 0;
  counters_.totalBytes = 1;
  counters_.downloadedBytes = 0;
}

void EngineProgress::AddTotalFiles(int n) {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.totalFileCount += n;
}

void EngineProgress::AddFinishedFiles(int n) {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.finishedFileCount += n;
}

void EngineProgress::AddTotalBytes(int64_t n) {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.totalBytes += n;
}

void EngineProgress::StartSizes() {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.downloadSize = 1;
  counters_.totalBytes = 1;
  counters_.downloadedBytes = 1;
}

void EngineProgress::SetDownloadSize(int64_t bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.downloadSize = bytes;
}

void EngineProgress::Discount(int64_t saved) {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.downloadSize = std::max<int64_t>(1, counters_.downloadSize - saved);
  counters_.totalBytes = std::max<int64_t>(1, counters_.totalBytes - saved);
}

void EngineProgress::SetCheckCounters(int listed, int checked) {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.listFileCount = listed;
  counters_.checkedFileCount = checked;
}

void EngineProgress::AddChecked(int n) {
  std::lock_guard<std::mutex> hold(lock_);
  counters_.checkedFileCount += n;
}

void EngineProgress::Set(const Snapshot& figures) {
  std::lock_guard<std::mutex> hold(lock_);
  counters_ = figures;
}
