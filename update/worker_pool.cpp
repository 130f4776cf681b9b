#include "update/worker_pool.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include "diag/function_timer.h"
#include "diag/log.h"
#include "update/archive.h"
#include "update/downloader.h"
#include "update/file_list.h"
#include "update/md5.h"
#include "update/safe_path.h"
#include "util/file_util.h"

namespace {

constexpr int kWorkerCount = 4;

// Adds a package's file counts to the engine counters as it unpacks.
class PackageProgress : public ExtractProgress {
 public:
  explicit PackageProgress(DownloadHost* engine) : engine_(engine) {}
  void OnItemCount(int n) override { engine_->Counters().AddTotalFiles(n); }
  void OnFileWritten() override { engine_->Counters().AddFinishedFiles(1); }

 private:
  DownloadHost* engine_;
};

}  // namespace

// ---- CDownloaderThread ----

CDownloaderThread::CDownloaderThread(DownloadHost* engine, CDownloaderThreadPool* pool)
    : engine_(engine), pool_(pool) {}

CDownloaderThread::~CDownloaderThread() {
  Stop();
}

bool CDownloaderThread::Start() {
  std::lock_guard<std::mutex> hold(lock_);
  if (state_ != Idle || thread_.joinable()) return false;
  // Running is set here, not by the thread, so that a Stop right after
  // Start cannot be overwritten by the starting thread.
  state_ = Running;
  try {
    thread_ = std::thread(&CDownloaderThread::ThreadMain, this);
  } catch (const std::system_error&) {
    state_ = Idle;  // no thread: the pool leaves this worker out
    return false;
  }
  return true;
}

bool CDownloaderThread::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!thread_.joinable()) return false;
    state_ = StopRequested;
  }
  wake_.notify_all();
  thread_.join();
  std::lock_guard<std::mutex> hold(lock_);
  state_ = Idle;
  return true;
}

void CDownloaderThread::ThreadMain() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    threadId_ = static_cast<uint32_t>(gettid());
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      wake_.wait(hold, [this] { return !taskQueue_.empty() || state_ == StopRequested; });
    }
    if (!Run()) break;
  }
  http_.reset();
  std::lock_guard<std::mutex> hold(lock_);
  state_ = Stopped;
}

bool CDownloaderThread::Run() {
  std::unique_lock<std::mutex> hold(lock_);
  while (!taskQueue_.empty()) {
    if (state_ == StopRequested || state_ == Stopped) return false;
    DownloadTask task = taskQueue_.front();
    hold.unlock();
    {
      WriteLog(" @@@@@ thread: %d  download file [%s] cost time ", static_cast<int>(ThreadId()),
               task.targetPath.c_str());
      TestFunctionTime timer(true, 10, " @@@@@ thread: %d  download file [%s] cost time ",
                             static_cast<int>(ThreadId()), task.targetPath.c_str());
      TransferResult r = DownloadFileWithRetry(task);
      if (r == Transfer_Complete) {
        HandleFetched(task);
      } else {
        // A stopped task is dropped too: whoever waits for it must not wait
        // for ever. It stays unrecorded and is fetched by a later update.
        if (r == Transfer_Failed) WriteLog("Download %s Failed", task.downloadUrl.c_str());
        pool_->DropPendingTask(task);
      }
    }
    hold.lock();
    taskQueue_.pop_front();
  }
  return !(state_ == StopRequested || state_ == Stopped);
}

void CDownloaderThread::HandleFetched(DownloadTask& task) {
  switch (task.TaskKind) {
    case Plain:
    case FourG:
      if (VerifyMd5(task, task.downloadPath, lastDigest_)) {
        pool_->AddFinishedTask(task);
      } else {
        pool_->DropPendingTask(task);
      }
      break;
    case SevenZip:
    case Zip:
      HandleArchive(task);
      break;
    case Package:
      HandlePackage(task);
      break;
    default:
      pool_->DropPendingTask(task);
      break;
  }
}

// Nothing unverified is handed on: the caller drops a file whose digest
// differs from its list entry, so it stays unrecorded and the next check
// fetches it again.
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
void CDownloaderThread::HandleArchive(DownloadTask& task) {
  WriteLog(" ######### unzip unzip file [%s] cost time ", task.targetPath.c_str());
  TestFunctionTime timer(true, 10, " ######### unzip unzip file [%s] cost time ",
                         task.targetPath.c_str());
  std::string temp = TempPathFor(task.targetPath);
  std::string md5;
  if (!ExtractSingleFile(task.downloadPath, temp, &md5)) {
    WriteLog("Update UnzipFile Failed!!%s", task.downloadPath.c_str());
    std::remove(temp.c_str());
    pool_->DropPendingTask(task);
    return;
  }
  if (!VerifyMd5(task, temp, md5)) {
    std::remove(temp.c_str());
    pool_->DropPendingTask(task);
    return;
  }
  if (std::rename(temp.c_str(), task.targetPath.c_str()) != 0) {
    WriteLog("Update UnzipFile Failed!!%s", task.targetPath.c_str());
    std::remove(temp.c_str());
    pool_->DropPendingTask(task);
    return;
  }
  pool_->AddFinishedTask(task);
}

void CDownloaderThread::HandlePackage(DownloadTask& task) {
  // A package is opened only once it is known to be the signed one: the
  // unpacker never sees bytes a stranger may have crafted.
  if (!engine_->CheckFetchedReleaseFile(task.targetPath, task.downloadPath, lastDigest_)) {
    pool_->DropPendingTask(task);
    return;
  }
  std::vector<ExtractedFile> written;
  PackageProgress progress(engine_);
  if (!ExtractPackage(task.downloadPath, engine_->installDir(), &written, &progress)) {
    pool_->DropPendingTask(task);
    return;
  }
  // The package goes first, so that its list is read before its files are
  // looked up in it.
  std::vector<DownloadTask> handOn{task};
  for (const ExtractedFile& f : written) {
    if (IsPackageListName(f.name)) continue;  // read by the first download itself
    DownloadTask file;
    file.TaskKind = Plain;
    file.targetPath = f.name;
    file.code = f.md5;  // digest taken while unpacking: the apply loop checks it
    handOn.push_back(std::move(file));
  }
  pool_->AddFinishedTasks(handOn);
}

HttpClient* CDownloaderThread::Http() {
  if (!http_) http_ = engine_->HttpFactory()->Create();
  return http_.get();
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
  return threadId_ ? threadId_ : static_cast<uint32_t>(gettid());
}

bool CDownloaderThread::StopSeen() {
  WorkerState s = State();
  return s == StopRequested || s == Stopped || engine_->CancelRequested();
}

// ---- CDownloaderThreadPool ----

CDownloaderThreadPool::CDownloaderThreadPool(DownloadHost* engine) : engine_(engine) {}

CDownloaderThreadPool::~CDownloaderThreadPool() {
  StopAll();
}

void CDownloaderThreadPool::StartWorkers(int count) {
  for (int i = 0; i < count; ++i) {
    auto worker = std::make_unique<CDownloaderThread>(engine_, this);
    if (worker->Start()) workers.push_back(std::move(worker));
  }
}

void CDownloaderThreadPool::AddWorker(std::unique_ptr<CDownloaderThread> worker) {
  workers.push_back(std::move(worker));
}

int CDownloaderThreadPool::AddTask(DownloadTask task, bool remember) {
  if (remember) {
    std::lock_guard<std::mutex> hold(poolLock);
    pendingTargets.push_back(task.targetPath);
  }
  CDownloaderThread* picked = nullptr;
  size_t shortest = 99999999;
  for (auto& worker : workers) {
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
    std::lock_guard<std::mutex> hold(poolLock);
    finishedQueue.insert(finishedQueue.end(), tasks.begin(), tasks.end());
  }
  poolChanged.notify_all();
}

void CDownloaderThreadPool::DropPendingTask(const DownloadTask& task) {
  {
    std::lock_guard<std::mutex> hold(poolLock);
    RemovePendingLocked(task.targetPath);
  }
  poolChanged.notify_all();
}

void CDownloaderThreadPool::RemovePendingLocked(const std::string& target) {
  auto it = std::find(pendingTargets.begin(), pendingTargets.end(), target);
  if (it != pendingTargets.end()) pendingTargets.erase(it);
}

void CDownloaderThreadPool::ApplyEachFinished(
    const std::function<void(const DownloadTask&)>& apply) {
  std::unique_lock<std::mutex> hold(poolLock);
  for (;;) {
    WaitForFinished(hold);
    if (finishedQueue.empty()) return;
    // Only this thread pops, so the front stays put while it is applied.
    DownloadTask task = finishedQueue.front();
    hold.unlock();
    apply(task);
    hold.lock();
    RemovePendingLocked(task.targetPath);
    finishedQueue.pop_front();
  }
}

void CDownloaderThreadPool::WaitForFinished(std::unique_lock<std::mutex>& hold) {
  poolChanged.wait(hold, [this] { return !finishedQueue.empty() || pendingTargets.empty(); });
}

void CDownloaderThreadPool::StopAll() {
  for (auto& worker : workers) worker->Stop();
  workers.clear();
}

void DownloadPoolDeleter::operator()(CDownloaderThreadPool* pool) const {
  if (!pool) return;
  pool->StopAll();
  delete pool;
}

// ---- Engine side ----

void CVXDlownloader::CreateDownloadPool() {
  if (downloadPool_) return;
  HttpFactory();  // chosen before the workers look for it
  downloadPool_.reset(new CDownloaderThreadPool(this));
  downloadPool_->StartWorkers(kWorkerCount);
}

void CVXDlownloader::AddDownloadTask(const FileEntry& entry, uint8_t fixNameCase) {
  static const char* const kSuffix[] = {"", ".zip", ".7z", ".4g"};
  if (!IsSafeRelativePath(entry.path)) {
    WriteLogTag("Error", "Refused unsafe path [%s]", entry.path.c_str());
    return;
  }
  const char* suffix = (entry.zip >= 0 && entry.zip <= 3) ? kSuffix[entry.zip] : "";
  DownloadTask task;
  task.TaskKind = entry.zip;
  task.fixNameCase = fixNameCase;
  task.downloadUrl = releaseBaseUrl_ + entry.path + suffix;
  task.downloadPath = installDir() + "LauncherConfig/update/" + entry.path + suffix;
  task.targetPath = installDir() + entry.path;
  task.code = entry.code;
  task.size = entry.size;
  task.zipSize = (entry.zip == Zip || entry.zip == SevenZip) ? entry.zipSize : 0;
  if (FileSizeOf(task.downloadPath) != 0 && !IsFileMD5Equal(task.code, task.downloadPath)) {
    std::remove(task.downloadPath.c_str());
  }
  downloadTasks_.push_back(std::move(task));
}
