#include "app/update_driver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/testing/fake_http.h"
#include "update/downloader.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kBase = "http://fake.test/rel/";

// Records what the driver asked of the window, in order; flags passes that
// overlap. Called on the pass thread; lock_ guards what the test reads while
// passes may run.
class RecordingUi : public UpdateUi {
 public:
  void ShowStatus(int code) override {
    if (inside_.exchange(true)) overlapped_ = true;
    if (whileShowing) whileShowing(shown_++);
    {
      std::lock_guard<std::mutex> hold(lock_);
      statuses.push_back(code);
    }
    inside_ = false;
  }
  bool HasControl(const std::string& name) override { return name == "EntryBtn"; }
  void SetControlVisible(const std::string& name, bool v) override { Record(name + ".visible", v); }
  void SetControlEnabled(const std::string& name, bool e) override { Record(name + ".enabled", e); }
  void SetControlText(const std::string&, const std::string&) override {}
  void SetProgressTimer(int id, int) override { Record("timer" + std::to_string(id), true); }
  void KillProgressTimer(int id) override { Record("timer" + std::to_string(id), false); }
  void CheckDiskSpace() override {}
  void DownloadServerList() override {}
  void RunFourDayCheck() override {}
  void StartGameThread() override { ++gameThreads; }

  // The recorded changes of one control or timer ("EntryBtn", "timer4"):
  // "EntryBtn.enabled=0", "timer4=1", ...
  std::vector<std::string> Changes(const std::string& what) {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> out;
    for (const std::string& c : changes_) {
      if (c.compare(0, what.size(), what) == 0 && (c[what.size()] == '.' || c[what.size()] == '='))
        out.push_back(c);
    }
    return out;
  }

  // Called inside ShowStatus with the number of statuses shown before.
  std::function<void(int)> whileShowing;
  std::vector<int> statuses;  // guarded by lock_
  std::atomic<int> gameThreads{0};
  std::atomic<bool> overlapped_{false};

 private:
  void Record(const std::string& key, bool v) {
    std::lock_guard<std::mutex> hold(lock_);
    changes_.push_back(key + (v ? "=1" : "=0"));
  }

  std::mutex lock_;
  std::vector<std::string> changes_;  // guarded by lock_
  std::atomic<bool> inside_{false};
  std::atomic<int> shown_{0};
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kst-drv-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "LauncherConfig");
    engine_ = std::make_unique<CVXDlownloader>(dir_.string() + "/");
    engine_->SetReleaseBaseUrl(kBase);
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

using Changes = std::vector<std::string>;

TEST_F(DriverTest, UnreachableServerShows19AndLeavesTheEntryDisabled) {
  FakeResource refused;
  refused.refuse = true;
  server_.Put(kBase, refused);
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_EQ(ui_.statuses, std::vector<int>{19});
  EXPECT_EQ(driver_->lastStatus(), 19);
  EXPECT_EQ(ui_.Changes("EntryBtn"), (Changes{"EntryBtn.visible=1", "EntryBtn.enabled=0"}));
  EXPECT_EQ(ui_.gameThreads.load(), 0);
}

TEST_F(DriverTest, PassesRequestedWhileOneRunsNeverOverlap) {
  FakeResource refused;
  refused.refuse = true;
  server_.Put(kBase, refused);
  // The first pass waits in its status until two more passes are requested.
  std::promise<void> firstShowing, requested;
  std::shared_future<void> requestsMade = requested.get_future().share();
  ui_.whileShowing = [&](int before) {
    if (before != 0) return;
    firstShowing.set_value();
    requestsMade.wait();
  };
  driver_->StartUpdateThread();
  firstShowing.get_future().wait();
  driver_->StartUpdateThread();
  driver_->StartUpdateThread();
  requested.set_value();
  driver_->WaitIdle();
  EXPECT_FALSE(ui_.overlapped_.load());
  // The running pass, then one more for both requests made while it ran.
  EXPECT_EQ(ui_.statuses, (std::vector<int>{19, 19}));
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
  // The entry is never disabled in this mode; the completed pass shows it.
  EXPECT_EQ(ui_.Changes("EntryBtn"), (Changes{"EntryBtn.visible=1", "EntryBtn.enabled=1"}));
  EXPECT_TRUE(driver_->gameStartAllowed());
  for (const std::string t : {"timer0", "timer1", "timer2"}) {
    EXPECT_EQ(ui_.Changes(t), (Changes{t + "=1", t + "=0"}));
  }
  EXPECT_EQ(ui_.gameThreads.load(), 1);

  // A second completed pass does not start a second game.
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_EQ(ui_.statuses, (std::vector<int>{1, 17, 1, 17}));
  EXPECT_EQ(ui_.gameThreads.load(), 1);
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
  EXPECT_EQ(ui_.Changes("timer4"), (Changes{"timer4=1", "timer4=0"}));
  EXPECT_EQ(ui_.statuses.back(), 17);
}

}  // namespace
