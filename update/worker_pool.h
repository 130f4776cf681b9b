// The download workers and the pool that deals tasks out to them.
//
// Tasks are copied by value: the engine's task list -> one worker's
// taskQueue -> the worker's working copy -> the pool's finishedQueue (or
// dropped). The update thread consumes finishedQueue; pendingTargets holds
// the targetPath of every task it is still waiting for, so that it can tell
// "nothing ready yet" from "everything done".
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http.h"
#include "update/types.h"

class CDownloaderThreadPool;
class EngineProgress;

// What the pool and its workers need of the engine, and nothing more: the
// installation folder, the network, the transfer timeouts, the cancel flag,
// the progress counters, the check of signed files, and (for the apply
// loops) the local list.
// Thread-safety: every member may be called from any worker; the local list
// records are made on the update thread only.
class DownloadHost {
 public:
  virtual const std::string& installDir() const = 0;
  virtual HttpClientFactory* HttpFactory() = 0;
  virtual const HttpTimeouts& TransferTimeouts() const = 0;
  virtual bool CancelRequested() const = 0;
  virtual EngineProgress& Counters() = 0;
  virtual bool RecordFileInLocalList(const FileEntry& entry) = 0;
  virtual bool RecordFileInLocalList(const DownloadTask& task) = 0;
  // Whether fetched release files must match a signed release.sig.
  virtual bool SignedReleases() const = 0;
  // Whether a fetched release file (a first-download package) is the one
  // the release signed; sha256 is its digest taken during the transfer,
  // empty to read the file. True when releases are not signed.
  virtual bool CheckFetchedReleaseFile(const std::string& relative, const std::string& localPath,
                                       const std::string& sha256) = 0;

 protected:
  ~DownloadHost() = default;
};

enum WorkerState : int16_t {
  Idle = 1,  // constructed or stopped
  Running = 2,
  StopRequested = 4,
  Stopped = 5,
};

// One download worker: a thread that takes tasks from its own FIFO, fetches
// them (keeping one HTTP connection open across attempts and tasks),
// verifies and unpacks them, and hands them to the pool.
//
// Thread-safety: Start, Stop and the queue accessors may be called from any
// thread; the worker lock guards state, thread id and taskQueue and is never
// held across a transfer, an extraction or a log write. Run and the
// transfer operations run on the worker's own thread (or, in tests, on the
// test's thread while the worker is not started).
class CDownloaderThread {
 public:
  CDownloaderThread(DownloadHost* engine, CDownloaderThreadPool* pool);
  virtual ~CDownloaderThread();
  CDownloaderThread(const CDownloaderThread&) = delete;
  CDownloaderThread& operator=(const CDownloaderThread&) = delete;

  // Starts the thread when Idle; true when it was started.
  virtual bool Start();
  // Asks the thread to stop, waits for it and goes back to Idle. False when
  // the worker was never started. A transfer in progress stops within one
  // received piece and keeps its partial file.
  virtual bool Stop();
  // Handles every queued task; false once a stop was requested.
  virtual bool Run();

  // Up to 21 attempts of DownloadFileOneTime: 1 complete, 0 failed,
  // 36 stopped.
  TransferResult DownloadFileWithRetry(DownloadTask& task);
  // One attempt: resumes within the run, counts every piece, obeys stop.
  TransferResult DownloadFileOneTime(DownloadTask& objTask);

  // AddTask's side: appends a copy and wakes the thread.
  void Enqueue(const DownloadTask& task);
  size_t QueueLength();
  WorkerState State();
  uint32_t ThreadId();
  // A stop of this worker or a cancel of the whole pass was requested.
  bool StopSeen();

 private:
  void ThreadMain();
  void HandleFetched(DownloadTask& task);
  void HandleArchive(DownloadTask& task);
  void HandlePackage(DownloadTask& task);
  bool VerifyMd5(const DownloadTask& task, const std::string& path, const std::string& md5);
  HttpClient* Http();

  DownloadHost* engine_;         // borrowed; outlives the worker
  CDownloaderThreadPool* pool_;  // borrowed; owns the worker
  std::mutex lock_;
  std::condition_variable wake_;  // taskQueue grew or a stop was requested
  uint32_t threadId_ = 0;
  WorkerState state_ = Idle;
  std::thread thread_;
  std::deque<DownloadTask> taskQueue_;
  std::unique_ptr<HttpClient> http_;  // kept between attempts and tasks
  // Digest of the file the last complete attempt wrote: MD5 of a game file,
  // SHA-256 of a package of a signed release.
  std::string lastDigest_;
};

// The pool of download workers, owned by the engine.
//
// Thread-safety: poolLock guards finishedQueue and pendingTargets; workers
// append and drop from their threads while the update thread consumes.
// `workers` is changed only by the thread that creates or stops the pool.
// packageFiles belongs to the update thread (first download).
//
// The update thread consumes with ApplyEachFinished instead of polling every
// 5 ms: it waits until finishedQueue has a task or nothing is pending any
// more, applies the front task without poolLock held, then drops it from
// pendingTargets and finishedQueue.
//
// poolChanged is notified (after the change, under poolLock) whenever a
// worker appends to finishedQueue or drops from pendingTargets.
class CDownloaderThreadPool {
 public:
  explicit CDownloaderThreadPool(DownloadHost* engine);
  virtual ~CDownloaderThreadPool();
  CDownloaderThreadPool(const CDownloaderThreadPool&) = delete;
  CDownloaderThreadPool& operator=(const CDownloaderThreadPool&) = delete;

  // Creates and starts `count` workers (a worker that cannot start is left
  // out). Tests use 0 and add idle workers with AddWorker.
  void StartWorkers(int count);
  void AddWorker(std::unique_ptr<CDownloaderThread> worker);

  // Queues a copy on the first worker with an empty queue, else on the one
  // with the shortest queue (earliest among equals). remember: also expect
  // its targetPath in pendingTargets. The copy starts with nothing fetched.
  int AddTask(DownloadTask task, bool remember);
  void AddFinishedTask(const DownloadTask& task);
  // Appends all records under one hold of the lock, in order.
  void AddFinishedTasks(const std::vector<DownloadTask>& tasks);
  // Removes the first pendingTargets entry equal to task.targetPath.
  void DropPendingTask(const DownloadTask& task);
  // Stops and destroys every worker.
  void StopAll();

  // Calls `apply` on the update thread for each task the workers hand on,
  // without poolLock held, until no target is pending any more.
  void ApplyEachFinished(const std::function<void(const DownloadTask&)>& apply);

  // Apply loops of the update thread, defined with the patch and first
  // download steps.
  // *applied (when given): how many tasks were put in place and recorded.
  bool ProcessDownloadPatchTask(int* applied = nullptr);
  // True when all `packages` arrived and unpacked and every file their
  // lists name came out of them with the listed content. signedCodes (path
  // to MD5 of the signed client list; null for unsigned releases): a file
  // is recorded only when it also has the code that list gives it, since a
  // package's own list vouches for nothing by itself.
  bool ProcessFirstDownloadTask(int packages,
                                const std::map<std::string, std::string>* signedCodes = nullptr);

  std::vector<std::unique_ptr<CDownloaderThread>> workers;
  std::list<std::string> pendingTargets;  // guarded by poolLock
  std::mutex poolLock;
  std::condition_variable poolChanged;
  std::deque<DownloadTask> finishedQueue;         // guarded by poolLock
  std::map<std::string, FileEntry> packageFiles;  // update thread only

 private:
  // Waits until finishedQueue has a task or pendingTargets is empty; `hold`
  // must own poolLock.
  void WaitForFinished(std::unique_lock<std::mutex>& hold);
  // Removes the first pendingTargets entry equal to target; poolLock held.
  void RemovePendingLocked(const std::string& target);

  DownloadHost* engine_;  // borrowed; owns the pool
};

// Stops the workers before the pool is freed; the engine's pool pointer
// uses it so that destroying the engine stops its downloads.
struct DownloadPoolDeleter {
  void operator()(CDownloaderThreadPool* pool) const;
};
