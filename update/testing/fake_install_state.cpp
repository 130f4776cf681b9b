#include "update/testing/fake_install_state.h"

bool FakeInstallState::RecordFileInLocalList(const FileEntry& entry) {
  std::lock_guard<std::mutex> hold(lock_);
  recorded_.push_back(entry.path);
  return true;
}

bool FakeInstallState::RecordFileInLocalList(const DownloadTask& task) {
  FileEntry entry;
  entry.path = task.targetPath;
  entry.code = task.code;
  return RecordFileInLocalList(entry);
}

bool FakeInstallState::CheckFetchedReleaseFile(const std::string&, const std::string&,
                                               const std::string&) {
  return !signed_.load() || accept_.load();
}

std::vector<std::string> FakeInstallState::Recorded() {
  std::lock_guard<std::mutex> hold(lock_);
  return recorded_;
}
