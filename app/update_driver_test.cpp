#include "app/update_driver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "platform/testing/fake_http.h"
#include "update/downloader.h"
#include "update/release_url.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kBase = "http://fake.test/rel/";

// Records what the driver asked for; flags passes that overlap.
class RecordingUi : public UpdateUi {
 public:
  void ShowStatus(int code) override {
    if (inside_.exchange(true)) overlapped_ = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    std::lock_guard<std::mutex> hold(lock_);
    statuses.push_back(code);
    inside_ = false;
  }
  bool HasControl(const std::string& name) override { return name == "EntryBtn"; }
  void SetControlVisible(const std::string& name, bool v) override { Set(name + ".visible", v); }
  void SetControlEnabled(const std::string& name, bool e) override { Set(name + ".enabled", e); }
  void SetControlText(const std::string&, const std::string&) override {}
  void SetProgressTimer(int id, int) override { Set("timer" + std::to_string(id), true); }
  void KillProgressTimer(int id) override { Set("timer" + std::to_string(id), false); }
  void CheckDiskSpace() override {}
  void DownloadServerList() override {}
  void RunFourDayCheck() override {}
  void StartGameThread() override { ++gameThreads; }

  void Set(const std::string& key, bool v) {
    std::lock_guard<std::mutex> hold(lock_);
    state[key] = v;
    if (v) everSet[key] = true;
  }

  std::mutex lock_;
  std::vector<int> statuses;
  std::map<std::string, bool> state, everSet;
  std::atomic<int> gameThreads{0};
  std::atomic<bool> inside_{false};
  std::atomic<bool> overlapped_{false};
  int holdMs = 0;
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kst-drv-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "LauncherConfig");
    SetReleaseBaseUrl(kBase);
    engine_ = std::make_unique<CVXDlownloader>(dir_.string() + "/");
    engine_->SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server_));
    driver_ = std::make_unique<UpdateDriver>(engine_.get(), &ui_);
    driver_->restartDelayMs = 0;
  }
  void TearDown() override {
    driver_.reset();
    engine_.reset();
    fs::remove_all(dir_);
  }
  void Write(const std::string& relative, const std::string& text) {
    std::ofstream(dir_ / relative) << text;
  }
  // The server answers the reachability check; lists as written locally.
  void ReachableServer() { server_.Put(kBase, FakeResource{}); }

  fs::path dir_;
  FakeHttpServer server_;
  RecordingUi ui_;
  std::unique_ptr<CVXDlownloader> engine_;
  std::unique_ptr<UpdateDriver> driver_;
};

TEST_F(DriverTest, UnreachableServerShows19AndLeavesTheEntryDisabled) {
  FakeResource refused;
  refused.refuse = true;
  server_.Put(kBase, refused);
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_EQ(ui_.statuses, std::vector<int>{19});
  EXPECT_EQ(driver_->lastStatus(), 19);
  EXPECT_TRUE(ui_.state["EntryBtn.visible"]);
  EXPECT_FALSE(ui_.state["EntryBtn.enabled"]);
  EXPECT_EQ(ui_.gameThreads.load(), 0);
}

TEST_F(DriverTest, PassesRequestedWhileOneRunsNeverOverlap) {
  FakeResource refused;
  refused.refuse = true;
  server_.Put(kBase, refused);
  ui_.holdMs = 30;
  for (int i = 0; i < 3; ++i) driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_FALSE(ui_.overlapped_.load());
  EXPECT_GE(ui_.statuses.size(), 1u);
  EXPECT_LE(ui_.statuses.size(), 3u);
}

TEST_F(DriverTest, FullDownloadModeSkipsTheUpdateListAndCompletes) {
  ReachableServer();
  Write("LauncherConfig/client.md5", "<Filelist><Files/></Filelist>");
  Write("LauncherConfig/localclient.md5", "<Filelist><Files/></Filelist>");
  engine_->SetUpdateMode(FullDownload);
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_EQ(ui_.statuses, (std::vector<int>{1, 17}));
  EXPECT_EQ(server_.CountRequests(std::string(kBase) + "LauncherConfig/update.xml"), 0);
  EXPECT_FALSE(ui_.everSet["EntryBtn.visible"] && !ui_.everSet["EntryBtn.enabled"]);
  EXPECT_TRUE(driver_->gameStartAllowed());
  for (const char* t : {"timer0", "timer1", "timer2"}) EXPECT_FALSE(ui_.state[t]) << t;

  // A second completed pass does not start a second game.
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_LE(ui_.gameThreads.load(), 1);
}

TEST_F(DriverTest, BrokenLocalListIsDeletedAndThePassRestarts) {
  ReachableServer();
  Write("LauncherConfig/client.md5", "<Filelist><Files/></Filelist>");
  Write("LauncherConfig/localclient.md5", "not xml <");
  fs::create_directories(dir_ / "scope");
  Write("scope/login.scope", "");
  engine_->SetUpdateMode(FullDownload);
  driver_->maxRestarts = 1;
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  ASSERT_GE(ui_.statuses.size(), 2u);
  EXPECT_EQ(ui_.statuses[1], 31);
  // The restarted pass found no local list and ran the first download.
  EXPECT_TRUE(ui_.everSet["timer4"]);
  EXPECT_EQ(ui_.statuses.back(), 17);
}

}  // namespace
