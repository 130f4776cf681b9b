// The download workers and the pool that deals tasks out to them.
//
// Tasks are copied by value: the engine's task list -> one worker's
// taskQueue -> the worker's working copy -> the pool's finishedQueue_ (or
// dropped). The update thread consumes finishedQueue_; pendingTargets_ holds
// the targetPath of every task it is still waiting for, so that it can tell
// "nothing ready yet" from "everything done". The workers see the
// installation through InstallState and take their connections from the
// FileFetcher's factory; what the update thread does with a finished task
// is the business of the step that queued it (patch, first download).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http.h"
#include "update/types.h"

class CDownloaderThreadPool;
class FileFetcher;
class InstallState;
class Md5LaneHasher;

enum class WorkerState : int16_t {
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
  // All borrowed; they outlive the worker.
  CDownloaderThread(InstallState* state, FileFetcher* fetcher, CDownloaderThreadPool* pool);
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

  // A big plain file whose old copy is on disk, fetched as a delta against
  // it when the release has its chunk map: 1 complete, 36 stopped, 0 when
  // the whole-file transfer must fetch it.
  TransferResult FetchAsDelta(DownloadTask& task);
  // Up to 21 attempts of DownloadFileOneTime: 1 complete, 0 failed,
  // 36 stopped. Each attempt goes to the release address the MirrorSet
  // picks; one that fails it rests, and a round in which every address
  // failed is followed by a short back-off.
  TransferResult DownloadFileWithRetry(DownloadTask& task);
  // One attempt: resumes within the run, counts every piece, obeys stop.
  TransferResult DownloadFileOneTime(DownloadTask& objTask);

  // AddTask's side: appends a copy and wakes the thread.
  void Enqueue(const DownloadTask& task);
  size_t QueueLength();
  // Hands over the last queued task that has not started (the front one
  // may be running): true when there was one.
  bool GiveUpLastWaiting(DownloadTask* task);
  WorkerState State();
  uint32_t ThreadId();
  // A stop of this worker or a cancel of the whole pass was requested.
  bool StopSeen();

 private:
  // Why an attempt failed, as far as it tells of the address's health.
  enum class AddressFault { kNone, kConnection, kServerError, kMissing, kShortBody };

  // What became of a fetched file: handed on (or dropped for a local
  // fault), or refused for bytes the address served wrong.
  enum class Fetched { kHandled, kWrongDigest, kUnreadable };

  void ThreadMain();
  // With the queue empty: takes over a task waiting on another worker.
  // `hold` owns lock_ and is released meanwhile; true when a task is queued.
  bool TakeOverWaitingTask(std::unique_lock<std::mutex>& hold);
  // Fetches, verifies and hands on (or drops) one task.
  void HandleTask(DownloadTask& task);
  // A file, archive or package refused for its bytes although another
  // address may serve it right: that address rests and the file starts
  // again. False when every admitted address had its turn.
  bool RefetchElsewhere(DownloadTask& task, Fetched verdict, int* refetches);
  // Rests the address when the attempt failed for a reason of its own.
  void NoteAttempt(size_t address, TransferResult r);
  // What the log says of a fault that rests an address; null for none.
  static const char* FaultText(AddressFault fault);
  // Waits min(200 ms x round, 1 s), or less when a stop comes.
  void BackOff(int round);
  Fetched HandleFetched(DownloadTask& task);
  Fetched HandleArchive(DownloadTask& task);
  Fetched HandlePackage(DownloadTask& task);
  bool VerifyMd5(const DownloadTask& task, const std::string& path, const std::string& md5);
  HttpClient* Http();

  InstallState* install_;        // borrowed; outlives the worker
  FileFetcher* fetcher_;         // borrowed; outlives the worker
  CDownloaderThreadPool* pool_;  // borrowed; owns the worker
  std::mutex lock_;
  std::condition_variable wake_;  // taskQueue grew or a stop was requested
  uint32_t threadId_ = 0;
  WorkerState state_ = WorkerState::Idle;
  std::thread thread_;
  std::deque<DownloadTask> taskQueue_;
  std::unique_ptr<HttpClient> http_;  // kept between attempts and tasks
  // Digest of the file the last complete attempt wrote: MD5 of a game file,
  // SHA-256 of a package of a signed release.
  std::string lastDigest_;
  AddressFault lastFault_ = AddressFault::kNone;  // of the last attempt
  size_t lastAddress_ = 0;                        // that the last attempt used
};

// The pool of download workers, owned by the engine.
//
// Thread-safety: poolLock_ guards finishedQueue_ and pendingTargets_; workers
// append and drop from their threads while the update thread consumes.
// `workers_` is changed only by the thread that creates or stops the pool,
// under workersLock_, which workers hold to look for waiting tasks.
//
// The update thread consumes with ApplyEachFinished instead of polling every
// 5 ms: it waits until finishedQueue_ has a task or nothing is pending any
// more, applies the front task without poolLock_ held, then drops it from
// pendingTargets_ and finishedQueue_.
//
// poolChanged_ is notified (after the change, under poolLock_) whenever a
// worker appends to finishedQueue_ or drops from pendingTargets_.
class CDownloaderThreadPool {
 public:
  // Both borrowed; they outlive the pool.
  CDownloaderThreadPool(InstallState* state, FileFetcher* fetcher);
  virtual ~CDownloaderThreadPool();
  CDownloaderThreadPool(const CDownloaderThreadPool&) = delete;
  CDownloaderThreadPool& operator=(const CDownloaderThreadPool&) = delete;

  // Creates and starts `count` workers (a worker that cannot start is left
  // out). Tests use 0 and add idle workers with AddWorker.
  void StartWorkers(int count);
  void AddWorker(std::unique_ptr<CDownloaderThread> worker);

  // Queues a copy on the first worker with an empty queue, else on the one
  // with the shortest queue (earliest among equals). remember: also expect
  // its targetPath in pendingTargets_. The copy starts with nothing fetched.
  int AddTask(DownloadTask task, bool remember);
  void AddFinishedTask(const DownloadTask& task);
  // Appends all records under one hold of the lock, in order.
  void AddFinishedTasks(const std::vector<DownloadTask>& tasks);
  // Removes the first pendingTargets_ entry equal to task.targetPath.
  void DropPendingTask(const DownloadTask& task);
  // For a worker whose queue ran dry: a task that still waits on the
  // worker with the most waiting, so that one large task ahead of others
  // does not keep them waiting while workers idle. False when none waits.
  bool TakeWaitingTaskFor(const CDownloaderThread* idle, DownloadTask* task);
  // Stops and destroys every worker.
  void StopAll();

  // Calls `apply` on the update thread for each task the workers hand on,
  // without poolLock_ held, until no target is pending any more.
  void ApplyEachFinished(const std::function<void(const DownloadTask&)>& apply);

  // What tests and the steps may ask of the pool's state.
  size_t WorkerCount() const { return workers_.size(); }
  CDownloaderThread* Worker(size_t i) const { return workers_[i].get(); }
  size_t PendingCount();
  size_t FinishedCount();
  // The digest helper the workers share for large unpacked files; null
  // where its lanes would not gain.
  Md5LaneHasher* DigestLanes() const { return digestLanes_.get(); }

 private:
  // Waits until finishedQueue_ has a task or pendingTargets_ is empty; `hold`
  // must own poolLock_.
  void WaitForFinished(std::unique_lock<std::mutex>& hold);
  // Removes the first pendingTargets_ entry equal to target; poolLock_ held.
  void RemovePendingLocked(const std::string& target);

  InstallState* state_;   // borrowed; outlives the pool
  FileFetcher* fetcher_;  // borrowed; outlives the pool
  // Declared before the workers, so that it outlives them.
  std::unique_ptr<Md5LaneHasher> digestLanes_;
  std::mutex workersLock_;
  std::vector<std::unique_ptr<CDownloaderThread>> workers_;
  std::list<std::string> pendingTargets_;  // guarded by poolLock_
  std::mutex poolLock_;
  std::condition_variable poolChanged_;
  std::deque<DownloadTask> finishedQueue_;  // guarded by poolLock_
};

// Stops the workers before the pool is freed; the engine's pool pointer
// uses it so that destroying the engine stops its downloads.
struct DownloadPoolDeleter {
  void operator()(CDownloaderThreadPool* pool) const;
};
