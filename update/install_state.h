// The state of one installation, kept apart from the steps that change it.
//
// InstallState is what the download workers and the apply loops see of an
// installation: its paths, the progress counters, the cancel flag, the
// record of installed files and the check of signed release files. Tests
// give the workers a fake of it (update/testing).
//
// Installation is the real one. It owns the install folder and every path
// below it, the local list (LauncherConfig/localclient.md5), the counters,
// the cancel flag, the update mode, the release version of Launch.conf, the
// first-install marker and the release trust. The steps of a pass take it by
// reference; none of them keeps state of its own beyond one pass.
//
// Thread-safety: the counters, the cancel flag, the update mode, the version
// and the trust check may be used from any thread; the local-list members
// run on the update thread (the list's own lock lets the window save it).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "update/install_layout.h"
#include "update/progress.h"
#include "update/types.h"

class LocalList;
class ReleaseTrust;

class InstallState {
 public:
  virtual const InstallLayout& layout() const = 0;
  const std::string& installDir() const { return layout().root(); }
  virtual EngineProgress& Counters() = 0;
  virtual bool CancelRequested() const = 0;
  virtual bool RecordFileInLocalList(const FileEntry& entry) = 0;
  virtual bool RecordFileInLocalList(const DownloadTask& task) = 0;
  // Whether fetched release files must match a signed release.sig.
  virtual bool SignedReleases() const = 0;
  // Whether a fetched release file (a first-download package, a metadata
  // file) is the one the release signed; sha256 is its digest taken during
  // the transfer, empty to read the file. When it is not, an "Error" line
  // names it and the file is deleted. True when releases are not signed.
  virtual bool CheckFetchedReleaseFile(const std::string& relative, const std::string& localPath,
                                       const std::string& sha256) = 0;

 protected:
  ~InstallState() = default;
};

// The version stored in folder + "Launch.conf" (UTF-8); empty when the file
// or the value is missing.
std::string ReadLaunchConf(const std::string& folder);
// Writes version to folder + "Launch.conf" (temporary name, renamed).
bool WriteLaunchConf(const std::string& folder, const std::string& version);

class Installation final : public InstallState {
 public:
  // folder: the installation folder, ending with "/".
  explicit Installation(std::string folder);
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  const InstallLayout& layout() const override { return layout_; }

  // ---- Progress, cancel, mode ----
  EngineProgress& Counters() override { return progress_; }
  const EngineProgress& Counters() const { return progress_; }
  // A pass stops at its next check once this is set. Signal handlers too.
  void RequestCancel() { cancelRequested_.store(true); }
  void ClearCancel() { cancelRequested_.store(false); }
  bool CancelRequested() const override { return cancelRequested_.load(); }
  // Values beyond the known modes mean a full check.
  void SetUpdateMode(UpdateMode mode);
  UpdateMode GetUpdateMode() const { return updateMode_.load(); }

  // ---- The release version (Launch.conf) ----
  void LoadLaunchConf();
  std::string clientVersion() const;
  // Stores version and rewrites Launch.conf when it differs.
  void SetClientVersion(const std::string& version);

  // ---- The local list ----
  // Loads the local list once; with none (or a damaged one, kept aside as
  // ".bad") it starts an empty one in memory, saved by WriteLocalClient.
  bool OpenLocalList();
  // Adds or updates one file; the path may be full or relative, "\" or "/".
  bool RecordFileInLocalList(const FileEntry& entry) override;
  bool RecordFileInLocalList(const DownloadTask& task) override;
  // Removes every "File" element whose "Path" is path; false when the list
  // has no "Filelist"/"Files".
  bool RemoveLocalList(const std::string& path);
  // RemoveLocalList for a key the index holds, then drops the key; false
  // when the index lacks it.
  bool ForgetLocalListEntry(const std::string& key);
  // Saves the local list atomically; logs the outcome.
  bool WriteLocalClient();
  // Status_FirstLogin (37) without a local list file, else Status_Ready.
  UpdateStatus IsFirstLogin();
  // Whether scope/login.scope can be read.
  bool IsScopeExist();
  LocalList* localList() const { return localList_.get(); }

  // ---- The first installation ----
  // Whether a first download started here has not yet completed (a marker
  // in LauncherConfig/ says so).
  bool IsFirstInstallUnfinished() const;
  void MarkFirstInstallUnfinished(bool unfinished);

  // ---- Signed releases ----
  // No keys: unsigned mode. Set before a pass starts.
  void SetTrustedKeys(std::vector<std::string> keys);
  ReleaseTrust& trust() { return *trust_; }
  bool SignedReleases() const override;
  bool CheckFetchedReleaseFile(const std::string& relative, const std::string& localPath,
                               const std::string& sha256) override;
  bool CheckReleaseFile(const std::string& relative, const std::string& localPath) {
    return CheckFetchedReleaseFile(relative, localPath, std::string());
  }

 private:
  const InstallLayout layout_;
  EngineProgress progress_;
  std::atomic<bool> cancelRequested_{false};
  std::atomic<UpdateMode> updateMode_{UpdateMode::Normal};
  mutable std::mutex versionLock_;
  std::string clientVersion_;  // guarded by versionLock_
  std::unique_ptr<LocalList> localList_;
  bool localListOpened_ = false;  // update thread only
  std::unique_ptr<ReleaseTrust> trust_;
};
