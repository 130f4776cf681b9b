#include "platform/testing/fake_http.h"

#include <algorithm>

void FakeHttpServer::Put(const std::string& url, FakeResource resource) {
  std::lock_guard<std::mutex> hold(lock_);
  resources_[url] = std::move(resource);
  cutsDone_[url] = 0;
}

std::vector<FakeRequest> FakeHttpServer::Requests() {
  std::lock_guard<std::mutex> hold(lock_);
  return requests_;
}

int FakeHttpServer::CountRequests(const std::string& url) {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(std::count_if(requests_.begin(), requests_.end(),
                                        [&](const FakeRequest& r) { return r.url == url; }));
}

void FakeHttpServer::SetPieceSize(size_t n) {
  std::lock_guard<std::mutex> hold(lock_);
  pieceSize_ = std::max<size_t>(n, 1);
}

void FakeHttpServer::SetBeforePiece(std::function<void(const std::string&, int)> hook) {
  std::lock_guard<std::mutex> hold(lock_);
  beforePiece_ = std::move(hook);
}

bool FakeHttpServer::Lookup(const std::string& url, const FakeRequest& request, FakeResource* out,
                            bool* cut) {
  std::lock_guard<std::mutex> hold(lock_);
  requests_.push_back(request);
  auto it = resources_.find(url);
  if (it == resources_.end()) {
    *out = FakeResource{404, "not found"};
    *cut = false;
    return true;
  }
  *out = it->second;
  int& done = cutsDone_[url];
  *cut = out->cutAfter >= 0 && !request.headersOnly &&
         (out->cutResponses < 0 || done < out->cutResponses);
  if (*cut) ++done;
  return !out->refuse;
}

size_t FakeHttpServer::PieceSize() {
  std::lock_guard<std::mutex> hold(lock_);
  return pieceSize_;
}

void FakeHttpServer::BeforePiece(const std::string& url, int index) {
  std::function<void(const std::string&, int)> hook;
  {
    std::lock_guard<std::mutex> hold(lock_);
    hook = beforePiece_;
  }
  if (hook) hook(url, index);
}

namespace {

// The part of the body a request gets, and its status.
void Shape(const FakeResource& res, const FakeRequest& request, int* status, std::string* body) {
  *status = res.status;
  *body = res.body;
  const bool closed = request.rangeTo >= 0;
  if (res.status != 200 || (request.rangeFrom <= 0 && !closed) || !res.honourRange) return;
  if (request.rangeFrom >= static_cast<int64_t>(res.body.size())) {
    *status = 416;
    body->clear();
    return;
  }
  *status = 206;
  const size_t from = static_cast<size_t>(request.rangeFrom);
  *body = closed
              ? res.body.substr(from, static_cast<size_t>(request.rangeTo - request.rangeFrom + 1))
              : res.body.substr(from);
}

}  // namespace

HttpResult FakeHttpClient::Get(const std::string& url, int64_t rangeFrom, const HttpTimeouts&,
                               HttpReceiver* receiver) {
  return Serve(FakeRequest{url, rangeFrom, false}, receiver);
}

HttpResult FakeHttpClient::GetRange(const std::string& url, int64_t from, int64_t to,
                                    const HttpTimeouts&, HttpReceiver* receiver) {
  return Serve(FakeRequest{url, from, false, to}, receiver);
}

HttpResult FakeHttpClient::Serve(const FakeRequest& request, HttpReceiver* receiver) {
  const std::string& url = request.url;
  HttpResult result;
  FakeResource res;
  bool cut = false;
  if (!server_->Lookup(url, request, &res, &cut)) {
    result.error = 7;
    result.message = "connection refused";
    return result;
  }
  int status = 0;
  std::string body;
  Shape(res, request, &status, &body);
  int64_t length = res.omitLength ? -1 : static_cast<int64_t>(body.size());
  if (cut) body.resize(std::min<size_t>(body.size(), static_cast<size_t>(res.cutAfter)));
  result.outcome = HttpOutcome::kAborted;
  if (!receiver->OnResponse(status, length)) return result;
  size_t piece = server_->PieceSize();
  int index = 0;
  for (size_t at = 0; at < body.size(); at += piece, ++index) {
    server_->BeforePiece(url, index);
    if (receiver->ShouldStop()) return result;
    size_t n = std::min(piece, body.size() - at);
    if (!receiver->OnBody(body.data() + at, n)) return result;
  }
  if (cut) {
    result.outcome = HttpOutcome::kFailed;
    result.error = 18;
    result.message = "transfer closed with outstanding read data remaining";
    return result;
  }
  result.outcome = HttpOutcome::kDone;
  return result;
}

bool FakeHttpClient::QueryHeaders(const std::string& url, const HttpTimeouts&, int* status,
                                  int64_t* contentLength) {
  FakeResource res;
  bool cut = false;
  if (!server_->Lookup(url, FakeRequest{url, -1, true}, &res, &cut)) return false;
  *status = res.status;
  *contentLength = res.omitLength ? -1 : static_cast<int64_t>(res.body.size());
  return true;
}

bool FakeHttpClient::CanConnect(const std::string& url, long) {
  FakeResource res;
  bool cut = false;
  return server_->Lookup(url, FakeRequest{url, -1, true}, &res, &cut);
}
