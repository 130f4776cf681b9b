// CVXDlownloader: the update engine's facade, one per installation folder.
// It wires the parts together and offers every operation of a pass as a
// short delegation:
// - Installation (install_state.h): the folder and its paths, the local
//   list, the counters, the cancel flag, the update mode, the version, the
//   release trust;
// - FileFetcher (file_fetcher.h): the release's address, the network and the
//   single-file fetch;
// - the steps: UpdateListStep, SelfUpdateStep, DifferenceStep, PatchStep,
//   FirstDownloadStep, each in the file named for it;
// - CDownloaderThreadPool (worker_pool.h): the four workers.
//
// Thread-safety: the steps run on the thread of an update pass (one at a
// time). The counters, the update mode and the cancel flag may be used from
// any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/http.h"
#include "update/difference.h"
#include "update/file_fetcher.h"
#include "update/first_download.h"
#include "update/install_state.h"
#include "update/patch.h"
#include "update/progress.h"
#include "update/self_update.h"
#include "update/types.h"
#include "update/update_list.h"
#include "update/worker_pool.h"

class LocalList;

class CVXDlownloader final {
 public:
  // installDir: the installation folder, ending with "/".
  explicit CVXDlownloader(std::string installDir);
  ~CVXDlownloader();
  CVXDlownloader(const CVXDlownloader&) = delete;
  CVXDlownloader& operator=(const CVXDlownloader&) = delete;

  // The parts, for callers that need more than the operations below.
  Installation& installation() { return *state_; }
  FileFetcher& fetcher() { return *fetcher_; }

  const std::string& installDir() const { return state_->installDir(); }
  const InstallLayout& layout() const { return state_->layout(); }

  // The release folder on the server, ending with "/". Set before a pass.
  const std::string& releaseBaseUrl() const { return fetcher_->releaseBaseUrl(); }
  void SetReleaseBaseUrl(const std::string& url) { fetcher_->SetReleaseBaseUrl(url); }
  // Bytes per second all transfers share; 0: no limit.
  void SetRateLimit(int64_t bytesPerSecond) { fetcher_->RateLimit().SetRate(bytesPerSecond); }

  // The release version of Launch.conf, kept in step by the update list.
  void LoadLaunchConf() { state_->LoadLaunchConf(); }
  std::string clientVersion() const { return state_->clientVersion(); }
  void SetClientVersion(const std::string& version) { state_->SetClientVersion(version); }

  // ---- Signed releases ----
  void SetTrustedKeys(std::vector<std::string> keys) { state_->SetTrustedKeys(std::move(keys)); }
  bool SignedReleases() const { return state_->SignedReleases(); }
  UpdateStatus FetchReleaseSignature() { return updateList_->FetchReleaseSignature(); }
  bool CheckReleaseFile(const std::string& relative, const std::string& localPath) {
    return state_->CheckReleaseFile(relative, localPath);
  }
  bool CheckFetchedReleaseFile(const std::string& relative, const std::string& localPath,
                               const std::string& sha256) {
    return state_->CheckFetchedReleaseFile(relative, localPath, sha256);
  }

  // ---- The local list (localclient.md5) ----
  bool OpenLocalList() { return state_->OpenLocalList(); }
  bool RecordFileInLocalList(const FileEntry& entry) {
    return state_->RecordFileInLocalList(entry);
  }
  bool RecordFileInLocalList(const DownloadTask& task) {
    return state_->RecordFileInLocalList(task);
  }
  bool RemoveLocalList(const std::string& path) { return state_->RemoveLocalList(path); }
  bool ForgetLocalListEntry(const std::string& key) { return state_->ForgetLocalListEntry(key); }
  bool WriteLocalClient() { return state_->WriteLocalClient(); }
  UpdateStatus IsFirstLogin() { return state_->IsFirstLogin(); }
  bool IsScopeExist() { return state_->IsScopeExist(); }
  LocalList* localList() const { return state_->localList(); }
  std::string LocalListPath() const { return layout().localList(); }

  // ---- Update list and version check ----
  void SetUpdateMode(UpdateMode mode) { state_->SetUpdateMode(mode); }
  UpdateMode GetUpdateMode() const { return state_->GetUpdateMode(); }
  UpdateStatus GetUpdateList() { return updateList_->GetUpdateList(); }
  UpdateStatus CheckUpdateList() { return updateList_->CheckUpdateList(); }
  UpdateStatus CheckUpdateListVerify() { return updateList_->CheckUpdateListVerify(); }
  // MD5 hex of a whole file, empty when it cannot be read.
  std::string GetFileMD5(const std::string& path);
  void GetUpdateToolMD5() { selfUpdate_->GetUpdateToolMD5(); }
  const std::string& serverVersion() const { return updateList_->serverVersion(); }
  const std::string& launcherToolMD5() const { return selfUpdate_->launcherToolMD5(); }

  // ---- Difference computation ----
  UpdateStatus GetDifferentFiles() { return difference_->GetDifferentFiles(); }
  UpdateStatus GetDifferentFilesWithFiles() { return difference_->GetDifferentFilesWithFiles(); }
  UpdateStatus GetDiffernetFilesWithMD5List() {
    return difference_->GetDiffernetFilesWithMD5List();
  }
  UpdateStatus GetFullDownload() { return difference_->GetFullDownload(); }
  UpdateStatus GetScopeList() { return difference_->GetScopeList(); }
  UpdateStatus GetDownloadSize() { return difference_->GetDownloadSize(); }
  void DeleteOldFile() { difference_->DeleteOldFile(); }
  const std::vector<std::string>& oldFiles() const { return difference_->oldFiles(); }
  const std::vector<std::string>& scopeList() const { return difference_->scopeList(); }

  // ---- Download tasks and worker pool ----
  void AddDownloadTask(const FileEntry& entry, uint8_t fixNameCase) {
    difference_->AddDownloadTask(entry, fixNameCase);
  }
  int GetDownloadTaskCount() const { return static_cast<int>(difference_->downloadTasks().size()); }
  const std::vector<DownloadTask>& downloadTasks() const { return difference_->downloadTasks(); }
  // Creates the pool and its four started workers (once).
  void CreateDownloadPool();
  CDownloaderThreadPool* pool() const { return downloadPool_.get(); }

  // The counters the window and the terminal show; any thread.
  using Progress = EngineProgress::Snapshot;
  Progress ReadProgress() const { return state_->Counters().Read(); }
  int64_t TakeBytesSinceTick() { return state_->Counters().TakeBytesSinceTick(); }
  EngineProgress& Counters() { return state_->Counters(); }

  // A pass stops at its next check once this is set; the driver clears it
  // before each pass. Any thread, signal handlers included.
  void RequestCancel() { state_->RequestCancel(); }
  void ClearCancel() { state_->ClearCancel(); }
  bool CancelRequested() const { return state_->CancelRequested(); }

  // ---- HTTP transfer with resume ----
  using ProgressHook = FileFetcher::ProgressHook;
  TransferResult DownloadFile(std::string url, std::string localPath, ProgressHook hook,
                              int64_t maxBytes = kNoSizeLimit) {
    return fetcher_->DownloadFile(std::move(url), std::move(localPath), std::move(hook), maxBytes);
  }
  TransferResult DownloadFileOnce(const std::string& url, const std::string& localPath,
                                  ProgressHook hook, int64_t maxBytes = kNoSizeLimit) {
    return fetcher_->DownloadFileOnce(url, localPath, std::move(hook), maxBytes);
  }
  int64_t GetRemoteFileSize(const std::string& url) { return fetcher_->GetRemoteFileSize(url); }
  int64_t QueryRemoteFileSize(const std::string& url) { return fetcher_->QueryRemoteFileSize(url); }
  int CheckNet(std::string url) { return fetcher_->CheckNet(std::move(url)); }
  HttpClientFactory* HttpFactory() { return fetcher_->HttpFactory(); }
  void SetHttpFactory(std::unique_ptr<HttpClientFactory> factory) {
    fetcher_->SetHttpFactory(std::move(factory));
  }
  const HttpTimeouts& TransferTimeouts() const { return fetcher_->TransferTimeouts(); }
  void SetTimeouts(const HttpTimeouts& transfer, const HttpTimeouts& sizeQuery, long checkNetMs) {
    fetcher_->SetTimeouts(transfer, sizeQuery, checkNetMs);
  }

  // ---- Patch application ----
  UpdateStatus DownloadDifferentFiles();

  // ---- First download ----
  UpdateStatus FirstDownload();
  bool IsFirstInstallUnfinished() const { return state_->IsFirstInstallUnfinished(); }
  void MarkFirstInstallUnfinished(bool unfinished) {
    state_->MarkFirstInstallUnfinished(unfinished);
  }

  // ---- Launcher self-update ----
  UpdateStatus RunSelfUpdate(bool verify) { return selfUpdate_->RunSelfUpdate(verify); }
  int64_t selfUpdateBytes() const { return selfUpdate_->selfUpdateBytes(); }
  void SetSelfUpdateHooks(std::function<void()> post, std::function<void(int)> exit) {
    selfUpdate_->SetSelfUpdateHooks(std::move(post), std::move(exit));
  }
  void SetSkipMissingLauncher(bool skip) { selfUpdate_->SetSkipMissingLauncher(skip); }

 private:
  // Declared in the order they are made; destroyed the other way round, so
  // the pool (and its workers) go first and the installation last.
  std::unique_ptr<Installation> state_;
  std::unique_ptr<FileFetcher> fetcher_;
  std::unique_ptr<SelfUpdateStep> selfUpdate_;
  std::unique_ptr<UpdateListStep> updateList_;
  std::unique_ptr<DifferenceStep> difference_;
  std::unique_ptr<PatchStep> patch_;
  std::unique_ptr<FirstDownloadStep> firstDownload_;
  std::unique_ptr<CDownloaderThreadPool, DownloadPoolDeleter> downloadPool_;
};
