#include "diag/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "util/file_util.h"
#include "util/testing/scratch_dir.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogFile(dir + "/day.log"); }
  std::string Contents() { return scratch.Read("day.log"); }
  // The records, without the CR LF each one starts with.
  std::vector<std::string> Records() {
    std::string text = Contents();
    std::vector<std::string> records;
    for (size_t at = text.find("\r\n"); at != std::string::npos;) {
      size_t next = text.find("\r\n", at + 2);
      records.push_back(text.substr(at + 2, next == std::string::npos ? next : next - at - 2));
      at = next;
    }
    return records;
  }
  ScratchDir scratch{"log"};
  const std::string dir = scratch.path();
};

const std::regex kStamp(R"(\[\d{4,}-\d\d-\d\d \d\d:\d\d:\d\d\] )");

TEST_F(LogTest, RecordsStartWithCrLfAndFileDoesNotEndWithOne) {
  EXPECT_TRUE(WriteLog("App Start %s", "====="));
  EXPECT_TRUE(WriteLog("second"));
  std::string text = Contents();
  EXPECT_EQ(text.substr(0, 2), "\r\n");
  EXPECT_NE(text.substr(text.size() - 2), "\r\n");
  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(records[0], m, kStamp));
  EXPECT_EQ(m.position(0), 0);
  EXPECT_EQ(m.suffix().str(), "App Start =====");
  EXPECT_EQ(records[1].substr(22), "second");
}

TEST_F(LogTest, TagPartOnlyForNonEmptyTag) {
  WriteLogTag("Error", "Unzip %s Fail", "a.7z");
  WriteLogTag("", "empty tag");
  WriteLogTag(nullptr, "null tag");
  auto records = Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].substr(22), "[Error] Unzip a.7z Fail");
  EXPECT_EQ(records[1].substr(22), "empty tag");
  EXPECT_EQ(records[2].substr(22), "null tag");
}

TEST_F(LogTest, LineFeedsInsideMessageBecomeCrLf) {
  WriteLog("one\ntwo");
  EXPECT_NE(Contents().find("one\r\ntwo"), std::string::npos);
}

TEST_F(LogTest, NarrowMessageCutAt1023AndTakenLiterally) {
  std::string longText(2000, 'q');
  EXPECT_EQ(WriteLogA("%s", longText.c_str()), 1023);
  EXPECT_EQ(WriteLogA("100%% done %s", "%d%s"), 14);
  auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].substr(22), std::string(1023, 'q'));
  EXPECT_EQ(records[1].substr(22), "100% done %d%s");
}

TEST_F(LogTest, AFileMovedAwayIsStartedAfreshAndCloseEndsLogging) {
  EXPECT_TRUE(WriteLog("first"));
  ASSERT_EQ(rename((dir + "/day.log").c_str(), (dir + "/kept.log").c_str()), 0);
  // Within a second the records find the path again.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!IsPlainFile(dir + "/day.log") && std::chrono::steady_clock::now() < end)
    EXPECT_TRUE(WriteLog("later"));
  ASSERT_TRUE(IsPlainFile(dir + "/day.log"));
  EXPECT_NE(scratch.Read("kept.log").find("first"), std::string::npos);
  EXPECT_EQ(Contents().find("first"), std::string::npos);
  CloseLog();
  const size_t records = Records().size();
  EXPECT_FALSE(WriteLog("after the end"));
  EXPECT_EQ(Records().size(), records);
}

TEST_F(LogTest, UnwritableFileReturnsFalse) {
  SetLogFile(dir + "/no/such/folder/day.log");
  EXPECT_FALSE(WriteLog("dropped"));
  EXPECT_FALSE(WriteLogTag("Error", "dropped"));
  EXPECT_EQ(WriteLogA("dropped"), 7);
}

TEST_F(LogTest, ConcurrentRecordsNeverInterleave) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) WriteLogTag("T", "thread %d record %d %s", t, i, "xxxxxxxx");
    });
  }
  for (auto& th : threads) th.join();
  auto records = Records();
  ASSERT_EQ(records.size(), 800u);
  const std::regex line(R"(\[[^\]]+\] \[T\] thread \d record \d+ xxxxxxxx)");
  for (const auto& r : records) ASSERT_TRUE(std::regex_match(r, line)) << r;
}

TEST(LogDefaultTest, DefaultFileIsTodayUnderLauncherlog) {
  ScratchDir scratch("logdef");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  SetLogFile("");
  std::string path = LogFilePath();
  EXPECT_TRUE(WriteLog("App Start"));
  EXPECT_TRUE(std::regex_match(path, std::regex(R"(launcherlog/\d{4,}-\d\d-\d\d\.log)"))) << path;
  EXPECT_TRUE(IsPlainFile(path));
  ASSERT_EQ(chdir(old), 0);
}

}  // namespace
