// The transfer paths with libcurl against a server that misbehaves on
// purpose: cut connections, ignored ranges, error pages, stalls.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "diag/log.h"
#include "platform/testing/fault_server_process.h"
#include "tests/test_files.h"
#include "update/downloader.h"
#include "update/worker_pool.h"

namespace {

using testfiles::Md5Of;
using testfiles::ReadAll;
using testfiles::WriteAll;

namespace fs = std::filesystem;

class TransferFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::MakeTempFolder("kestrava-faults");
    fs::create_directories(dir_ + "www");
    body_.resize(5000);
    for (size_t i = 0; i < body_.size(); ++i) body_[i] = static_cast<char>(i * 13 + i / 256);
    std::ofstream(dir_ + "www/a.bin", std::ios::binary) << body_;
    ASSERT_TRUE(server_.Start(dir_ + "www"));
    SetLogFile(dir_ + "test.log");
    engine_ = std::make_unique<CVXDlownloader>(dir_);
    pool_ = std::make_unique<CDownloaderThreadPool>(&engine_->installation(), &engine_->fetcher());
    worker_ = std::make_unique<CDownloaderThread>(&engine_->installation(), &engine_->fetcher(),
                                                  pool_.get());
  }
  void TearDown() override {
    worker_.reset();
    pool_.reset();
    engine_.reset();
    server_.Stop();
    fs::remove_all(dir_);
  }

  DownloadTask Task(const std::string& behaviour) {
    DownloadTask t;
    t.downloadUrl = server_.Url(behaviour + "/a.bin");
    t.downloadPath = dir_ + "update/" + behaviour + "/a.bin";
    t.targetPath = dir_ + "a.bin";
    t.size = 5000;
    return t;
  }
  std::string Stats() { return server_.Stats(); }
  std::string Log() { return ReadAll(dir_ + "test.log"); }

  std::string dir_;
  std::string body_;
  FaultServerProcess server_;
  std::unique_ptr<CVXDlownloader> engine_;
  std::unique_ptr<CDownloaderThreadPool> pool_;
  std::unique_ptr<CDownloaderThread> worker_;
};

TEST_F(TransferFaultsTest, CutAt3000Of5000IsResumedByTheNextAttempt) {
  DownloadTask t = Task("cutonce-3000");
  EXPECT_EQ(worker_->DownloadFileWithRetry(t), Transfer_Complete);
  EXPECT_EQ(t.nRetryTime, 2);
  EXPECT_EQ(ReadAll(t.downloadPath), body_);
  std::string stats = Stats();
  EXPECT_NE(stats.find("\"range\": \"bytes=0-\""), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"range\": \"bytes=3000-\""), std::string::npos) << stats;
}

TEST_F(TransferFaultsTest, ServerIgnoringRangesStillGivesTheRightFile) {
  DownloadTask t = Task("cutonce-3000+norange");
  EXPECT_EQ(worker_->DownloadFileWithRetry(t), Transfer_Complete);
  EXPECT_EQ(ReadAll(t.downloadPath), body_);
}

TEST_F(TransferFaultsTest, ErrorPagesAreNotWrittenAndFailAfter21Attempts) {
  for (const char* status : {"status-404", "status-500"}) {
    DownloadTask t = Task(status);
    EXPECT_EQ(worker_->DownloadFileOneTime(t), Transfer_Failed) << status;
    EXPECT_EQ(ReadAll(t.downloadPath), "") << status;
  }
  DownloadTask t = Task("status-503");
  EXPECT_EQ(worker_->DownloadFileWithRetry(t), Transfer_Failed);
  EXPECT_EQ(t.nRetryTime, 21);
  EXPECT_NE(Log().find("Error!ErrorErrorErrorError! Download a.bin Fail, Try 21 Times"),
            std::string::npos);
}

TEST_F(TransferFaultsTest, StalledServerFailsTheAttemptAfterTheStallTime) {
  engine_->SetTimeouts({10000, 1, 0}, {1000, 1, 1000}, 3000);
  DownloadTask body = Task("stall");
  EXPECT_NE(worker_->DownloadFileOneTime(body), Transfer_Complete);
  DownloadTask head = Task("stallhead");
  EXPECT_EQ(worker_->DownloadFileOneTime(head), Transfer_Failed);
}

TEST_F(TransferFaultsTest, CancelledSingleFileKeepsItsPartAndResumesLater) {
  std::string local = dir_ + "single/a.bin";
  // Cancels the pass once 1000 bytes have come in.
  int hookBytes = 0;
  auto cancelAfter1000 = [&](int count) {
    hookBytes += count;
    if (hookBytes >= 1000) engine_->RequestCancel();
  };
  int r = engine_->DownloadFile(server_.Url("trickle-500/a.bin"), local, cancelAfter1000);
  EXPECT_EQ(r, Transfer_Stopped);
  int64_t part = static_cast<int64_t>(fs::file_size(local));
  EXPECT_GT(part, 0);
  EXPECT_LT(part, 5000);

  engine_->ClearCancel();
  EXPECT_EQ(engine_->DownloadFile(server_.Url("ok/a.bin"), local, nullptr), Transfer_Complete);
  EXPECT_EQ(ReadAll(local), body_);
  EXPECT_NE(Stats().find("\"range\": \"bytes=" + std::to_string(part) + "-\""), std::string::npos);
}

}  // namespace
