// CVXDlownloader: the update engine facade. One per installation folder; it
// owns the worker pool, the local file list and the progress counters that
// the window or the command line reads on its timer. Its state is private:
// callers get the steps of a pass and narrow accessors; the workers see it
// through DownloadHost only.
//
// Thread-safety: the steps run on the thread of an update pass (one at a
// time). The progress counters (EngineProgress), the update mode and the
// cancel flag may be used from any thread. Member functions are defined in
// one source file per subject (file lists, update list, differences,
// transfer, patching, first download, self-update), each next to its test.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/http.h"
#include "update/progress.h"
#include "update/types.h"
#include "update/worker_pool.h"

class LocalList;
class ReleaseTrust;

class CVXDlownloader final : public DownloadHost {
 private:
  // First, so that it is destroyed last: the workers borrow it until the
  // pool is gone.
  std::string installDir_;

 public:
  // installDir: the installation folder, ending with "/".
  explicit CVXDlownloader(std::string installDir);
  ~CVXDlownloader();
  CVXDlownloader(const CVXDlownloader&) = delete;
  CVXDlownloader& operator=(const CVXDlownloader&) = delete;

  const std::string& installDir() const override { return installDir_; }

  // The release folder on the server, ending with "/": DefaultReleaseBaseUrl
  // unless changed. Set before a pass starts; read-only while one runs.
  const std::string& releaseBaseUrl() const { return releaseBaseUrl_; }
  void SetReleaseBaseUrl(const std::string& url);

  // The release version of Launch.conf, kept in step by the update-list
  // step. Any thread.
  void LoadLaunchConf();
  std::string clientVersion() const;
  // Stores version and rewrites Launch.conf when it differs.
  void SetClientVersion(const std::string& version);

 private:
  std::string releaseBaseUrl_;
  mutable std::mutex versionLock_;
  std::string clientVersion_;  // guarded by versionLock_

 public:
  // ---- Signed releases ----

  // The raw Ed25519 public keys releases must be signed with; by default the
  // keys built in (BuiltInReleaseKeys). None: unsigned mode, the launcher
  // fetches and checks nothing more than a server without signatures offers.
  // Set before a pass starts.
  void SetTrustedKeys(std::vector<std::string> keys);
  bool SignedReleases() const override;
  // The first step of every pass: fetches LauncherConfig/release.sig and
  // verifies its signature and serial. 32, 36 when cancelled, or 4 when it
  // is missing, not signed by a trusted key, or older than a release
  // accepted before. Unsigned mode: 32 at once.
  UpdateStatus FetchReleaseSignature();
  // Unsigned mode: true. Otherwise whether the fetched file at localPath is
  // the release's file `relative` as release.sig signs it; when it is not,
  // an "Error" line names it and the file is deleted. Any thread.
  bool CheckReleaseFile(const std::string& relative, const std::string& localPath) {
    return CheckFetchedReleaseFile(relative, localPath, std::string());
  }
  // The same with the SHA-256 already taken (empty: read the file).
  bool CheckFetchedReleaseFile(const std::string& relative, const std::string& localPath,
                               const std::string& sha256) override;

 private:
  // Before the pool: the workers check packages through it.
  std::unique_ptr<ReleaseTrust> trust_;

 public:
  // ---- File lists: the local list (localclient.md5) ----

  // Loads the local list once; with none (or a damaged one, kept aside as
  // ".bad") it starts an empty one in memory, written by WriteLocalClient.
  // True.
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
  // Status_FirstLogin (37) without a local list file, else Status_Ready (32).
  UpdateStatus IsFirstLogin();
  // Whether scope/login.scope can be read.
  bool IsScopeExist();
  LocalList* localList() const { return localList_.get(); }
  std::string LocalListPath() const { return installDir_ + "LauncherConfig/localclient.md5"; }

 private:
  std::unique_ptr<LocalList> localList_;
  bool localListOpened_ = false;  // update thread only

 public:
  // ---- Update list and version check ----

  // Values beyond the known modes mean a full check. Any thread.
  void SetUpdateMode(UpdateMode mode) {
    updateMode_.store(mode >= Normal && mode <= FullDownload ? mode : VerifyFiles);
  }
  UpdateMode GetUpdateMode() const { return updateMode_.load(); }

  // Mirrors the server list, reads update.xml, runs the self-update and
  // refreshes LauncherConfig/client.md5 when it is not the announced one.
  // 32 ready, or 2, 4, 8, 9, 25, 35, 36.
  UpdateStatus GetUpdateList();
  UpdateStatus CheckUpdateList();        // modes Normal, Recheck
  UpdateStatus CheckUpdateListVerify();  // mode VerifyFiles: the client list is always fetched
  // MD5 hex of a whole file, empty when it cannot be read.
  std::string GetFileMD5(const std::string& path);
  void GetUpdateToolMD5();

  const std::string& serverVersion() const { return serverVersion_; }
  const std::string& launcherToolMD5() const { return launcherToolMD5_; }

 private:
  std::atomic<UpdateMode> updateMode_{Normal};
  std::string serverVersion_;    // update thread only
  std::string launcherToolMD5_;  // update thread only

  UpdateStatus ReadUpdateXml(bool verify, std::string* expectedCode);
  // ReadUpdateXml, then the launcher's own update: the common start of both
  // list checks.
  UpdateStatus ReadVersionAndSelfUpdate(bool verify, std::string* expectedCode);
  UpdateStatus UnpackClientList(const std::string& archive, const std::string& expected,
                                const char* mismatchLine);

 public:
  // ---- Difference computation ----

  // Fills downloadTasks with the files to fetch, by the rule of the update
  // mode. 34 ready, or 15, 30, 31, 36.
  UpdateStatus GetDifferentFiles();
  UpdateStatus GetDifferentFilesWithFiles();    // every listed file checked on disk
  UpdateStatus GetDiffernetFilesWithMD5List();  // local list against published list
  UpdateStatus GetFullDownload();
  // Reads scope/login.scope into scopeList: 14, or 15 when it is missing.
  UpdateStatus GetScopeList();
  // Totals the task sizes into downloadSize, creates their folders: 6 or 26.
  UpdateStatus GetDownloadSize();
  // Deletes the files of oldFiles and forgets them in the local list.
  void DeleteOldFile();

  const std::vector<std::string>& oldFiles() const { return oldFiles_; }
  const std::vector<std::string>& scopeList() const { return scopeList_; }

 private:
  std::vector<std::string> oldFiles_;        // update thread only
  std::vector<std::string> importantFiles_;  // update thread only
  std::vector<std::string> scopeList_;       // update thread only

  UpdateStatus StartDifference(std::vector<FileEntry>* published);
  // The same, then the local list's codes.
  UpdateStatus StartDifference(std::vector<FileEntry>* published,
                               std::vector<std::pair<std::string, std::string>>* local);
  UpdateStatus LoadLocalMap(std::vector<std::pair<std::string, std::string>>* local);
  void CheckImportantFiles(const std::vector<FileEntry>& published);
  bool CheckFilesOnDisk(const std::vector<const FileEntry*>& entries, std::vector<char>* result);
  // AddDownloadTask unless this pass already has a task for the path.
  void AddTaskOnce(const FileEntry& entry, uint8_t fixNameCase);
  std::set<std::string> taskedPaths_;
  // While the first installation is unfinished: the published paths this
  // pass found missing from the local list (update thread only).
  std::vector<std::string> unfinishedPaths_;
  // Ends the unfinished state once every path of unfinishedPaths_ is
  // recorded.
  void FinishFirstInstallIfComplete();

 public:
  // ---- Download tasks and worker pool ----

  // Builds one task from a list entry and appends it to downloadTasks; a
  // leftover in the update area that is not the expected file is deleted.
  void AddDownloadTask(const FileEntry& entry, uint8_t fixNameCase);
  int GetDownloadTaskCount() const { return static_cast<int>(downloadTasks_.size()); }
  const std::vector<DownloadTask>& downloadTasks() const { return downloadTasks_; }
  // Creates the pool and its four started workers (once).
  void CreateDownloadPool();
  CDownloaderThreadPool* pool() const { return downloadPool_.get(); }

  // The counters the window and the terminal show; any thread.
  using Progress = EngineProgress::Snapshot;
  Progress ReadProgress() const { return progress_.Read(); }
  int64_t TakeBytesSinceTick() { return progress_.TakeBytesSinceTick(); }
  EngineProgress& Counters() override { return progress_; }

  // A pass stops at its next check once this is set; the driver clears it
  // before each pass. Any thread, signal handlers included.
  void RequestCancel() { cancelRequested_.store(true); }
  void ClearCancel() { cancelRequested_.store(false); }
  bool CancelRequested() const override { return cancelRequested_.load(); }

 private:
  std::vector<DownloadTask> downloadTasks_;  // update thread only
  EngineProgress progress_;
  std::atomic<bool> cancelRequested_{false};

 public:
  // ---- HTTP transfer with resume ----

  // Called after each piece DownloadFileOnce writes, with its byte count.
  using ProgressHook = std::function<void(int count)>;

  // Fetches url into localPath, resuming a partial file from an earlier run;
  // up to 11 attempts. 1 complete, 0 failed, 36 cancelled. A file whose
  // announced size passes maxBytes is refused at once (an "Error" line, 0);
  // a body longer than announced is cut off.
  TransferResult DownloadFile(std::string url, std::string localPath, ProgressHook hook,
                              int64_t maxBytes = kNoSizeLimit);
  TransferResult DownloadFileOnce(const std::string& url, const std::string& localPath,
                                  ProgressHook hook, int64_t maxBytes = kNoSizeLimit);
  // Size announced by the server (status 200 and Content-Length), up to 11
  // queries; -1 when none succeeded.
  int64_t GetRemoteFileSize(const std::string& url);
  int64_t QueryRemoteFileSize(const std::string& url);
  // Whether the host and port of url accept a connection, up to 10 tries:
  // 1 reachable, 0 not, 36 cancelled.
  int CheckNet(std::string url);

  // The network seam; the libcurl one unless a test set another. Set before
  // the pool is created.
  HttpClientFactory* HttpFactory() override;
  void SetHttpFactory(std::unique_ptr<HttpClientFactory> factory);

  // Transfers: 10 s to connect, 10 s without a byte fails an attempt. Size
  // queries: 1 s for everything. The connectivity check: 3 s per try. Tests
  // shorten them; set before the pool is created.
  const HttpTimeouts& TransferTimeouts() const override { return transferTimeouts_; }
  void SetTimeouts(const HttpTimeouts& transfer, const HttpTimeouts& sizeQuery, long checkNetMs);

 private:
  // The single-file path's connection, kept between its requests; one
  // request at a time holds it.
  class FacadeClient;
  HttpTimeouts transferTimeouts_;
  HttpTimeouts sizeQueryTimeouts_{1000, 1, 1000};
  long checkNetTimeoutMs_ = 3000;
  std::mutex httpFactoryLock_;
  std::unique_ptr<HttpClientFactory> httpFactory_;  // guarded by httpFactoryLock_
  std::mutex facadeHttpLock_;
  std::unique_ptr<HttpClient> facadeHttp_;  // guarded by facadeHttpLock_
  // Declared after everything its workers use, so that it is destroyed (and
  // the workers stopped) first.
  std::unique_ptr<CDownloaderThreadPool, DownloadPoolDeleter> downloadPool_;

 public:
  // ---- Patch application ----

  // Queues downloadTasks on the workers, applies what they fetch on this
  // thread, saves the local list. 17 when every task was applied, 36 when
  // cancelled, 7 when a file could not be fetched, verified or put in place
  // (it stays different from the list, so the next check finds it again).
  UpdateStatus DownloadDifferentFiles();

  // ---- First download ----

  // Fetches and unpacks the packages of the first-download index and
  // records the files their lists describe. 32, or 38 when no index.
  UpdateStatus FirstDownload();
  // Whether a first download started here has not yet completed (a marker
  // in LauncherConfig/ says so). While it is, the comparison fetches every
  // published file the local list lacks, whatever its kind, so that a
  // failed or interrupted first installation is finished by a later pass.
  bool IsFirstInstallUnfinished() const;
  void MarkFirstInstallUnfinished(bool unfinished);

 private:
  std::vector<std::string> packageNames_;  // update thread only
  std::vector<int64_t> packageSizes_;      // update thread only

  void QueuePackage(const std::string& name, int64_t size);
  UpdateStatus FirstDownloadFailed();
  std::map<std::string, std::string> ClientListCodes();

 public:
  // ---- Launcher self-update ----

  // Refreshes Launcher.dat and, when Launcher.exe is out of date, fetches
  // its archive and restarts through Launcher.dat. 32 to go on, or 8, 9,
  // 25, 36 (5 only when exitProcess returned).
  UpdateStatus RunSelfUpdate(bool verify);

  // Bytes of the launcher's archive fetched so far; any thread.
  int64_t selfUpdateBytes() const { return selfUpdateBytes_.load(); }
  // How the step reaches the window and ends the process: `post` posts the
  // self-update message to the main window (none without a window); `exit`
  // ends the process once the update tool runs (tests keep it going).
  void SetSelfUpdateHooks(std::function<void()> post, std::function<void(int)> exit);
  // Command-line runs: a folder without Launcher.exe has no launcher to
  // replace, so the launcher part of the step is skipped.
  void SetSkipMissingLauncher(bool skip) { skipMissingLauncher_ = skip; }

 private:
  std::map<std::string, FileEntry> selfUpdateList_;  // update thread only
  std::atomic<int64_t> selfUpdateBytes_{0};
  std::function<void()> postSelfUpdateMessage_;
  std::function<void(int)> exitProcess_ = [](int code) { std::exit(code); };
  bool skipMissingLauncher_ = false;

  void PostSelfUpdateMessage();
  UpdateStatus UpdateTheUpdateTool(bool verify);
  UpdateStatus UpdateTheLauncher(bool verify);
  UpdateStatus RestartThroughUpdateTool();
};
