#include "update/file_fetcher.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <utility>

#include "diag/log.h"
#include "update/install_state.h"
#include "update/release_layout.h"
#include "update/release_url.h"
#include "update/transfer.h"
#include "util/file_util.h"

namespace {

constexpr int kFileAttempts = 11;  // DownloadFile
constexpr int kSizeQueries = 11;   // GetRemoteFileSize
constexpr int kNetChecks = 10;     // CheckNet

}  // namespace

namespace {

bool CreateEmptyFile(const std::string& path) {
  CreateParentFolders(path);
  FILE* f = fopen(path.c_str(), "wb");
  return f != nullptr && fclose(f) == 0;
}

}  // namespace

FileFetcher::FileFetcher(const InstallState* state) : state_(state) {
  SetReleaseBaseUrl(DefaultReleaseBaseUrl());
}

FileFetcher::~FileFetcher() = default;

void FileFetcher::SetReleaseBaseUrl(const std::string& urls) {
  std::vector<std::string> list = ParseReleaseUrls(urls);
  releaseBaseUrl_ = list.empty() ? std::string() : list.front();
  mirrors_.SetAddresses(list);
}

void FileFetcher::UseForMetadata(size_t address) {
  mirrors_.BeginPass(address);
  const std::string url = mirrors_.Address(address);
  if (url != releaseBaseUrl_) WriteLog("Release metadata comes from %s", url.c_str());
  releaseBaseUrl_ = url;
}

void FileFetcher::ThrottleReceived(int64_t count, const std::function<bool()>& stop) {
  auto wait = rateLimit_.Take(count);
  const auto until = std::chrono::steady_clock::now() + wait;
  // Slices short enough that a cancel is seen at once.
  while (wait > std::chrono::nanoseconds::zero() && !(stop && stop())) {
    std::this_thread::sleep_for(
        std::min<std::chrono::nanoseconds>(wait, std::chrono::milliseconds(50)));
    wait = until - std::chrono::steady_clock::now();
  }
}

HttpClientFactory* FileFetcher::HttpFactory() {
  std::lock_guard<std::mutex> hold(factoryLock_);
  if (!factory_) factory_ = NewCurlHttpClientFactory();
  return factory_.get();
}

void FileFetcher::SetHttpFactory(std::unique_ptr<HttpClientFactory> factory) {
  std::lock_guard<std::mutex> hold(connectionLock_);
  connection_.reset();
  std::lock_guard<std::mutex> holdFactory(factoryLock_);
  factory_ = std::move(factory);
}

// Requests from several threads take turns on the kept connection.
class FileFetcher::Lease {
 public:
  explicit Lease(FileFetcher* fetcher) : hold_(fetcher->connectionLock_) {
    if (!fetcher->connection_) fetcher->connection_ = fetcher->HttpFactory()->Create();
    client_ = fetcher->connection_.get();
  }
  HttpClient* operator->() { return client_; }
  HttpClient* get() { return client_; }

 private:
  std::lock_guard<std::mutex> hold_;
  HttpClient* client_;
};

int64_t FileFetcher::QueryRemoteFileSize(const std::string& url) {
  int status = 0;
  int64_t length = -1;
  if (!Lease(this)->QueryHeaders(url, sizeQueryTimeouts_, &status, &length)) return -1;
  if (status != 200 || length < 0) return -1;
  return length;
}

int64_t FileFetcher::GetRemoteFileSize(const std::string& url) {
  for (int i = 0; i < kSizeQueries; ++i) {
    int64_t size = QueryRemoteFileSize(url);
    if (size >= 0) return size;
  }
  return -1;
}

TransferResult FileFetcher::DownloadFileOnce(const std::string& url, const std::string& localPath,
                                             ProgressHook hook, int64_t maxBytes) {
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
    RemoveFileIfPresent(localPath);
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
  std::function<bool()> stop = [this] { return state_->CancelRequested(); };
  std::function<void(int64_t)> onPiece = [this, &hook, &stop](int64_t n) {
    if (hook) hook(static_cast<int>(n));
    ThrottleReceived(n, stop);
  };
  Attempt a =
      FetchInto(Lease(this).get(), url, &file, remote, transferTimeouts_, stop, std::move(onPiece));
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

TransferResult FileFetcher::DownloadFile(std::string url, std::string localPath, ProgressHook hook,
                                         int64_t maxBytes) {
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

int FileFetcher::CheckNet(std::string url) {
  const bool everyAddress = mirrors_.Count() > 1 && url == releaseBaseUrl_;
  for (int i = 0; i < kNetChecks; ++i) {
    if (state_->CancelRequested()) return Status_Cancelled;
    if (everyAddress ? CheckEveryAddress() == 1
                     : Lease(this)->CanConnect(url, checkNetTimeoutMs_)) {
      return 1;
    }
  }
  return 0;
}

// An address answers when it serves update.xml; one that only accepts
// connections (a cache whose origin is gone answers 503) is the last resort.
int FileFetcher::CheckEveryAddress() {
  const std::vector<size_t> order = mirrors_.MetadataOrder();
  for (size_t at : order) {
    if (QueryRemoteFileSize(mirrors_.Address(at) + release_layout::kUpdateXml) >= 0) {
      UseForMetadata(at);
      return 1;
    }
    mirrors_.Penalise(at, "update.xml not served");
  }
  for (size_t at : order) {
    if (Lease(this)->CanConnect(mirrors_.Address(at), checkNetTimeoutMs_)) {
      UseForMetadata(at);
      return 1;
    }
  }
  return 0;
}

void FileFetcher::SetTimeouts(const HttpTimeouts& transfer, const HttpTimeouts& sizeQuery,
                              long checkNetMs) {
  transferTimeouts_ = transfer;
  sizeQueryTimeouts_ = sizeQuery;
  checkNetTimeoutMs_ = checkNetMs;
}
