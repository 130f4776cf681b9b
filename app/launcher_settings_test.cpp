#include "app/launcher_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/update_driver.h"
#include "platform/testing/fake_http.h"
#include "update/downloader.h"

namespace fs = std::filesystem;

namespace {

class NullUi : public UpdateUi {
 public:
  void ShowStatus(UpdateStatus) override { ++shown; }
  void StartProgress(ProgressPhase) override {}
  void StopProgress(ProgressPhase) override {}
  std::atomic<int> shown{0};
};

class FourDayCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kst-4day-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "launcherlog");
    ini_ = (dir_ / "LauncherConfig/check.ini").string();
    FakeResource refused;
    refused.refuse = true;
    server_.Put("http://fake.test/rel/", refused);
    engine_ = std::make_unique<CVXDlownloader>(dir_.string() + "/");
    engine_->SetReleaseBaseUrl("http://fake.test/rel/");
    engine_->SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server_));
    driver_ = std::make_unique<UpdateDriver>(engine_.get(), &ui_);
  }
  void TearDown() override {
    driver_.reset();
    engine_.reset();
    fs::remove_all(dir_);
  }
  int LogFiles() {
    int n = 0;
    for (auto& e : fs::directory_iterator(dir_ / "launcherlog")) n += e.is_regular_file();
    return n;
  }
  void MakeLogs(int n) {
    for (int i = 0; i < n; ++i)
      std::ofstream(dir_ / ("launcherlog/2026-01-0" + std::to_string(i) + ".log")) << "x";
  }

  fs::path dir_;
  std::string ini_;
  FakeHttpServer server_;
  NullUi ui_;
  std::unique_ptr<CVXDlownloader> engine_;
  std::unique_ptr<UpdateDriver> driver_;
};

TEST_F(FourDayCheckTest, OnTheEighthAfterTheFourthTrimsLogsAndStartsAFullCheck) {
  WriteIniValue(ini_, "check", "sign", "4");
  MakeLogs(6);
  EXPECT_TRUE(RunFourDayCheck(engine_.get(), driver_.get(), 8));
  driver_->WaitIdle();
  EXPECT_EQ(ReadIniValue(ini_, "check", "sign", "-1"), "8");
  EXPECT_EQ(LogFiles(), 2);
  EXPECT_EQ(engine_->GetUpdateMode(), UpdateMode::VerifyFiles);
  EXPECT_GE(ui_.shown.load(), 1);
  // Only once per driver, that is per process.
  WriteIniValue(ini_, "check", "sign", "4");
  EXPECT_FALSE(RunFourDayCheck(engine_.get(), driver_.get(), 8));
  EXPECT_EQ(ReadIniValue(ini_, "check", "sign", "-1"), "4");
}

TEST_F(FourDayCheckTest, SameDayOrADayNotAMultipleOfFourDoesNothing) {
  WriteIniValue(ini_, "check", "sign", "8");
  EXPECT_FALSE(RunFourDayCheck(engine_.get(), driver_.get(), 8));
  UpdateDriver another(engine_.get(), &ui_);  // a check not yet taken
  EXPECT_FALSE(RunFourDayCheck(engine_.get(), &another, 9));
  EXPECT_EQ(ReadIniValue(ini_, "check", "sign", "-1"), "8");
}

TEST_F(FourDayCheckTest, FirstEverCheckKeepsTheLogs) {
  MakeLogs(6);
  EXPECT_TRUE(RunFourDayCheck(engine_.get(), driver_.get(), 4));
  driver_->WaitIdle();
  EXPECT_EQ(LogFiles(), 6);
  EXPECT_EQ(ReadIniValue(ini_, "check", "sign", "-1"), "4");
}

// A check.ini edited by hand or written by another tool may spell the names
// in any case; Windows' profile functions ignore it, and so must we: the
// check that ran today must not run again, nor a second entry be added.
TEST_F(FourDayCheckTest, NamesInCheckIniIgnoreCase) {
  fs::create_directories(dir_ / "LauncherConfig");
  std::ofstream(ini_) << "[Other]\r\nSIGN=3\r\n[CHECK]\r\nSign = 8\r\n";
  EXPECT_EQ(ReadIniValue(ini_, "check", "sign", "-1"), "8");
  EXPECT_EQ(ReadIniValue(ini_, "other", "Sign", "-1"), "3");
  EXPECT_FALSE(RunFourDayCheck(engine_.get(), driver_.get(), 8));

  ASSERT_TRUE(WriteIniValue(ini_, "check", "sign", "12"));
  EXPECT_EQ(ReadIniValue(ini_, "check", "sign", "-1"), "12");
  EXPECT_EQ(ReadIniValue(ini_, "Other", "sign", "-1"), "3");
  std::ifstream in(ini_);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "[Other]\r\nSIGN=3\r\n[CHECK]\r\nsign=12\r\n");
}

TEST(IniFile, ValuesKeepTheRestOfTheFile) {
  std::string ini = (fs::temp_directory_path() / ("kst-ini-" + std::to_string(getpid()))).string();
  std::ofstream(ini) << "[other]\nsign=1\n[check]\nfoo = bar\n";
  EXPECT_EQ(ReadIniValue(ini, "check", "sign", "-1"), "-1");
  WriteIniValue(ini, "check", "sign", "12");
  EXPECT_EQ(ReadIniValue(ini, "check", "sign", "-1"), "12");
  EXPECT_EQ(ReadIniValue(ini, "other", "sign", "-1"), "1");
  EXPECT_EQ(ReadIniValue(ini, "check", "foo", "-1"), "bar");
  fs::remove(ini);
}

}  // namespace

// LimitRate reaches the launcher with its unit; a value that is no rate
// leaves no limit rather than a wrong one, and keeps the other settings.
TEST(WebXml, LimitRateIsReadWithItsUnitAndABadOneMeansNoLimit) {
  const fs::path file =
      fs::temp_directory_path() / ("kst-web-" + std::to_string(getpid()) + ".xml");
  auto load = [&file](const std::string& limit) {
    std::ofstream(file) << "<url><HomePage>http://h/p.html</HomePage>" << limit << "</url>";
    WebConfig c;
    LoadWebConfig(file.string(), &c);
    return c;
  };
  EXPECT_EQ(load("").limitRate, 0);
  EXPECT_EQ(load("<LimitRate>5M</LimitRate>").limitRate, 5 << 20);
  EXPECT_EQ(load("<LimitRate>500K</LimitRate>").limitRate, 500 << 10);
  const WebConfig bad = load("<LimitRate>fast</LimitRate>");
  EXPECT_EQ(bad.limitRate, 0);
  EXPECT_EQ(bad.homePage, "http://h/p.html");
  fs::remove(file);
}
