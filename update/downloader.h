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
  Installation& installation();
  FileFetcher& fetcher();

  const std::string& installDir() const;
  const InstallLayout& layout() const;

  // The release folder on the server, ending with "/". Set before a pass.
  const std::string& releaseBaseUrl() const;
  void SetReleaseBaseUrl(const std::string& url);
  // Bytes per second all transfers share; 0: no limit.
  void SetRateLimit(int64_t bytesPerSecond);

  // The release version of Launch.conf, kept in step by the update list.
  void LoadLaunchConf();
  std::string clientVersion() const;
  void SetClientVersion(const std::string& version);

  // ---- Signed releases ----
  void SetTrustedKeys(std::vector<std::string> keys);
  bool SignedReleases() const;
  UpdateStatus FetchReleaseSignature();
  bool CheckReleaseFile(const std::string& relative, const std::string& localPath);
  bool CheckFetchedReleaseFile(const std::string& relative, const std::string& localPath,
                               const std::string& sha256);

  // ---- The local list (localclient.md5) ----
  bool OpenLocalList();
  bool RecordFileInLocalList(const FileEntry& entry);
  bool RecordFileInLocalList(const DownloadTask& task);
  bool RemoveLocalList(const std::string& path);
  bool ForgetLocalListEntry(const std::string& key);
  bool WriteLocalClient();
  UpdateStatus IsFirstLogin();
  bool IsScopeExist();
  LocalList* localList() const;
  std::string LocalListPath() const;

  // ---- Update list and version check ----
  void SetUpdateMode(UpdateMode mode);
  UpdateMode GetUpdateMode() const;
  UpdateStatus GetUpdateList();
  UpdateStatus CheckUpdateList();
  UpdateStatus CheckUpdateListVerify();
  // MD5 hex of a whole file, empty when it cannot be read.
  std::string GetFileMD5(const std::string& path);
  void GetUpdateToolMD5();
  const std::string& serverVersion() const;
  const std::string& launcherToolMD5() const;

  // ---- Difference computation ----
  UpdateStatus GetDifferentFiles();
  UpdateStatus GetDifferentFilesWithFiles();
  UpdateStatus GetDiffernetFilesWithMD5List();
  UpdateStatus GetFullDownload();
  UpdateStatus GetScopeList();
  UpdateStatus GetDownloadSize();
  void DeleteOldFile();
  const std::vector<std::string>& oldFiles() const;
  const std::vector<std::string>& scopeList() const;

  // ---- Download tasks and worker pool ----
  void AddDownloadTask(const FileEntry& entry, uint8_t fixNameCase);
  int GetDownloadTaskCount() const;
  const std::vector<DownloadTask>& downloadTasks() const;
  // Creates the pool and its four started workers (once).
  void CreateDownloadPool();
  CDownloaderThreadPool* pool() const;

  // The counters the window and the terminal show; any thread.
  using Progress = EngineProgress::Snapshot;
  Progress ReadProgress() const;
  int64_t TakeBytesSinceTick();
  EngineProgress& Counters();

  // A pass stops at its next check once this is set; the driver clears it
  // before each pass. Any thread, signal handlers included.
  void RequestCancel();
  void ClearCancel();
  bool CancelRequested() const;

  // ---- HTTP transfer with resume ----
  using ProgressHook = FileFetcher::ProgressHook;
  TransferResult DownloadFile(std::string url, std::string localPath, ProgressHook hook,
                              int64_t maxBytes = kNoSizeLimit);
  TransferResult DownloadFileOnce(const std::string& url, const std::string& localPath,
                                  ProgressHook hook, int64_t maxBytes = kNoSizeLimit);
  int64_t GetRemoteFileSize(const std::string& url);
  int64_t QueryRemoteFileSize(const std::string& url);
  int CheckNet(std::string url);
  HttpClientFactory* HttpFactory();
  void SetHttpFactory(std::unique_ptr<HttpClientFactory> factory);
  const HttpTimeouts& TransferTimeouts() const;
  void SetTimeouts(const HttpTimeouts& transfer, const HttpTimeouts& sizeQuery, long checkNetMs);

  // ---- Patch application ----
  UpdateStatus DownloadDifferentFiles();

  // ---- First download ----
  UpdateStatus FirstDownload();
  bool IsFirstInstallUnfinished() const;
  void MarkFirstInstallUnfinished(bool unfinished);

  // ---- Launcher self-update ----
  UpdateStatus RunSelfUpdate(bool verify);
  int64_t selfUpdateBytes() const;
  void SetSelfUpdateHooks(std::function<void()> post, std::function<void(int)> exit);
  void SetSkipMissingLauncher(bool skip);

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
