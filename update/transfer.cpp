#include "update/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <functional>
#include <utility>

#include "diag/log.h"
#include "update/downloader.h"
#include "update/worker_pool.h"
#include "util/file_util.h"

namespace {

constexpr size_t kWriteBuffer = 128 * 1024;
constexpr int kTaskAttempts = 21;  // a task's first attempt and 20 retries
constexpr int kFileAttempts = 11;  // DownloadFile
constexpr int kSizeQueries = 11;   // GetRemoteFileSize
constexpr int kNetChecks = 10;     // CheckNet

}  // namespace

// ---- FileAppender ----

FileAppender::~FileAppender() {
  if (fd_ >= 0) close(fd_);
}

// One open and one fstat for a fresh file: small files are many, and every
// system call counts there.
bool FileAppender::Open(const std::string& path, bool hash, int64_t expected) {
  hash_ = hash;
  ResetDigest();
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0 && errno == ENOENT) {  // folders are made only when missing
    CreateParentFolders(path);
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0) {
    error_ = errno;
    return false;
  }
  size_ = st.st_size;
  if (expected >= 0 && size_ != 0 && size_ != expected) {
    if (ftruncate(fd_, 0) != 0) {
      error_ = errno;
      return false;
    }
    size_ = 0;
    discarded_ = true;
  }
  if (hash_ && size_ > 0 && !HashExisting()) return false;
  buffer_.resize(kWriteBuffer);
  return true;
}

// A resumed file's digest must cover the part an earlier attempt wrote.
bool FileAppender::HashExisting() {
  std::vector<char> chunk(64 * 1024);
  for (int64_t at = 0; at < size_;) {
    const ssize_t n = pread(fd_, chunk.data(), chunk.size(), at);
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    AddToDigest(chunk.data(), static_cast<size_t>(n));
    at += n;
  }
  return true;
}

bool FileAppender::Restart() {
  used_ = 0;
  size_ = 0;
  ResetDigest();
  if (ftruncate(fd_, 0) != 0) {
    error_ = errno;
    failed_ = true;
    return false;
  }
  return true;
}

bool FileAppender::Append(const char* data, size_t size) {
  if (failed_) return false;
  if (hash_) AddToDigest(data, size);
  size_ += static_cast<int64_t>(size);
  if (used_ + size > buffer_.size() && !Flush()) return false;
  if (size >= buffer_.size()) {
    if (WriteAll(fd_, data, size)) return true;
    error_ = errno;
    failed_ = true;
    return false;
  }
  memcpy(buffer_.data() + used_, data, size);
  used_ += size;
  return true;
}

bool FileAppender::Flush() {
  if (used_ > 0 && !WriteAll(fd_, buffer_.data(), used_)) {
    error_ = errno;
    failed_ = true;
  }
  used_ = 0;
  return !failed_;
}

bool FileAppender::Close() {
  if (fd_ < 0) return !failed_;
  Flush();
  if (close(fd_) != 0 && !failed_) {
    error_ = errno;
    failed_ = true;
  }
  fd_ = -1;
  return !failed_;
}

std::string FileAppender::HexDigest() {
  if (!hash_) return std::string();
  return sha256_ ? sha256_->HexDigest() : md5_.HexDigest();
}

void FileAppender::ResetDigest() {
  md5_.Init();
  if (useSha256_) sha256_ = std::make_unique<platform::Sha256>();
}

void FileAppender::AddToDigest(const char* data, size_t size) {
  if (sha256_) {
    sha256_->Update(data, size);
  } else {
    md5_.Update(data, size);
  }
}

// ---- One attempt, shared by the workers and the single-file path ----

namespace {

// Receives one attempt into its file. `stop` is asked before each piece;
// `onPiece` is told the size of each piece written; a body that passes
// `limit` bytes in all can never become the right file and is cut off.
class AttemptReceiver : public HttpReceiver {
 public:
  AttemptReceiver(FileAppender* file, int64_t rangeFrom, int64_t limit, std::function<bool()> stop,
                  std::function<void(int64_t)> onPiece)
      : file_(file),
        rangeFrom_(rangeFrom),
        limit_(limit),
        stop_(std::move(stop)),
        onPiece_(std::move(onPiece)) {}

  bool OnResponse(int status, int64_t) override {
    status_ = status;
    if (!IsSuccessStatus(status)) return false;  // an error page is not the file
    // A server that ignores the range sends the whole file again.
    if (rangeFrom_ > 0 && status == 200 && !file_->Restart()) writeFailed_ = true;
    return !writeFailed_;
  }

  bool OnBody(const char* data, size_t size) override {
    if (ShouldStop()) return false;
    if (!file_->Append(data, size)) {
      writeFailed_ = true;
      return false;
    }
    if (onPiece_) onPiece_(static_cast<int64_t>(size));
    if (file_->size() > limit_) {
      tooLong_ = true;
      return false;
    }
    return true;
  }

  bool ShouldStop() override {
    if (!stopped_ && stop_()) stopped_ = true;
    return stopped_;
  }

  int status() const { return status_; }
  bool stopped() const { return stopped_; }
  bool writeFailed() const { return writeFailed_; }
  bool tooLong() const { return tooLong_; }

 private:
  FileAppender* file_;
  int64_t rangeFrom_;
  int64_t limit_;
  std::function<bool()> stop_;
  std::function<void(int64_t)> onPiece_;
  int status_ = 0;
  bool stopped_ = false;
  bool writeFailed_ = false;
  bool tooLong_ = false;
};

// What one attempt came to; each caller words its own log lines.
struct Attempt {
  HttpResult http;
  int status = 0;  // 0: no answer
  bool stopped = false;
  bool writeFailed = false;  // writing or closing the file failed
  bool tooLong = false;
};

// Fetches url from the file's current size on into the open file, then
// closes it.
Attempt FetchInto(HttpClient* client, const std::string& url, FileAppender* file, int64_t limit,
                  const HttpTimeouts& timeouts, std::function<bool()> stop,
                  std::function<void(int64_t)> onPiece) {
  AttemptReceiver receiver(file, file->size(), limit, std::move(stop), std::move(onPiece));
  Attempt a;
  a.http = client->Get(url, file->size(), timeouts, &receiver);
  const bool closed = file->Close();
  a.status = receiver.status();
  a.stopped = receiver.stopped();
  a.writeFailed = receiver.writeFailed() || !closed;
  a.tooLong = receiver.tooLong();
  return a;
}

bool HashesWhileFetching(const DownloadTask& task) {
  return task.TaskKind == Plain || task.TaskKind == FourG;
}

// A package of a signed release is checked against the SHA-256 that
// release.sig gives it before it is unpacked; taken while the bytes arrive,
// it needs no second read of a file that may be a gigabyte.
bool SignedPackage(DownloadHost* host, const DownloadTask& task) {
  return task.TaskKind == Package && host->SignedReleases();
}

}  // namespace

TransferResult CDownloaderThread::DownloadFileOneTime(DownloadTask& objTask) {
  const int64_t expected = objTask.ExpectedSize();
  WriteLog("@@@@%s---size:%" PRId64 "@@@@@@", objTask.downloadUrl.c_str(), objTask.size);
  lastDigest_.clear();

  // Only what an earlier attempt of this task wrote is resumed; a leftover
  // of another size, from an earlier run, is emptied as it is opened.
  FileAppender file;
  const bool signedPackage = SignedPackage(engine_, objTask);
  if (signedPackage) file.UseSha256();
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
  EngineProgress& counters = engine_->Counters();
  Attempt a = FetchInto(
      Http(), objTask.downloadUrl, &file, expected, engine_->TransferTimeouts(),
      [this] { return StopSeen(); }, [&counters](int64_t n) { counters.AddReceived(n); });
  objTask.dwHaveBeenDownloadLength = file.size();
  if (a.stopped) {
    WriteLog("Error! Thread close down load file [%s] failed! ", objTask.downloadPath.c_str());
    return Transfer_Stopped;
  }
  if (a.status == 0) {
    WriteLog("Error!  InternetOpenUrl failed! [%s]  [%d] Error Number is %d",
             "CDownloaderThread::DownloadFileOneTime", 196, a.http.error);
    WriteLogTag("Error", "%s: %s", objTask.downloadUrl.c_str(), a.http.message.c_str());
    return Transfer_Failed;
  }
  if (!IsSuccessStatus(a.status)) {
    WriteLogTag("Error", "Server answered %d for [%s]", a.status, objTask.downloadUrl.c_str());
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
  return a.tooLong ? Transfer_Failed : Transfer_Short;
}

TransferResult CDownloaderThread::DownloadFileWithRetry(DownloadTask& task) {
  for (;;) {
    task.nRetryTime++;
    task.taskState = 1;
    TransferResult r = DownloadFileOneTime(task);
    if (r == Transfer_Complete) {
      task.taskState = 2;
      return Transfer_Complete;
    }
    if (r == Transfer_Stopped) {
      task.taskState = 3;
      return Transfer_Stopped;
    }
    if (task.nRetryTime >= kTaskAttempts) {
      WriteLog("Error!ErrorErrorErrorError! Download %s Fail, Try %d Times",
               FileNameOf(task.downloadPath).c_str(), task.nRetryTime);
      task.taskState = 3;
      return Transfer_Failed;
    }
    if (r == Transfer_Short) {
      task.taskState = 39;
      WriteLog("Status_Download_Goon,nRetryTime=%d", task.nRetryTime);
    }
  }
}

// ---- Single-file transfer of the engine ----

namespace {

bool CreateEmptyFile(const std::string& path) {
  CreateParentFolders(path);
  FILE* f = fopen(path.c_str(), "wb");
  return f != nullptr && fclose(f) == 0;
}

}  // namespace

HttpClientFactory* CVXDlownloader::HttpFactory() {
  std::lock_guard<std::mutex> hold(httpFactoryLock_);
  if (!httpFactory_) httpFactory_ = NewCurlHttpClientFactory();
  return httpFactory_.get();
}

void CVXDlownloader::SetHttpFactory(std::unique_ptr<HttpClientFactory> factory) {
  std::lock_guard<std::mutex> hold(facadeHttpLock_);
  facadeHttp_.reset();
  std::lock_guard<std::mutex> holdFactory(httpFactoryLock_);
  httpFactory_ = std::move(factory);
}

// Borrows the engine's single-file connection for one request; requests
// from several threads take turns.
class CVXDlownloader::FacadeClient {
 public:
  explicit FacadeClient(CVXDlownloader* engine) : hold_(engine->facadeHttpLock_) {
    if (!engine->facadeHttp_) engine->facadeHttp_ = engine->HttpFactory()->Create();
    client_ = engine->facadeHttp_.get();
  }
  HttpClient* operator->() { return client_; }
  HttpClient* get() { return client_; }

 private:
  std::lock_guard<std::mutex> hold_;
  HttpClient* client_;
};

int64_t CVXDlownloader::QueryRemoteFileSize(const std::string& url) {
  int status = 0;
  int64_t length = -1;
  if (!FacadeClient(this)->QueryHeaders(url, sizeQueryTimeouts_, &status, &length)) return -1;
  if (status != 200 || length < 0) return -1;
  return length;
}

int64_t CVXDlownloader::GetRemoteFileSize(const std::string& url) {
  for (int i = 0; i < kSizeQueries; ++i) {
    int64_t size = QueryRemoteFileSize(url);
    if (size >= 0) return size;
  }
  return -1;
}

TransferResult CVXDlownloader::DownloadFileOnce(const std::string& url,
                                                const std::string& localPath, ProgressHook hook,
                                                int64_t maxBytes) {
  int64_t remote = GetRemoteFileSize(url);
  if (remote < 0) return Transfer_Failed;
  if (remote > maxBytes) {
    WriteLogTag("Error", "%s is %lld bytes, more than the %lld allowed",
                FileNameOf(localPath).c_str(), static_cast<long long>(remote),
                static_cast<long long>(maxBytes));
    return Transfer_TooLarge;
  }
  int64_t local = FileSizeOf(localPath);
  if (local > remote) {
    std::remove(localPath.c_str());
    local = 0;
  }
  // An empty file is complete once it exists: sizes alone cannot tell an
  // empty file from a missing one.
  if (remote == 0) return CreateEmptyFile(localPath) ? Transfer_Complete : Transfer_Failed;
  if (local == remote) return Transfer_Complete;

  FileAppender file;
  if (!file.Open(localPath, false)) {
    WriteLog("Open File ErrorNum: %d", file.error());
    return Transfer_Failed;
  }
  std::function<void(int64_t)> onPiece;
  if (hook) onPiece = [&hook](int64_t n) { hook(static_cast<int>(n)); };
  Attempt a = FetchInto(
      FacadeClient(this).get(), url, &file, remote, transferTimeouts_,
      [this] { return CancelRequested(); }, std::move(onPiece));
  if (a.stopped) return Transfer_Stopped;
  if (a.status == 0) {
    WriteLog("GetLastErrorNum: %d", a.http.error);
    return Transfer_Failed;
  }
  if (!IsSuccessStatus(a.status)) {
    WriteLogTag("Error", "Server answered %d for [%s]", a.status, url.c_str());
    return Transfer_Failed;
  }
  if (a.writeFailed) WriteLog("Open File ErrorNum: %d", file.error());
  return !a.writeFailed && file.size() == remote ? Transfer_Complete : Transfer_Failed;
}

TransferResult CVXDlownloader::DownloadFile(std::string url, std::string localPath,
                                            ProgressHook hook, int64_t maxBytes) {
  WriteLog("Start Download %s", FileNameOf(localPath).c_str());
  for (int attempt = 1; attempt <= kFileAttempts; ++attempt) {
    TransferResult r = DownloadFileOnce(url, localPath, hook, maxBytes);
    if (r == Transfer_Complete) {
      WriteLog("Download %s Succeed, Try %d Times", FileNameOf(localPath).c_str(), attempt);
      return Transfer_Complete;
    }
    if (r == Transfer_Stopped) return Transfer_Stopped;
    if (r == Transfer_TooLarge) break;  // asking again will not make it smaller
  }
  WriteLog("Error Download %s Fail", localPath.c_str());
  return Transfer_Failed;
}

int CVXDlownloader::CheckNet(std::string url) {
  for (int i = 0; i < kNetChecks; ++i) {
    if (CancelRequested()) return Status_Cancelled;
    if (FacadeClient(this)->CanConnect(url, checkNetTimeoutMs_)) return 1;
  }
  return 0;
}

void CVXDlownloader::SetTimeouts(const HttpTimeouts& transfer, const HttpTimeouts& sizeQuery,
                                 long checkNetMs) {
  transferTimeouts_ = transfer;
  sizeQueryTimeouts_ = sizeQuery;
  checkNetTimeoutMs_ = checkNetMs;
}
