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
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/http.h"
#include "update/types.h"
#include "update/worker_pool.h"

class LocalList;

class CVXDlownloader {
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

  const std::string& installDir() const { return installDir_; }

  // ---- File lists: the local list (localclient.md5) ----

  // Loads the local list once; with none (or a damaged one, kept aside as
  // ".bad") it starts an empty one in memory, written by WriteLocalClient.
  // True.
  bool OpenLocalList();
  // Adds or updates one file; the path may be full or relative, "\" or "/".
  bool RecordFileInLocalList(const FileEntry& entry);
  bool RecordFileInLocalList(const DownloadTask& task);
  // Removes every "File" element whose "Path" is path; false when the list
  // has no "Filelist"/"Files".
  bool RemoveLocalList(const std::string& path);
  // RemoveLocalList for a key the index holds, then drops the key; false
  // when the index lacks it.
  bool ForgetLocalListEntry(const std::string& key);
  // Saves the local list atomically; logs the outcome.
  bool WriteLocalClient();
  // Status_FirstLogin (37) without a local list file, else Status_Ready (32).
  int IsFirstLogin();
  // Whether scope/login.scope can be read.
  bool IsScopeExist();
  LocalList* localList() const { return localList_.get(); }
  std::string LocalListPath() const { return installDir_ + "LauncherConfig/localclient.md5"; }

 private:
  std::unique_ptr<LocalList> localList_;
  bool localListOpened_ = false;  // update thread only

 public:
  // ---- Update list and version check ----

  // Values beyond the known modes mean a full check.
  void SetUpdateMode(UpdateMode mode) {
    updateMode.store(mode >= Normal && mode <= FullDownload ? mode : VerifyFiles);
  }
  std::atomic<int> updateMode{Normal};

  // Mirrors the server list, reads update.xml, runs the self-update and
  // refreshes LauncherConfig/client.md5 when it is not the announced one.
  // 32 ready, or 2, 4, 8, 9, 25, 35, 36.
  int GetUpdateList();
  int CheckUpdateList();        // modes Normal, Recheck
  int CheckUpdateListVerify();  // mode VerifyFiles: the client list is always fetched
  // MD5 hex of a whole file, empty when it cannot be read.
  std::string GetFileMD5(const std::string& path);
  void GetUpdateToolMD5();

  std::string serverVersion;    // update thread only
  std::string launcherToolMD5;  // update thread only

 private:
  int ReadUpdateXml(bool verify, std::string* expectedCode);
  // ReadUpdateXml, then the launcher's own update: the common start of both
  // list checks.
  int ReadVersionAndSelfUpdate(bool verify, std::string* expectedCode);
  int UnpackClientList(const std::string& archive, const std::string& expected,
                       const char* mismatchLine);

 public:
  // ---- Difference computation ----

  // Fills downloadTasks with the files to fetch, by the rule of the update
  // mode. 34 ready, or 15, 30, 31, 36.
  int GetDifferentFiles();
  int GetDifferentFilesWithFiles();    // every listed file checked on disk
  int GetDiffernetFilesWithMD5List();  // local list against published list
  int GetFullDownload();
  // Reads scope/login.scope into scopeList: 14, or 15 when it is missing.
  int GetScopeList();
  // Totals the task sizes into downloadSize, creates their folders: 6 or 26.
  int GetDownloadSize();
  // Deletes the files of oldFiles and forgets them in the local list.
  void DeleteOldFile();

  std::vector<std::string> oldFiles;        // update thread only
  std::vector<std::string> importantFiles;  // update thread only
  std::vector<std::string> scopeList;       // update thread only

 private:
  int StartDifference(std::vector<FileEntry>* published);
  // The same, then the local list's codes.
  int StartDifference(std::vector<FileEntry>* published,
                      std::vector<std::pair<std::string, std::string>>* local);
  int LoadLocalMap(std::vector<std::pair<std::string, std::string>>* local);
  void CheckImportantFiles(const std::vector<FileEntry>& published);
  bool CheckFilesOnDisk(const std::vector<const FileEntry*>& entries, std::vector<char>* result);
  void SetCheckCounters(int listed, int checked);
  void AddChecked(int n);
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
  int GetDownloadTaskCount() const { return static_cast<int>(downloadTasks.size()); }
  // Creates the pool and its four started workers (once).
  void CreateDownloadPool();
  CDownloaderThreadPool* pool() const { return downloadPool.get(); }

  std::vector<DownloadTask> downloadTasks;  // update thread only
  // (downloadPool is declared after the members its workers use, so that it
  // is destroyed, and the workers stopped, first.)

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
  // Starts the file and byte counts of a download over (totals at 1, done at
  // 0); the speed count and the comparison counters are left alone.
  void ResetTransferProgress() {
    std::lock_guard<std::mutex> hold(engineLock);
    progress.totalFileCount = 1;
    progress.finishedFileCount = 0;
    progress.totalBytes = 1;
    progress.downloadedBytes = 0;
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

  // Called after each piece DownloadFileOnce writes, with its byte count.
  using ProgressHook = void (*)(CVXDlownloader* engine, int count);

  // Fetches url into localPath, resuming a partial file from an earlier run;
  // up to 11 attempts. 1 complete, 0 failed, 36 cancelled. A file whose
  // announced size passes maxBytes is refused at once (an "Error" line, 0);
  // a body longer than announced is cut off.
  int DownloadFile(std::string url, std::string localPath, ProgressHook hook,
                   int64_t maxBytes = kNoSizeLimit);
  int DownloadFileOnce(const std::string& url, const std::string& localPath, ProgressHook hook,
                       int64_t maxBytes = kNoSizeLimit);
  // Size announced by the server (status 200 and Content-Length), up to 11
  // queries; -1 when none succeeded.
  int64_t GetRemoteFileSize(const std::string& url);
  int64_t QueryRemoteFileSize(const std::string& url);
  // Whether the host and port of url accept a connection, up to 10 tries:
  // 1 reachable, 0 not, 36 cancelled.
  int CheckNet(std::string url);

  // The network seam; the libcurl one unless a test set another. Set before
  // the pool is created.
  HttpClientFactory* HttpFactory();
  void SetHttpFactory(std::unique_ptr<HttpClientFactory> factory);

  // Transfers: 10 s to connect, 10 s without a byte fails an attempt.
  HttpTimeouts transferTimeouts;
  // Size queries: 1 s for everything.
  HttpTimeouts sizeQueryTimeouts{1000, 1, 1000};
  long checkNetTimeoutMs = 3000;

  std::mutex httpFactoryLock;
  std::unique_ptr<HttpClientFactory> httpFactory;  // guarded by httpFactoryLock
  // The single-file path's connection, kept between its requests; one
  // request at a time holds facadeHttpLock.
  std::mutex facadeHttpLock;
  std::unique_ptr<HttpClient> facadeHttp;  // guarded by facadeHttpLock
  std::unique_ptr<CDownloaderThreadPool, DownloadPoolDeleter> downloadPool;

  // ---- Patch application ----

  // Queues downloadTasks on the workers, applies what they fetch on this
  // thread, saves the local list. 17 when every task was applied, 36 when
  // cancelled, 7 when a file could not be fetched, verified or put in place
  // (it stays different from the list, so the next check finds it again).
  int DownloadDifferentFiles();

  // ---- First download ----

  // Fetches and unpacks the packages of the first-download index and
  // records the files their lists describe. 32, or 38 when no index.
  int FirstDownload();
  // Whether a first download started here has not yet completed (a marker
  // in LauncherConfig/ says so). While it is, the comparison fetches every
  // published file the local list lacks, whatever its kind, so that a
  // failed or interrupted first installation is finished by a later pass.
  bool IsFirstInstallUnfinished() const;
  void MarkFirstInstallUnfinished(bool unfinished);

  std::vector<std::string> packageNames;  // update thread only
  std::vector<int64_t> packageSizes;      // update thread only

 private:
  void QueuePackage(const std::string& name, int64_t size);
  int FirstDownloadFailed();

 public:
  // ---- Launcher self-update ----

  // Refreshes Launcher.dat and, when Launcher.exe is out of date, fetches
  // its archive and restarts through Launcher.dat. 32 to go on, or 8, 9,
  // 25, 36 (5 only when exitProcess returned).
  int RunSelfUpdate(bool verify);

  std::map<std::string, FileEntry> selfUpdateList;  // update thread only
  std::atomic<int64_t> selfUpdateBytes{0};
  // Posts the self-update message to the main window; unset without one.
  std::function<void()> postSelfUpdateMessage;
  // Ends the process once the update tool runs; tests replace it.
  void (*exitProcess)(int) = &std::exit;
  // Command-line runs: a folder without Launcher.exe has no launcher to
  // replace, so the launcher part of the step is skipped.
  bool skipMissingLauncher = false;

 private:
  void PostSelfUpdateMessage();
  int UpdateTheUpdateTool(bool verify);
  int UpdateTheLauncher(bool verify);
  int RestartThroughUpdateTool();
};
