// The single-file fetch of the update steps: the release's address, the
// network seam (an HttpClientFactory, libcurl unless a test sets another),
// the timeouts, and the transfer of one release file into a local path with
// resume and retries. The metadata steps (update list, self-update, first
// download index) fetch through it on the update thread; the workers take
// their own connections from its factory.
//
// Thread-safety: the transfers may run on several threads; they take turns
// on the one kept connection. Set the address, the factory and the timeouts
// before a pass starts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/http.h"
#include "update/mirror_set.h"
#include "update/rate_limit.h"
#include "update/types.h"

class InstallState;

class FileFetcher {
 public:
  // state: borrowed, for its cancel flag; it outlives the fetcher.
  explicit FileFetcher(const InstallState* state);
  ~FileFetcher();
  FileFetcher(const FileFetcher&) = delete;
  FileFetcher& operator=(const FileFetcher&) = delete;

  // The release folder the pass takes its metadata from, ending with "/".
  const std::string& releaseBaseUrl() const { return releaseBaseUrl_; }
  // One address, or several separated by spaces in order of preference
  // (the edges of a CDN, mirrors).
  void SetReleaseBaseUrl(const std::string& urls);
  // Every address and its health; the workers pick from it.
  MirrorSet& Mirrors() { return mirrors_; }
  // The bandwidth every transfer of the engine shares.
  TokenBucket& RateLimit() { return rateLimit_; }
  // Takes `count` bytes from the shared limit, waiting as long as it says;
  // the wait ends early when `stop` turns true.
  void ThrottleReceived(int64_t count, const std::function<bool()>& stop);

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
  // 1 reachable, 0 not, 36 cancelled. With several release addresses and
  // url the metadata address, each try asks every address and the first to
  // answer becomes the metadata address of the pass.
  int CheckNet(std::string url);

  HttpClientFactory* HttpFactory();
  void SetHttpFactory(std::unique_ptr<HttpClientFactory> factory);
  // Transfers: 10 s to connect, 10 s without a byte fails an attempt. Size
  // queries: 1 s for everything. The connectivity check: 3 s per try.
  const HttpTimeouts& TransferTimeouts() const { return transferTimeouts_; }
  void SetTimeouts(const HttpTimeouts& transfer, const HttpTimeouts& sizeQuery, long checkNetMs);

 private:
  // Borrows the kept connection for one request.
  class Lease;
  // One try of CheckNet over every address; 1 when one answered.
  int CheckEveryAddress();
  void UseForMetadata(size_t address);

  const InstallState* state_;
  std::string releaseBaseUrl_;
  MirrorSet mirrors_;
  TokenBucket rateLimit_;
  HttpTimeouts transferTimeouts_;
  HttpTimeouts sizeQueryTimeouts_{1000, 1, 1000};
  long checkNetTimeoutMs_ = 3000;
  std::mutex factoryLock_;
  std::unique_ptr<HttpClientFactory> factory_;  // guarded by factoryLock_
  std::mutex connectionLock_;
  std::unique_ptr<HttpClient> connection_;  // guarded by connectionLock_
};
