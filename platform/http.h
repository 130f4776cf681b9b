// The launcher's only way onto the network: plain HTTP(S) GET requests with
// an optional byte range, a header-only size query and a reachability check.
// The engine is written against HttpClient so that unit tests can put an
// in-process fake (FakeHttpClient) where users have libcurl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Limits of one request. The defaults are the launcher's: 10 s to connect,
// and a transfer that receives nothing for 10 s fails. Tests shorten them.
struct HttpTimeouts {
  long connectMs = 10000;
  long stallSeconds = 10;  // no byte for this long fails the request; 0: no limit
  long totalMs = 0;        // the whole request; 0: no limit
};

// Receives one response. Called on the thread that runs the request.
class HttpReceiver {
 public:
  virtual ~HttpReceiver() = default;
  // Once, when the response headers are complete and before any body piece.
  // contentLength is -1 when the server sent none. False aborts the request.
  virtual bool OnResponse(int status, int64_t contentLength) = 0;
  // Just before OnResponse: the Content-Type ("" when none). Only a receiver
  // of several ranges at once needs it, for the multipart boundary.
  virtual void OnContentType(const std::string& type) { (void)type; }
  // Each piece of the body as it arrives. False aborts the request.
  virtual bool OnBody(const char* data, size_t size) = 0;
  // Asked between pieces and while waiting, so that a stop is seen even when
  // the server sends nothing. True aborts the request.
  virtual bool ShouldStop() { return false; }
};

enum class HttpOutcome {
  kDone,     // the whole response was received
  kAborted,  // a receiver callback asked to stop
  kFailed,   // no connection, a timeout, or the connection was cut
};

// Bytes [from, to] of a resource.
struct HttpRange {
  int64_t from = 0;
  int64_t to = 0;
};

struct HttpResult {
  HttpOutcome outcome = HttpOutcome::kFailed;
  int error = 0;        // library error number for the log (0 when none)
  std::string message;  // human-readable cause when not kDone
};

// One HTTP connection owner. Keeps its connection open between requests
// (keep-alive), so a worker reuses one client for all its attempts.
// Thread-safety: one client is used by one thread at a time.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // GET url. rangeFrom >= 0 sends "RANGE: bytes=<rangeFrom>-", also for 0.
  virtual HttpResult Get(const std::string& url, int64_t rangeFrom, const HttpTimeouts& timeouts,
                         HttpReceiver* receiver) = 0;
  // GET url for bytes [from, to] only ("Range: bytes=from-to"). A server
  // that honours it answers 206; one that ignores it sends the whole file
  // with 200, which the receiver sees in OnResponse. Clients that cannot
  // ask for a closed range fail at once.
  virtual HttpResult GetRange(const std::string& url, int64_t from, int64_t to,
                              const HttpTimeouts& timeouts, HttpReceiver* receiver) {
    (void)url, (void)from, (void)to, (void)timeouts, (void)receiver;
    HttpResult unsupported;
    unsupported.message = "closed ranges are not supported";
    return unsupported;
  }
  // GET url for several ranges in one request ("Range: bytes=a-b,c-d,...",
  // in the order given). A server that honours it answers 206 with a
  // "multipart/byteranges" body (see update/byteranges.h); one that does
  // not sends 200 with the whole file, or a single range. Clients that
  // cannot fail at once, with no status.
  virtual HttpResult GetRanges(const std::string& url, const std::vector<HttpRange>& ranges,
                               const HttpTimeouts& timeouts, HttpReceiver* receiver) {
    (void)url, (void)ranges, (void)timeouts, (void)receiver;
    HttpResult unsupported;
    unsupported.message = "several ranges in one request are not supported";
    return unsupported;
  }
  // GET url without reading its body: the status and Content-Length
  // (-1 when absent). False when no response came.
  virtual bool QueryHeaders(const std::string& url, const HttpTimeouts& timeouts, int* status,
                            int64_t* contentLength) = 0;
  // Opens (and closes) a connection to the host and port of url.
  virtual bool CanConnect(const std::string& url, long timeoutMs) = 0;
};

// Makes clients; the engine holds one so that tests can substitute a fake.
// Thread-safety: Create may be called from any thread.
class HttpClientFactory {
 public:
  virtual ~HttpClientFactory() = default;
  virtual std::unique_ptr<HttpClient> Create() = 0;
};

// The libcurl implementation (HTTPS with the system CA store; the standard
// proxy environment variables are honoured).
std::unique_ptr<HttpClientFactory> NewCurlHttpClientFactory();
