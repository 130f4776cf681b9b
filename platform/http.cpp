#include "platform/http.h"

#include <curl/curl.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace {

// Global libcurl set-up must happen once, before any thread uses a handle.
void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Per-request bridge between libcurl's C callbacks and an HttpReceiver.
struct RequestState {
  CURL* easy = nullptr;
  HttpReceiver* receiver = nullptr;
  bool announced = false;
  bool aborted = false;

  bool Announce() {
    if (announced) return true;
    announced = true;
    long status = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    const char* type = nullptr;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
    receiver->OnContentType(type ? type : "");
    return receiver->OnResponse(static_cast<int>(status), static_cast<int64_t>(length));
  }
};

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<RequestState*>(user);
  size_t n = size * count;
  if (!state->Announce() || !state->receiver->OnBody(data, n)) {
    state->aborted = true;
    return 0;  // any short count makes libcurl end the transfer
  }
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* state = static_cast<RequestState*>(user);
  if (state->receiver->ShouldStop()) {
    state->aborted = true;
    return 1;
  }
  return 0;
}

void ApplyTimeouts(CURL* easy, const HttpTimeouts& t) {
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, t.connectMs);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, t.totalMs);
  if (t.stallSeconds > 0) {
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, t.stallSeconds);
  }
}

// Options every request shares. Several threads run requests at once, so
// libcurl must not use signals for its timeouts.
void ApplyCommon(CURL* easy, const std::string& url) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  // An update server speaks HTTP; nothing it answers may send us elsewhere.
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
  // Certificates are checked against the system store; an operator's staging
  // server signed by an authority of its own names it here instead.
  const char* authority = std::getenv("KESTRAVA_CA_BUNDLE");
  if (authority && *authority) curl_easy_setopt(easy, CURLOPT_CAINFO, authority);
}

// Collects only the status and length of a response. A small body is read
// and dropped: cutting a response off closes its connection, and the GET
// that follows a size query would then open a new one. A larger body is
// refused at its first byte.
class HeaderOnlyReceiver : public HttpReceiver {
 public:
  static constexpr int64_t kDrainLimit = 64 * 1024;

  bool OnResponse(int status, int64_t contentLength) override {
    status_ = status;
    length_ = contentLength;
    return contentLength >= 0 && contentLength <= kDrainLimit;
  }
  bool OnBody(const char*, size_t size) override {
    drained_ += static_cast<int64_t>(size);
    return drained_ <= length_;  // more than announced: not worth reading on
  }
  int status_ = 0;
  int64_t length_ = -1;
  int64_t drained_ = 0;
};

// Holds one easy and one multi handle for its whole life: the multi handle
// keeps the connection of the last request open, so the next request to the
// same server skips the connect (and the TLS handshake).
class CurlHttpClient : public HttpClient {
 public:
  CurlHttpClient() : easy_(curl_easy_init()), multi_(curl_multi_init()) {}
  ~CurlHttpClient() override {
    if (multi_) curl_multi_cleanup(multi_);
    if (easy_) curl_easy_cleanup(easy_);
  }

  HttpResult Get(const std::string& url, int64_t rangeFrom, const HttpTimeouts& timeouts,
                 HttpReceiver* receiver) override {
    return Request(url, rangeFrom >= 0 ? "RANGE: bytes=" + std::to_string(rangeFrom) + "-" : "",
                   timeouts, receiver);
  }

  HttpResult GetRange(const std::string& url, int64_t from, int64_t to,
                      const HttpTimeouts& timeouts, HttpReceiver* receiver) override {
    return Request(url, "Range: bytes=" + std::to_string(from) + "-" + std::to_string(to), timeouts,
                   receiver);
  }

  HttpResult GetRanges(const std::string& url, const std::vector<HttpRange>& ranges,
                       const HttpTimeouts& timeouts, HttpReceiver* receiver) override {
    std::string header = "Range: bytes=";
    for (const HttpRange& r : ranges) {
      if (&r != &ranges.front()) header += ',';
      header += std::to_string(r.from) + "-" + std::to_string(r.to);
    }
    return Request(url, header, timeouts, receiver);
  }

  bool QueryHeaders(const std::string& url, const HttpTimeouts& timeouts, int* status,
                    int64_t* contentLength) override {
    HeaderOnlyReceiver headers;
    // The headers are the answer, even when a dropped body broke off.
    Get(url, -1, timeouts, &headers);
    if (headers.status_ == 0) return false;
    *status = headers.status_;
    *contentLength = headers.length_;
    return true;
  }

  bool CanConnect(const std::string& url, long timeoutMs) override {
    // A handle of its own: a connect-only connection must not end up in the
    // cache that transfers reuse.
    CURL* probe = curl_easy_init();
    if (!probe) return false;
    // For https the probe includes the handshake, with the same checks.
    ApplyCommon(probe, url);
    curl_easy_setopt(probe, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(probe, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(probe, CURLOPT_TIMEOUT_MS, timeoutMs);
    CURLcode code = curl_easy_perform(probe);
    curl_easy_cleanup(probe);
    return code == CURLE_OK;
  }

 private:
  // One GET with an optional range header line ("" for none).
  HttpResult Request(const std::string& url, const std::string& rangeHeader,
                     const HttpTimeouts& timeouts, HttpReceiver* receiver) {
    HttpResult result;
    if (!easy_) {
      result.message = "no HTTP handle";
      return result;
    }
    curl_easy_reset(easy_);  // keeps the open connection
    RequestState state{easy_, receiver};
    ApplyCommon(easy_, url);
    ApplyTimeouts(easy_, timeouts);
    curl_slist* headers = nullptr;
    if (!rangeHeader.empty()) {
      headers = curl_slist_append(headers, rangeHeader.c_str());
      curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers);
    }
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &state);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, &state);
    char error[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error);
    CURLcode code = Perform(&state);
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, nullptr);
    curl_slist_free_all(headers);
    return Finish(code, error, &state);
  }

  // How often a request that receives nothing looks at the stop flag; when
  // bytes arrive, every piece looks at it.
  static constexpr int kStopPollMs = 100;

  // Runs the request on the multi handle rather than with curl_easy_perform,
  // whose progress calls come only once a second while a server sends
  // nothing: a stop during a stall is seen within kStopPollMs.
  CURLcode Perform(RequestState* state) {
    if (!multi_ || curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
      return curl_easy_perform(easy_);
    }
    CURLcode code = CURLE_GOT_NOTHING;
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi_, &running) != CURLM_OK) break;
      if (TakeResult(&code) || running == 0) break;
      if (state->receiver->ShouldStop()) {
        state->aborted = true;
        code = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      curl_multi_poll(multi_, nullptr, 0, kStopPollMs, nullptr);
    }
    curl_multi_remove_handle(multi_, easy_);
    return code;
  }

  // The result of the finished request, when it has finished.
  bool TakeResult(CURLcode* code) {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
        *code = message->data.result;
        return true;
      }
    }
    return false;
  }

  HttpResult Finish(CURLcode code, const char* error, RequestState* state) {
    HttpResult result;
    result.error = static_cast<int>(code);
    if (code == CURLE_OK) {
      // An empty body never reached the write callback.
      result.outcome = state->Announce() ? HttpOutcome::kDone : HttpOutcome::kAborted;
      return result;
    }
    result.outcome = state->aborted ? HttpOutcome::kAborted : HttpOutcome::kFailed;
    result.message = error[0] ? error : curl_easy_strerror(code);
    return result;
  }

  CURL* easy_;
  CURLM* multi_;
};

class CurlHttpClientFactory : public HttpClientFactory {
 public:
  CurlHttpClientFactory() { InitCurlOnce(); }
  std::unique_ptr<HttpClient> Create() override { return std::make_unique<CurlHttpClient>(); }
};

}  // namespace

std::unique_ptr<HttpClientFactory> NewCurlHttpClientFactory() {
  return std::make_unique<CurlHttpClientFactory>();
}
