// An in-process stand-in for the update server, for unit tests of the code
// above HttpClient: files by URL, with scripted misbehaviour (cut bodies,
// ignored ranges, error statuses, refused connections) and a record of every
// request made.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http.h"

// What the fake server does for one URL.
struct FakeResource {
  int status = 200;
  std::string body;
  bool honourRange = true;  // false: answer every range with the whole body
  int64_t cutAfter = -1;    // >= 0: the connection breaks after this many
                            // body bytes of each response
  int cutResponses = -1;    // how many responses are cut; -1: all
  bool refuse = false;      // the connection fails
  bool omitLength = false;  // no Content-Length

  // A resource whose connection always fails.
  static FakeResource Refused() {
    FakeResource r;
    r.refuse = true;
    return r;
  }
};

// One request as the fake saw it.
struct FakeRequest {
  std::string url;
  int64_t rangeFrom = -1;  // -1: no range header
  bool headersOnly = false;
  int64_t rangeTo = -1;  // the end of a closed range; -1: open
};

// The shared state of the fake server.
// Thread-safety: every member function may be called from any thread.
class FakeHttpServer {
 public:
  void Put(const std::string& url, FakeResource resource);
  std::vector<FakeRequest> Requests();
  int CountRequests(const std::string& url);
  // Bytes handed to a receiver in one OnBody call.
  void SetPieceSize(size_t n);
  // Called before each body piece with the URL and the piece's index within
  // its response (tests use it to request a stop in mid-transfer).
  void SetBeforePiece(std::function<void(const std::string&, int)> hook);

  // Used by FakeHttpClient.
  bool Lookup(const std::string& url, const FakeRequest& request, FakeResource* out, bool* cut);
  size_t PieceSize();
  void BeforePiece(const std::string& url, int index);

 private:
  std::mutex lock_;
  std::map<std::string, FakeResource> resources_;
  std::map<std::string, int> cutsDone_;
  std::vector<FakeRequest> requests_;
  size_t pieceSize_ = 1000;
  std::function<void(const std::string&, int)> beforePiece_;
};

// A client of a FakeHttpServer. Unknown URLs answer 404.
// Thread-safety: one client per thread, like the real one.
class FakeHttpClient : public HttpClient {
 public:
  explicit FakeHttpClient(FakeHttpServer* server) : server_(server) {}
  HttpResult Get(const std::string& url, int64_t rangeFrom, const HttpTimeouts& timeouts,
                 HttpReceiver* receiver) override;
  HttpResult GetRange(const std::string& url, int64_t from, int64_t to,
                      const HttpTimeouts& timeouts, HttpReceiver* receiver) override;
  bool QueryHeaders(const std::string& url, const HttpTimeouts& timeouts, int* status,
                    int64_t* contentLength) override;
  bool CanConnect(const std::string& url, long timeoutMs) override;

 private:
  HttpResult Serve(const FakeRequest& request, HttpReceiver* receiver);

  FakeHttpServer* server_;  // borrowed
};

// Makes FakeHttpClients of one server (borrowed; must outlive the clients).
class FakeHttpClientFactory : public HttpClientFactory {
 public:
  explicit FakeHttpClientFactory(FakeHttpServer* server) : server_(server) {}
  std::unique_ptr<HttpClient> Create() override {
    return std::make_unique<FakeHttpClient>(server_);
  }

 private:
  FakeHttpServer* server_;
};
