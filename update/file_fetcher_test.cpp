#include "update/file_fetcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "diag/log.h"
#include "platform/testing/fake_http.h"
#include "tests/test_files.h"
#include "update/testing/fake_install_state.h"

namespace {

using testfiles::RandomBytes;
using testfiles::ReadAll;
using testfiles::WriteAll;

// The single-file fetch alone, over the in-process fake server, with a
// stand-in installation for its cancel flag.
class FileFetcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogFile(dir_ + "test.log");
    fetcher_.SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server_));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Log() { return ReadAll(dir_ + "test.log"); }
  std::vector<int64_t> Ranges(const std::string& url) {
    std::vector<int64_t> out;
    for (const FakeRequest& r : server_.Requests())
      if (r.url == url && !r.headersOnly) out.push_back(r.rangeFrom);
    return out;
  }

  std::string dir_ = testfiles::MakeTempFolder("kestrava-fetch");
  FakeHttpServer server_;
  FakeInstallState state_{dir_};
  FileFetcher fetcher_{&state_};
};

TEST_F(FileFetcherTest, DownloadFileResumesAPartialFileFromAnEarlierRun) {
  std::string body = RandomBytes(6000, 7);
  server_.Put("http://fake/list.7z", {200, body});
  std::string local = dir_ + "list.7z";
  WriteAll(local, body.substr(0, 2500));

  EXPECT_EQ(Transfer_Complete, fetcher_.DownloadFile("http://fake/list.7z", local, nullptr));
  EXPECT_EQ(ReadAll(local), body);
  EXPECT_EQ(Ranges("http://fake/list.7z"), (std::vector<int64_t>{2500}));
  EXPECT_NE(Log().find("Download list.7z Succeed, Try 1 Times"), std::string::npos);
}

TEST_F(FileFetcherTest, DownloadFileWithTheWholeFileFetchesNothing) {
  std::string body = RandomBytes(100, 8);
  server_.Put("http://fake/h", {200, body});
  WriteAll(dir_ + "h", body);
  EXPECT_EQ(Transfer_Complete, fetcher_.DownloadFile("http://fake/h", dir_ + "h", nullptr));
  EXPECT_TRUE(Ranges("http://fake/h").empty());
  // An empty file is created, not only reported.
  server_.Put("http://fake/empty", {200, ""});
  EXPECT_EQ(Transfer_Complete,
            fetcher_.DownloadFile("http://fake/empty", dir_ + "sub/empty", nullptr));
  EXPECT_TRUE(std::filesystem::is_regular_file(dir_ + "sub/empty"));
}

TEST_F(FileFetcherTest, DownloadFileRefusesAFileLargerThanItsLimitAtOnce) {
  server_.Put("http://fake/update.xml", {200, std::string(5000, 'a')});
  EXPECT_EQ(Transfer_Failed,
            fetcher_.DownloadFile("http://fake/update.xml", dir_ + "update.xml", nullptr, 4096));
  EXPECT_TRUE(Ranges("http://fake/update.xml").empty()) << "nothing was fetched";
  EXPECT_EQ(server_.Requests().size(), 1u) << "and nothing asked twice";
  EXPECT_FALSE(std::filesystem::exists(dir_ + "update.xml"));
  EXPECT_NE(Log().find("[Error] update.xml is 5000 bytes, more than the 4096 allowed"),
            std::string::npos);
}

TEST_F(FileFetcherTest, DownloadFileRestartsATooLargeFileAndIgnoresBadRanges) {
  std::string body = RandomBytes(3000, 9);
  server_.Put("http://fake/i", {200, body, false});
  WriteAll(dir_ + "i", RandomBytes(5000, 10));
  EXPECT_EQ(Transfer_Complete, fetcher_.DownloadFile("http://fake/i", dir_ + "i", nullptr));
  EXPECT_EQ(ReadAll(dir_ + "i"), body);

  // A partial file answered with the whole body restarts instead of growing.
  WriteAll(dir_ + "i", body.substr(0, 1000));
  EXPECT_EQ(Transfer_Complete, fetcher_.DownloadFile("http://fake/i", dir_ + "i", nullptr));
  EXPECT_EQ(ReadAll(dir_ + "i"), body);
}

TEST_F(FileFetcherTest, DownloadFileGivesUpAfter11AttemptsOf11SizeQueries) {
  server_.Put("http://fake/j", {404, "missing"});
  std::string local = dir_ + "sub/j";
  EXPECT_EQ(Transfer_Failed, fetcher_.DownloadFile("http://fake/j", local, nullptr));
  EXPECT_EQ(server_.CountRequests("http://fake/j"), 121);
  EXPECT_NE(Log().find("Error Download " + local + " Fail"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(local));
}

TEST_F(FileFetcherTest, SizeQueryAcceptsOnly200WithALength) {
  server_.Put("http://fake/ok", {200, "12345"});
  server_.Put("http://fake/partial", {206, "12345"});
  FakeResource noLength{200, "12345"};
  noLength.omitLength = true;
  server_.Put("http://fake/nolen", noLength);
  EXPECT_EQ(fetcher_.QueryRemoteFileSize("http://fake/ok"), 5);
  EXPECT_EQ(fetcher_.QueryRemoteFileSize("http://fake/missing"), -1);
  EXPECT_EQ(fetcher_.QueryRemoteFileSize("http://fake/partial"), -1);
  EXPECT_EQ(fetcher_.QueryRemoteFileSize("http://fake/nolen"), -1);
}

TEST_F(FileFetcherTest, CancelledDownloadFileKeepsItsPartForTheNextRun) {
  std::string body = RandomBytes(8000, 11);
  server_.Put("http://fake/k", {200, body});
  server_.SetBeforePiece([&](const std::string&, int index) {
    if (index == 3) state_.SetCancel(true);
  });
  int hookBytes = 0;
  auto CountHook = [&hookBytes](int n) { hookBytes += n; };
  EXPECT_EQ(Transfer_Stopped, fetcher_.DownloadFile("http://fake/k", dir_ + "k", CountHook));
  EXPECT_EQ(ReadAll(dir_ + "k"), body.substr(0, 3000));
  EXPECT_EQ(hookBytes, 3000);

  server_.SetBeforePiece(nullptr);
  state_.SetCancel(false);
  EXPECT_EQ(Transfer_Complete, fetcher_.DownloadFile("http://fake/k", dir_ + "k", CountHook));
  EXPECT_EQ(ReadAll(dir_ + "k"), body);
  EXPECT_EQ(hookBytes, 8000);
}

TEST_F(FileFetcherTest, CheckNetTriesTenTimesAndObeysCancel) {
  server_.Put("http://fake/down/", FakeResource::Refused());
  EXPECT_EQ(fetcher_.CheckNet("http://fake/down/"), 0);
  EXPECT_EQ(server_.CountRequests("http://fake/down/"), 10);
  EXPECT_EQ(fetcher_.CheckNet("http://fake/up/"), 1);
  state_.SetCancel(true);
  EXPECT_EQ(fetcher_.CheckNet("http://fake/up/"), Status_Cancelled);
}

}  // namespace
