#include "update/worker_pool.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>

#include "diag/function_timer.h"
#include "diag/log.h"
#include "platform/process.h"
#include "platform/thread_priority.h"
#include "update/archive.h"
#include "update/delta_fetch.h"
#include "update/file_fetcher.h"
#include "update/file_list.h"
#include "update/install_state.h"
#include "update/md5.h"
#include "update/md5_lanes.h"
#include "update/mirror_set.h"
#include "update/safe_path.h"
#include "update/transfer.h"
#include "util/file_util.h"

namespace {

constexpr int kTaskAttempts = 21;  // a task's first attempt and 20 retries

// How far below the program's other threads the workers run. Four workers
// and the digest helper on two cores got a fifth of the processor each,
// though every worker waits for the helper: with the workers five notches
// down, the 1 GiB first install took 1.43 s instead of 1.49 s (median of
// five), and the window keeps its turn while they fill the cores.
constexpr int kWorkerNiceNotches = 5;

// Waiting between rounds in which every address failed is worth it for an
// outage this young (a cache restarting); beyond it, attempts go on at once.
constexpr std::chrono::milliseconds kOutageWorthWaiting{1000};

bool HashesWhileFetching(const DownloadTask& task) {
  return task.TaskKind == TaskKind::Plain || task.TaskKind == TaskKind::FourG;
}

// A package of a signed release is checked against the SHA-256 that
// release.sig gives it before it is unpacked; taken while the bytes arrive,
// it needs no second read of a file that may be a gigabyte.
bool SignedPackage(InstallState* host, const DownloadTask& task) {
  return task.TaskKind == TaskKind::Package && host->SignedReleases();
}

// Adds a package's file counts to the engine counters as it unpacks.
class PackageProgress : public ExtractProgress {
 public:
  explicit PackageProgress(InstallState* state) : state_(state) {}
  void OnItemCount(int n) override { state_->Counters().AddTotalFiles(n); }
  void OnFileWritten() override { state_->Counters().AddFinishedFiles(1); }

 private:
  InstallState* state_;
};

}  // namespace

// ---- CDownloaderThread ----

CDownloaderThread::CDownloaderThread(InstallState* state, FileFetcher* fetcher,
                                     CDownloaderThreadPool* pool)
    : install_(state), fetcher_(fetcher), pool_(pool) {}

CDownloaderThread::~CDownloaderThread() {
  Stop();
}

bool CDownloaderThread::Start() {
  std::lock_guard<std::mutex> hold(lock_);
  if (state_ != WorkerState::Idle || thread_.joinable()) return false;
  // Running is set here, not by the thread, so that a Stop right after
  // Start cannot be overwritten by the starting thread.
  state_ = WorkerState::Running;
  try {
    thread_ = std::thread(&CDownloaderThread::ThreadMain, this);
  } catch (const std::system_error&) {
    state_ = WorkerState::Idle;  // no thread: the pool leaves this worker out
    return false;
  }
  return true;
}

bool CDownloaderThread::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!thread_.joinable()) return false;
    state_ = WorkerState::StopRequested;
  }
  wake_.notify_all();
  thread_.join();
  std::lock_guard<std::mutex> hold(lock_);
  state_ = WorkerState::Idle;
  return true;
}

void CDownloaderThread::ThreadMain() {
  // Refused (a sandbox may forbid it), the worker runs as before.
  platform::LowerThisThreadPriority(kWorkerNiceNotches);
  {
    std::lock_guard<std::mutex> hold(lock_);
    threadId_ = static_cast<uint32_t>(platform::CurrentThreadId());
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      wake_.wait(hold,
                 [this] { return !taskQueue_.empty() || state_ == WorkerState::StopRequested; });
    }
    if (!Run()) break;
  }
  http_.reset();
  std::lock_guard<std::mutex> hold(lock_);
  state_ = WorkerState::Stopped;
}

bool CDownloaderThread::Run() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    if (taskQueue_.empty() && !TakeOverWaitingTask(hold)) break;
    if (state_ == WorkerState::StopRequested || state_ == WorkerState::Stopped) return false;
    DownloadTask task = taskQueue_.front();
    hold.unlock();
    HandleTask(task);
    hold.lock();
    taskQueue_.pop_front();
  }
  return !(state_ == WorkerState::StopRequested || state_ == WorkerState::Stopped);
}

void CDownloaderThread::HandleTask(DownloadTask& task) {
  WriteLog(" @@@@@ thread: %d  download file [%s] cost time ", static_cast<int>(ThreadId()),
           task.targetPath.c_str());
  TestFunctionTime timer(true, 10, " @@@@@ thread: %d  download file [%s] cost time ",
                         static_cast<int>(ThreadId()), task.targetPath.c_str());
  TransferResult r = FetchAsDelta(task);
  if (r == Transfer_Failed) r = DownloadFileWithRetry(task);
  int refetches = 0;
  while (r == Transfer_Complete) {
    const Fetched verdict = HandleFetched(task);
    if (verdict == Fetched::kHandled) return;
    // Wrong bytes from one edge (a stale or damaged cache) are no reason to
    // fail the file while another address may serve it right.
    if (!RefetchElsewhere(task, verdict, &refetches)) break;
    r = DownloadFileWithRetry(task);
  }
  // A stopped task is dropped too: whoever waits for it must not wait
  // for ever. It stays unrecorded and is fetched by a later update.
  if (r == Transfer_Failed) WriteLog("Download %s Failed", task.downloadUrl.c_str());
  pool_->DropPendingTask(task);
}

bool CDownloaderThread::RefetchElsewhere(DownloadTask& task, Fetched verdict, int* refetches) {
  MirrorSet& mirrors = fetcher_->Mirrors();
  if (static_cast<size_t>(*refetches) + 1 >= mirrors.AdmittedCount()) return false;
  ++*refetches;
  const char* what = "Archive";
  const char* why = "an archive that does not unpack";
  if (verdict == Fetched::kWrongDigest && SignedPackage(install_, task)) {
    what = "SHA-256";
    why = "a file with the wrong SHA-256";
  } else if (verdict == Fetched::kWrongDigest) {
    what = "MD5";
    why = "a file with the wrong MD5";
  }
  WriteLog("%s Of %s Wrong From %s, Fetching It Again Elsewhere", what,
           FileNameOf(task.targetPath).c_str(), mirrors.Address(lastAddress_).c_str());
  mirrors.Penalise(lastAddress_, why);
  RemoveFileIfPresent(task.downloadPath);
  task.dwHaveBeenDownloadLength = 0;
  return true;
}

CDownloaderThread::Fetched CDownloaderThread::HandleFetched(DownloadTask& task) {
  switch (task.TaskKind) {
    case TaskKind::Plain:
    case TaskKind::FourG:
      if (!VerifyMd5(task, task.downloadPath, lastDigest_)) return Fetched::kWrongDigest;
      pool_->AddFinishedTask(task);
      return Fetched::kHandled;
    case TaskKind::SevenZip:
    case TaskKind::Zip:
      return HandleArchive(task);
    case TaskKind::Package:
      return HandlePackage(task);
    default:
      pool_->DropPendingTask(task);
      return Fetched::kHandled;
  }
}

// Nothing unverified is handed on: a file whose digest differs from its
// list entry is fetched again elsewhere or dropped, so it stays unrecorded
// and the next check fetches it again.
bool CDownloaderThread::VerifyMd5(const DownloadTask& task, const std::string& path,
                                  const std::string& md5) {
  if (task.code.empty() || md5 == task.code) return true;
  WriteLog("Error ! MD5 Of %s Error, RightMD5:%s, ErrorMD5:%s, FileSize:%lld",
           FileNameOf(path).c_str(), task.code.c_str(), md5.c_str(),
           static_cast<long long>(FileSizeOf(path)));
  return false;
}

// The archive is unpacked beside the target and renamed over it only once
// its digest is right, so a bad archive never replaces an installed file.
CDownloaderThread::Fetched CDownloaderThread::HandleArchive(DownloadTask& task) {
  WriteLog(" ######### unzip unzip file [%s] cost time ", task.targetPath.c_str());
  TestFunctionTime timer(true, 10, " ######### unzip unzip file [%s] cost time ",
                         task.targetPath.c_str());
  std::string temp = TempPathFor(task.targetPath);
  std::string md5;
  if (!ExtractSingleFile(task.downloadPath, temp, &md5)) {
    WriteLog("Update UnzipFile Failed!!%s", task.downloadPath.c_str());
    RemoveFileIfPresent(temp);
    return Fetched::kUnreadable;
  }
  if (!VerifyMd5(task, temp, md5)) {
    RemoveFileIfPresent(temp);
    return Fetched::kWrongDigest;
  }
  if (std::rename(temp.c_str(), task.targetPath.c_str()) != 0) {
    WriteLog("Update UnzipFile Failed!!%s", task.targetPath.c_str());
    RemoveFileIfPresent(temp);
    pool_->DropPendingTask(task);
    return Fetched::kHandled;
  }
  pool_->AddFinishedTask(task);
  return Fetched::kHandled;
}

CDownloaderThread::Fetched CDownloaderThread::HandlePackage(DownloadTask& task) {
  // A package is opened only once it is known to be the signed one: the
  // unpacker never sees bytes a stranger may have crafted.
  if (!install_->CheckFetchedReleaseFile(task.targetPath, task.downloadPath, lastDigest_)) {
    return Fetched::kWrongDigest;
  }
  std::vector<ExtractedFile> written;
  PackageProgress progress(install_);
  if (!ExtractPackage(task.downloadPath, install_->installDir(), &written, &progress,
                      pool_->DigestLanes())) {
    return Fetched::kUnreadable;
  }
  // The package goes first, so that its list is read before its files are
  // looked up in it.
  std::vector<DownloadTask> handOn{task};
  for (const ExtractedFile& f : written) {
    if (IsPackageListName(f.name)) continue;  // read by the first download itself
    DownloadTask file;
    file.TaskKind = TaskKind::Plain;
    file.targetPath = f.name;
    file.code = f.md5;  // digest taken while unpacking: the apply loop checks it
    handOn.push_back(std::move(file));
  }
  pool_->AddFinishedTasks(handOn);
  return Fetched::kHandled;
}

HttpClient* CDownloaderThread::Http() {
  if (!http_) http_ = fetcher_->HttpFactory()->Create();
  return http_.get();
}

bool CDownloaderThread::TakeOverWaitingTask(std::unique_lock<std::mutex>& hold) {
  // Never two worker locks at once: the other worker's is taken inside.
  hold.unlock();
  DownloadTask spare;
  const bool took = pool_->TakeWaitingTaskFor(this, &spare);
  hold.lock();
  if (took) taskQueue_.push_back(std::move(spare));
  return !taskQueue_.empty();
}

bool CDownloaderThread::GiveUpLastWaiting(DownloadTask* task) {
  std::lock_guard<std::mutex> hold(lock_);
  if (taskQueue_.size() < 2) return false;
  *task = std::move(taskQueue_.back());
  taskQueue_.pop_back();
  return true;
}

void CDownloaderThread::Enqueue(const DownloadTask& task) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    taskQueue_.push_back(task);
  }
  wake_.notify_one();
}

size_t CDownloaderThread::QueueLength() {
  std::lock_guard<std::mutex> hold(lock_);
  return taskQueue_.size();
}

WorkerState CDownloaderThread::State() {
  std::lock_guard<std::mutex> hold(lock_);
  return state_;
}

uint32_t CDownloaderThread::ThreadId() {
  std::lock_guard<std::mutex> hold(lock_);
  return threadId_ ? threadId_ : static_cast<uint32_t>(platform::CurrentThreadId());
}

bool CDownloaderThread::StopSeen() {
  WorkerState s = State();
  return s == WorkerState::StopRequested || s == WorkerState::Stopped ||
         install_->CancelRequested();
}

// ---- One task's transfer ----

namespace {

// From this size a fetched file's MD5 goes to the shared lane helper.
constexpr int64_t kLaneDigestFrom = 1 << 20;

}  // namespace

TransferResult CDownloaderThread::DownloadFileOneTime(DownloadTask& objTask) {
  const int64_t expected = objTask.ExpectedSize();
  WriteLog("@@@@%s---size:%" PRId64 "@@@@@@", objTask.downloadUrl.c_str(), objTask.size);
  lastDigest_.clear();

  // Only what an earlier attempt of this task wrote is resumed; a leftover
  // of another size, from an earlier run, is emptied as it is opened.
  FileAppender file;
  const bool signedPackage = SignedPackage(install_, objTask);
  if (signedPackage) file.UseSha256();
  // A small file is digested faster where it arrives than handed over.
  if (expected >= kLaneDigestFrom) file.DigestInLanes(pool_->DigestLanes());
  if (!file.Open(objTask.downloadPath, HashesWhileFetching(objTask) || signedPackage,
                 objTask.dwHaveBeenDownloadLength)) {
    WriteLog("Open File ErrorNum:%d", file.error());
    return Transfer_Failed;
  }
  int64_t lDownloadedSize = file.size();
  if (file.discardedLeftover()) {
    WriteLog("DeleteFile When It's Left");
    objTask.dwHaveBeenDownloadLength = 0;
    WriteLog(
        "Delete File  --  lDownloadedSize > 0 &&objTask.dwHaveBeenDownloadLength != "
        "lDownloadedSize");
  }
  EngineProgress& counters = install_->Counters();
  lastFault_ = AddressFault::kNone;
  const std::function<bool()> stop = [this] { return StopSeen(); };
  Attempt a = FetchInto(Http(), objTask.downloadUrl, &file, expected, fetcher_->TransferTimeouts(),
                        stop, [this, &counters, &stop](int64_t n) {
                          counters.AddReceived(n);
                          fetcher_->ThrottleReceived(n, stop);
                        });
  objTask.dwHaveBeenDownloadLength = file.size();
  if (a.stopped) {
    WriteLog("Error! Thread close down load file [%s] failed! ", objTask.downloadPath.c_str());
    return Transfer_Stopped;
  }
  if (a.status == 0) {
    WriteLog("Error!  InternetOpenUrl failed! [%s]  [%d] Error Number is %d",
             "CDownloaderThread::DownloadFileOneTime", 196, a.http.error);
    WriteLogTag("Error", "%s: %s", objTask.downloadUrl.c_str(), a.http.message.c_str());
    lastFault_ = AddressFault::kConnection;
    return Transfer_Failed;
  }
  if (!IsSuccessStatus(a.status)) {
    WriteLogTag("Error", "Server answered %d for [%s]", a.status, objTask.downloadUrl.c_str());
    if (a.status >= 500) lastFault_ = AddressFault::kServerError;
    // Another address may hold what this one lacks (a mirror half copied).
    if (a.status == 404) lastFault_ = AddressFault::kMissing;
    return Transfer_Failed;
  }
  if (a.writeFailed) {
    WriteLogTag("Error", "Write File [%s] failed, ErrorNum:%d", objTask.downloadPath.c_str(),
                file.error());
    return Transfer_Failed;
  }
  if (!a.tooLong) WriteLog("dwRead == 0");  // the body ended
  lDownloadedSize = objTask.dwHaveBeenDownloadLength;
  if (lDownloadedSize == expected) {
    lastDigest_ = file.HexDigest();
    WriteLog("OK, down load file success %s ", objTask.targetPath.c_str());
    return Transfer_Complete;
  }
  WriteLog("Error! down load file size [%" PRId64 "] is not equal to the url file size[%" PRId64
           "]",
           lDownloadedSize, expected);
  WriteLog(" error file: [%s] ! ", objTask.downloadPath.c_str());
  // The body ended (or the connection broke) before the expected size: the
  // next attempt resumes from what is on disk.
  if (a.tooLong) return Transfer_Failed;
  lastFault_ = AddressFault::kShortBody;
  return Transfer_Short;
}

TransferResult CDownloaderThread::FetchAsDelta(DownloadTask& task) {
  if (task.deltaMap.empty()) return Transfer_Failed;
  MirrorSet& mirrors = fetcher_->Mirrors();
  lastAddress_ = mirrors.Pick();
  task.downloadUrl = mirrors.Rebase(task.downloadUrl, lastAddress_);
  task.deltaMapUrl = mirrors.Rebase(task.deltaMapUrl, lastAddress_);
  const std::function<bool()> stop = [this] { return StopSeen(); };
  DeltaFetch delta(install_, Http(), &fetcher_->TransferTimeouts(), stop);
  delta.SetThrottle([this, &stop](int64_t n) { fetcher_->ThrottleReceived(n, stop); });
  delta.SetDigestLanes(pool_->DigestLanes());
  switch (delta.Fetch(task, &lastDigest_)) {
    case DeltaOutcome::kComplete:
      mirrors.Served(lastAddress_);
      task.taskState = TaskState::Fetched;
      task.dwHaveBeenDownloadLength = task.size;
      return Transfer_Complete;
    case DeltaOutcome::kStopped:
      task.taskState = TaskState::GivenUp;
      return Transfer_Stopped;
    case DeltaOutcome::kUnused:
      break;
  }
  lastDigest_.clear();
  return Transfer_Failed;
}

TransferResult CDownloaderThread::DownloadFileWithRetry(DownloadTask& task) {
  MirrorSet& mirrors = fetcher_->Mirrors();
  int failedRounds = 0;
  for (bool first = true;; first = false) {
    task.nRetryTime++;
    task.taskState = TaskState::Transferring;
    bool everyAddressFailed = false;
    lastAddress_ = mirrors.Pick(&everyAddressFailed);
    // One address keeps its old pace; with several, a round in which all
    // of them failed waits a little before the next, while the outage is
    // young enough to be a blip. A longer one ends the pass as quickly as
    // one dead address would.
    if (everyAddressFailed && !first && mirrors.AdmittedCount() > 1 &&
        mirrors.OutageAge() < kOutageWorthWaiting) {
      BackOff(++failedRounds);
    }
    task.downloadUrl = mirrors.Rebase(task.downloadUrl, lastAddress_);
    TransferResult r = DownloadFileOneTime(task);
    NoteAttempt(lastAddress_, r);
    if (r == Transfer_Complete) {
      task.taskState = TaskState::Fetched;
      return Transfer_Complete;
    }
    if (r == Transfer_Stopped) {
      task.taskState = TaskState::GivenUp;
      return Transfer_Stopped;
    }
    if (task.nRetryTime >= kTaskAttempts) {
      WriteLog("Error!ErrorErrorErrorError! Download %s Fail, Try %d Times",
               FileNameOf(task.downloadPath).c_str(), task.nRetryTime);
      task.taskState = TaskState::GivenUp;
      return Transfer_Failed;
    }
    if (r == Transfer_Short) {
      task.taskState = TaskState::Resuming;
      WriteLog("Status_Download_Goon,nRetryTime=%d", task.nRetryTime);
    }
  }
}

void CDownloaderThread::NoteAttempt(size_t address, TransferResult r) {
  MirrorSet& mirrors = fetcher_->Mirrors();
  if (r == Transfer_Complete) {
    mirrors.Served(address);
    return;
  }
  if (const char* why = FaultText(lastFault_)) mirrors.Penalise(address, why);
}

const char* CDownloaderThread::FaultText(AddressFault fault) {
  switch (fault) {
    case AddressFault::kConnection:
      return "no connection or a stall";
    case AddressFault::kServerError:
      return "a server error";
    case AddressFault::kMissing:
      return "a missing file";
    case AddressFault::kShortBody:
      return "a short body";
    case AddressFault::kNone:
      break;
  }
  return nullptr;
}

void CDownloaderThread::BackOff(int round) {
  using std::chrono::milliseconds;
  const auto until =
      std::chrono::steady_clock::now() + std::min(milliseconds(200) * round, milliseconds(1000));
  while (!StopSeen() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(20));
  }
}

// ---- CDownloaderThreadPool ----

CDownloaderThreadPool::CDownloaderThreadPool(InstallState* state, FileFetcher* fetcher)
    : state_(state), fetcher_(fetcher), digestLanes_(Md5LaneHasher::StartIfWorthwhile()) {}

CDownloaderThreadPool::~CDownloaderThreadPool() {
  StopAll();
}

void CDownloaderThreadPool::StartWorkers(int count) {
  for (int i = 0; i < count; ++i) {
    auto worker = std::make_unique<CDownloaderThread>(state_, fetcher_, this);
    if (!worker->Start()) continue;
    std::lock_guard<std::mutex> hold(workersLock_);
    workers_.push_back(std::move(worker));
  }
}

void CDownloaderThreadPool::AddWorker(std::unique_ptr<CDownloaderThread> worker) {
  std::lock_guard<std::mutex> hold(workersLock_);
  workers_.push_back(std::move(worker));
}

int CDownloaderThreadPool::AddTask(DownloadTask task, bool remember) {
  if (remember) {
    std::lock_guard<std::mutex> hold(poolLock_);
    pendingTargets_.push_back(task.targetPath);
  }
  CDownloaderThread* picked = nullptr;
  size_t shortest = 99999999;
  for (auto& worker : workers_) {
    size_t n = worker->QueueLength();
    if (n == 0) {
      picked = worker.get();
      break;
    }
    if (n < shortest) {
      shortest = n;
      picked = worker.get();
    }
  }
  task.dwHaveBeenDownloadLength = 0;
  if (picked) picked->Enqueue(task);
  return 0;
}

void CDownloaderThreadPool::AddFinishedTask(const DownloadTask& task) {
  AddFinishedTasks({task});
}

void CDownloaderThreadPool::AddFinishedTasks(const std::vector<DownloadTask>& tasks) {
  {
    std::lock_guard<std::mutex> hold(poolLock_);
    finishedQueue_.insert(finishedQueue_.end(), tasks.begin(), tasks.end());
  }
  poolChanged_.notify_all();
}

void CDownloaderThreadPool::DropPendingTask(const DownloadTask& task) {
  {
    std::lock_guard<std::mutex> hold(poolLock_);
    RemovePendingLocked(task.targetPath);
  }
  poolChanged_.notify_all();
}

void CDownloaderThreadPool::RemovePendingLocked(const std::string& target) {
  auto it = std::find(pendingTargets_.begin(), pendingTargets_.end(), target);
  if (it != pendingTargets_.end()) pendingTargets_.erase(it);
}

void CDownloaderThreadPool::ApplyEachFinished(
    const std::function<void(const DownloadTask&)>& apply) {
  std::unique_lock<std::mutex> hold(poolLock_);
  for (;;) {
    WaitForFinished(hold);
    if (finishedQueue_.empty()) return;
    // Only this thread pops, so the front stays put while it is applied.
    DownloadTask task = finishedQueue_.front();
    hold.unlock();
    apply(task);
    hold.lock();
    RemovePendingLocked(task.targetPath);
    finishedQueue_.pop_front();
  }
}

void CDownloaderThreadPool::WaitForFinished(std::unique_lock<std::mutex>& hold) {
  poolChanged_.wait(hold, [this] { return !finishedQueue_.empty() || pendingTargets_.empty(); });
}

void CDownloaderThreadPool::StopAll() {
  // Not under workersLock_: a worker still running may be looking for a
  // task, and Stop waits for it.
  for (auto& worker : workers_) worker->Stop();
  std::lock_guard<std::mutex> hold(workersLock_);
  workers_.clear();
}

bool CDownloaderThreadPool::TakeWaitingTaskFor(const CDownloaderThread* idle, DownloadTask* task) {
  std::lock_guard<std::mutex> hold(workersLock_);
  CDownloaderThread* busiest = nullptr;
  size_t most = 1;  // the front task of a queue may be running
  for (auto& worker : workers_) {
    const size_t n = worker.get() == idle ? 0 : worker->QueueLength();
    if (n > most) {
      most = n;
      busiest = worker.get();
    }
  }
  return busiest != nullptr && busiest->GiveUpLastWaiting(task);
}

void DownloadPoolDeleter::operator()(CDownloaderThreadPool* pool) const {
  if (!pool) return;
  pool->StopAll();
  delete pool;
}

size_t CDownloaderThreadPool::PendingCount() {
  std::lock_guard<std::mutex> hold(poolLock_);
  return pendingTargets_.size();
}

size_t CDownloaderThreadPool::FinishedCount() {
  std::lock_guard<std::mutex> hold(poolLock_);
  return finishedQueue_.size();
}
