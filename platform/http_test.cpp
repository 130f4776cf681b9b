#include "platform/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/testing/fault_server_process.h"

namespace {

namespace fs = std::filesystem;

// Keeps the whole response.
class Collect : public HttpReceiver {
 public:
  bool OnResponse(int status, int64_t length) override {
    status_ = status;
    length_ = length;
    ++responses_;
    return acceptStatus_ < 0 || status == acceptStatus_;
  }
  bool OnBody(const char* data, size_t size) override {
    body_.append(data, size);
    return true;
  }
  bool ShouldStop() override {
    return stopAfter_.count() > 0 && std::chrono::steady_clock::now() - start_ > stopAfter_;
  }
  int status_ = 0;
  int64_t length_ = -2;
  int responses_ = 0;
  int acceptStatus_ = -1;
  std::string body_;
  std::chrono::milliseconds stopAfter_{0};
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class CurlHttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/kestrava-http-XXXXXX";
    root_ = mkdtemp(tmpl);
    body_.resize(5000);
    for (size_t i = 0; i < body_.size(); ++i) body_[i] = static_cast<char>(i * 7 + i / 251);
    std::ofstream(root_ + "/a.bin", std::ios::binary) << body_;
    server_ = new FaultServerProcess;
    ASSERT_TRUE(server_->Start(root_));
  }
  static void TearDownTestSuite() {
    server_->Stop();
    delete server_;
    fs::remove_all(root_);
  }
  void SetUp() override {
    factory_ = NewCurlHttpClientFactory();
    client_ = factory_->Create();
    Collect reset;
    client_->Get(server_->Url("_reset"), -1, HttpTimeouts{}, &reset);
  }
  // The requests the server saw, one JSON object per line.
  std::string Stats() {
    Collect c;
    client_->Get(server_->Url("_stats"), -1, HttpTimeouts{}, &c);
    return c.body_;
  }

  static std::string root_;
  static std::string body_;
  static FaultServerProcess* server_;
  std::unique_ptr<HttpClientFactory> factory_;
  std::unique_ptr<HttpClient> client_;
};

std::string CurlHttpTest::root_;
std::string CurlHttpTest::body_;
FaultServerProcess* CurlHttpTest::server_;

TEST_F(CurlHttpTest, RangedGetReportsStatusLengthAndTheTail) {
  Collect c;
  HttpResult r = client_->Get(server_->Url("ok/a.bin"), 1000, HttpTimeouts{}, &c);
  EXPECT_EQ(r.outcome, HttpOutcome::kDone);
  EXPECT_EQ(c.status_, 206);
  EXPECT_EQ(c.length_, 4000);
  EXPECT_EQ(c.body_, body_.substr(1000));

  Collect whole;
  client_->Get(server_->Url("ok/a.bin"), 0, HttpTimeouts{}, &whole);
  EXPECT_EQ(whole.body_, body_);
  std::string stats = Stats();
  EXPECT_NE(stats.find("\"range\": \"bytes=1000-\""), std::string::npos);
  EXPECT_NE(stats.find("\"range\": \"bytes=0-\""), std::string::npos);
}

TEST_F(CurlHttpTest, OneClientKeepsItsConnectionBetweenRequests) {
  for (int i = 0; i < 3; ++i) {
    Collect c;
    ASSERT_EQ(client_->Get(server_->Url("ok/a.bin"), 0, HttpTimeouts{}, &c).outcome,
              HttpOutcome::kDone);
  }
  std::string stats = Stats();
  size_t first = stats.find("\"conn\": ");
  ASSERT_NE(first, std::string::npos);
  std::string conn = stats.substr(first, stats.find('}', first) - first);
  size_t count = 0;
  for (size_t at = stats.find(conn); at != std::string::npos; at = stats.find(conn, at + 1))
    ++count;
  EXPECT_EQ(count, 3u) << stats;
}

TEST_F(CurlHttpTest, CutConnectionFailsAfterDeliveringWhatCame) {
  Collect c;
  HttpResult r = client_->Get(server_->Url("cut-3000/a.bin"), 0, HttpTimeouts{}, &c);
  EXPECT_EQ(r.outcome, HttpOutcome::kFailed);
  EXPECT_EQ(c.status_, 200);
  EXPECT_EQ(c.body_, body_.substr(0, 3000));
  EXPECT_FALSE(r.message.empty());
}

TEST_F(CurlHttpTest, RefusedStatusBodyIsNotDelivered) {
  Collect c;
  c.acceptStatus_ = 200;
  HttpResult r = client_->Get(server_->Url("status-500/a.bin"), 0, HttpTimeouts{}, &c);
  EXPECT_EQ(r.outcome, HttpOutcome::kAborted);
  EXPECT_EQ(c.status_, 500);
  EXPECT_TRUE(c.body_.empty());
}

TEST_F(CurlHttpTest, StalledServerFailsTheRequestAfterTheStallTime) {
  HttpTimeouts quick;
  quick.stallSeconds = 1;
  Collect body;
  EXPECT_EQ(client_->Get(server_->Url("stall/a.bin"), 0, quick, &body).outcome,
            HttpOutcome::kFailed);
  Collect head;
  EXPECT_EQ(client_->Get(server_->Url("stallhead/a.bin"), 0, quick, &head).outcome,
            HttpOutcome::kFailed);
  EXPECT_EQ(head.responses_, 0);
}

TEST_F(CurlHttpTest, StopIsSeenWhileTheServerSendsNothing) {
  Collect c;
  c.stopAfter_ = std::chrono::milliseconds(200);
  HttpResult r = client_->Get(server_->Url("stall/a.bin"), 0, HttpTimeouts{}, &c);
  EXPECT_EQ(r.outcome, HttpOutcome::kAborted);
}

TEST_F(CurlHttpTest, TrickleWithinTheStallTimeCompletes) {
  HttpTimeouts quick;
  quick.stallSeconds = 1;
  Collect c;
  EXPECT_EQ(client_->Get(server_->Url("trickle-1000/a.bin"), 0, quick, &c).outcome,
            HttpOutcome::kDone);
  EXPECT_EQ(c.body_, body_);
}

TEST_F(CurlHttpTest, HeaderQueryAndReachability) {
  int status = 0;
  int64_t length = 0;
  ASSERT_TRUE(client_->QueryHeaders(server_->Url("ok/a.bin"), HttpTimeouts{}, &status, &length));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(length, 5000);
  ASSERT_TRUE(client_->QueryHeaders(server_->Url("ok/none"), HttpTimeouts{}, &status, &length));
  EXPECT_EQ(status, 404);
  EXPECT_TRUE(client_->CanConnect(server_->Url(""), 2000));

  // A port that was just free refuses the connection.
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), len), 0);
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  close(s);
  std::string closed = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
  EXPECT_FALSE(client_->CanConnect(closed, 2000));
  EXPECT_FALSE(client_->QueryHeaders(closed, HttpTimeouts{}, &status, &length));
}

}  // namespace
