#include "update/transfer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "diag/log.h"
#include "platform/testing/fake_http.h"
#include "tests/test_files.h"
#include "update/downloader.h"
#include "update/md5_lanes.h"
#include "update/worker_pool.h"

namespace {

using testfiles::Md5Of;
using testfiles::RandomBytes;
using testfiles::ReadAll;
using testfiles::WriteAll;

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::MakeTempFolder("kestrava-transfer");
    SetLogFile(dir_ + "test.log");
    engine_ = std::make_unique<CVXDlownloader>(dir_);
    engine_->SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server_));
    pool_ = std::make_unique<CDownloaderThreadPool>(&engine_->installation(), &engine_->fetcher());
    worker_ = std::make_unique<CDownloaderThread>(&engine_->installation(), &engine_->fetcher(),
                                                  pool_.get());
  }
  void TearDown() override {
    worker_.reset();
    pool_.reset();
    engine_.reset();
    std::filesystem::remove_all(dir_);
  }

  DownloadTask Task(const std::string& name, int64_t size) {
    DownloadTask t;
    t.downloadUrl = "http://fake/" + name;
    t.downloadPath = dir_ + "LauncherConfig/update/" + name;
    t.targetPath = dir_ + name;
    t.size = size;
    return t;
  }
  std::string Log() { return ReadAll(dir_ + "test.log"); }
  std::vector<int64_t> Ranges(const std::string& url) {
    std::vector<int64_t> out;
    for (const FakeRequest& r : server_.Requests())
      if (r.url == url && !r.headersOnly) out.push_back(r.rangeFrom);
    return out;
  }

  std::string dir_;
  FakeHttpServer server_;
  std::unique_ptr<CVXDlownloader> engine_;
  std::unique_ptr<CDownloaderThreadPool> pool_;
  std::unique_ptr<CDownloaderThread> worker_;
};

TEST_F(TransferTest, CutAt3000Of5000ResumesFromTheCut) {
  std::string body = RandomBytes(5000, 1);
  server_.Put("http://fake/a.bin", {200, body, true, 3000, 1});
  DownloadTask t = Task("a.bin", 5000);

  EXPECT_EQ(Transfer_Complete, worker_->DownloadFileWithRetry(t));
  EXPECT_EQ(ReadAll(t.downloadPath), body);
  EXPECT_EQ(Ranges(t.downloadUrl), (std::vector<int64_t>{0, 3000}));
  EXPECT_EQ(t.nRetryTime, 2);
  EXPECT_EQ(t.taskState, TaskState::Fetched);
  EXPECT_EQ(engine_->ReadProgress().downloadedBytes, 5000);
  EXPECT_NE(Log().find("Status_Download_Goon,nRetryTime=1"), std::string::npos);
  EXPECT_NE(Log().find("dwRead == 0"), std::string::npos);
}

TEST_F(TransferTest, ArchiveTaskIsCompleteAtItsPackedSize) {
  server_.Put("http://fake/b.7z", {200, RandomBytes(700, 2)});
  DownloadTask t = Task("b.7z", 99999);
  t.TaskKind = TaskKind::SevenZip;
  t.zipSize = 700;
  EXPECT_EQ(Transfer_Complete, worker_->DownloadFileOneTime(t));
  EXPECT_EQ(t.dwHaveBeenDownloadLength, 700);
}

TEST_F(TransferTest, UnreachableServerGivesUpAfter21Attempts) {
  server_.Put("http://fake/gone.bin", FakeResource::Refused());
  DownloadTask t = Task("gone.bin", 10);

  EXPECT_EQ(Transfer_Failed, worker_->DownloadFileWithRetry(t));
  EXPECT_EQ(server_.CountRequests(t.downloadUrl), 21);
  EXPECT_EQ(t.taskState, TaskState::GivenUp);
  EXPECT_NE(Log().find("Error!ErrorErrorErrorError! Download gone.bin Fail, Try 21 Times"),
            std::string::npos);
}

TEST_F(TransferTest, WorkerDiscardsALeftoverFromAnEarlierRun) {
  std::string body = RandomBytes(4000, 3);
  server_.Put("http://fake/c.bin", {200, body});
  DownloadTask t = Task("c.bin", 4000);
  WriteAll(t.downloadPath, body.substr(0, 1500));  // a fresh task has dwHave 0

  EXPECT_EQ(Transfer_Complete, worker_->DownloadFileWithRetry(t));
  EXPECT_EQ(Ranges(t.downloadUrl), (std::vector<int64_t>{0}));
  EXPECT_EQ(ReadAll(t.downloadPath), body);
  EXPECT_NE(Log().find("DeleteFile When It's Left"), std::string::npos);
}

TEST_F(TransferTest, ErrorPagesAreNeverWrittenIntoTheFile) {
  for (int status : {404, 500, 503}) {
    std::string url = "http://fake/e" + std::to_string(status);
    server_.Put(url, {status, "<html>error page</html>"});
    // Appended rather than "e" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on that.
    DownloadTask t = Task(std::string("e").append(std::to_string(status)), 23);
    EXPECT_EQ(Transfer_Failed, worker_->DownloadFileOneTime(t)) << status;
    EXPECT_EQ(ReadAll(t.downloadPath), "") << status;
  }
}

TEST_F(TransferTest, RangeIgnoringServerStillCompletes) {
  std::string body = RandomBytes(5000, 4);
  server_.Put("http://fake/d.bin", {200, body, false, 3000, 1});
  DownloadTask t = Task("d.bin", 5000);

  EXPECT_EQ(Transfer_Complete, worker_->DownloadFileWithRetry(t));
  EXPECT_EQ(ReadAll(t.downloadPath), body);  // restarted, not appended
  EXPECT_EQ(Ranges(t.downloadUrl), (std::vector<int64_t>{0, 3000}));
}

TEST_F(TransferTest, CancelStopsWithinOnePieceAndKeepsThePartialFile) {
  std::string body = RandomBytes(10000, 5);
  server_.Put("http://fake/f.bin", {200, body});
  server_.SetBeforePiece([&](const std::string&, int index) {
    if (index == 2) engine_->RequestCancel();
  });
  DownloadTask t = Task("f.bin", 10000);

  EXPECT_EQ(Transfer_Stopped, worker_->DownloadFileWithRetry(t));
  EXPECT_EQ(t.nRetryTime, 1);
  EXPECT_EQ(ReadAll(t.downloadPath), body.substr(0, 2000));
  EXPECT_EQ(engine_->ReadProgress().downloadedBytes, 2000);
}

TEST_F(TransferTest, BodyLongerThanTheListFailsWithoutFillingTheDisk) {
  server_.Put("http://fake/g.bin", {200, RandomBytes(50000, 6)});
  DownloadTask t = Task("g.bin", 3000);
  EXPECT_EQ(Transfer_Failed, worker_->DownloadFileOneTime(t));
  EXPECT_LE(std::filesystem::file_size(t.downloadPath), 4000u);
}

TEST(FileAppenderTest, DigestCoversTheResumedPartAndRestart) {
  std::string dir = testfiles::MakeTempFolder("kestrava-appender");
  std::string path = dir + "f";
  WriteAll(path, "hello ");
  FileAppender a;
  ASSERT_TRUE(a.Open(path, true));
  EXPECT_TRUE(a.Append("world", 5));
  EXPECT_TRUE(a.Close());
  Md5Context whole;
  whole.Update("hello world", 11);
  EXPECT_EQ(a.HexDigest(), whole.HexDigest());

  FileAppender b;
  ASSERT_TRUE(b.Open(path, true));
  b.Append("x", 1);
  EXPECT_TRUE(b.Restart());
  b.Append("abc", 3);
  EXPECT_TRUE(b.Close());
  Md5Context abc;
  abc.Update("abc", 3);
  EXPECT_EQ(b.HexDigest(), abc.HexDigest());
  EXPECT_EQ(ReadAll(path), "abc");

  // The SHA-256 of a signed release's file covers the resumed part too.
  FileAppender c;
  c.UseSha256();
  ASSERT_TRUE(c.Open(path, true));
  c.Append("def", 3);
  EXPECT_TRUE(c.Close());
  platform::Sha256 abcdef;
  abcdef.Update("abcdef", 6);
  EXPECT_EQ(c.HexDigest(), abcdef.HexDigest());

  // A large file's MD5 taken by the lane helper: the resumed part read in
  // turns, appends smaller and larger than a buffer (each written out in
  // slices as it fills), and a restart after a slice was written.
  auto lanes = Md5LaneHasher::StartIfWorthwhile();
  const std::string old = RandomBytes(600 * 1024 + 5, 3);
  const std::string added = RandomBytes(2560 * 1024 + 7, 4);
  WriteAll(path, old);
  FileAppender d;
  d.DigestInLanes(lanes.get());
  ASSERT_TRUE(d.Open(path, true));
  for (size_t at = 0, step = 1; at < added.size(); at += step, step = step * 7 % 400000 + 1) {
    ASSERT_TRUE(d.Append(added.data() + at, std::min(step, added.size() - at)));
  }
  EXPECT_TRUE(d.Close());
  EXPECT_EQ(d.HexDigest(), Md5Of(old + added));
  EXPECT_TRUE(ReadAll(path) == old + added);
  FileAppender e;
  e.DigestInLanes(lanes.get());
  ASSERT_TRUE(e.Open(path, true));
  e.Append(added.data(), 300000);
  EXPECT_TRUE(e.Restart());
  e.Append(added.data(), added.size());
  EXPECT_TRUE(e.Close());
  EXPECT_EQ(e.HexDigest(), Md5Of(added));
  EXPECT_TRUE(ReadAll(path) == added);
  std::filesystem::remove_all(dir);
}

}  // namespace
