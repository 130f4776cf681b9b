// An installation state for tests: a folder's paths and real counters, a
// cancel flag the test sets, the records the workers and apply loops make
// kept in memory, and a signed-file check that answers as the test says.
//
// Thread-safety: the records are guarded by a lock, the flags are atomic;
// workers may use it from their threads.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "update/install_state.h"

class FakeInstallState final : public InstallState {
 public:
  // folder: ends with "/".
  explicit FakeInstallState(std::string folder) : layout_(std::move(folder)) {}

  const InstallLayout& layout() const override { return layout_; }
  EngineProgress& Counters() override { return progress_; }
  bool CancelRequested() const override { return cancel_.load(); }
  bool RecordFileInLocalList(const FileEntry& entry) override;
  bool RecordFileInLocalList(const DownloadTask& task) override;
  bool SignedReleases() const override { return signed_.load(); }
  bool CheckFetchedReleaseFile(const std::string& relative, const std::string& localPath,
                               const std::string& sha256) override;

  void SetCancel(bool on) { cancel_.store(on); }
  // Signed mode, where every checked file is accepted or refused.
  void SetSigned(bool on, bool accept) {
    signed_.store(on);
    accept_.store(accept);
  }
  // The paths recorded so far, in order.
  std::vector<std::string> Recorded();

 private:
  const InstallLayout layout_;
  EngineProgress progress_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> signed_{false};
  std::atomic<bool> accept_{true};
  std::mutex lock_;
  std::vector<std::string> recorded_;  // guarded by lock_
};
