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

#include "app/launcher_settings.h"
#include "platform/testing/fake_http.h"
#include "update/downloader.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kBase = "http://fake.test/rel/";

// Records what the driver told the window, in order; flags passes that
// overlap. Called on the pass thread; lock_ guards what the test reads while
// passes may run.
class RecordingUi : public UpdateUi {
 public:
  void ShowStatus(UpdateStatus status) override {
    if (inside_.exchange(true)) overlapped_ = true;
    if (whileShowing) whileShowing(shown_++);
    {
      std::lock_guard<std::mutex> hold(lock_);
      statuses.push_back(status);
    }
    inside_ = false;
  }
  void StartProgress(ProgressPhase phase) override { Record(PhaseName(phase) + "=1"); }
  void StopProgress(ProgressPhase phase) override { Record(PhaseName(phase) + "=0"); }
  void ShowEntry(EntryState state) override { Record("entry." + EntryName(state)); }
  void EndFirstDownload() override { Record("firstDownload.end"); }

  // The recorded events of one kind ("entry", "firstDownloadPhase"), in
  // order: "entry.locked", "firstDownloadPhase=1", ...
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
  std::atomic<bool> overlapped_{false};

 private:
  static std::string PhaseName(ProgressPhase phase) {
    switch (phase) {
      case ProgressPhase::kFileCheck:
        return "fileCheckPhase";
      case ProgressPhase::kFileInfo:
        return "fileInfoPhase";
      case ProgressPhase::kDownload:
        return "downloadPhase";
      case ProgressPhase::kFirstDownload:
        return "firstDownloadPhase";
      case ProgressPhase::kSelfUpdate:
        return "selfUpdatePhase";
    }
    return "?";
  }
  static std::string EntryName(EntryState state) {
    switch (state) {
      case EntryState::kPassStarting:
        return "passStarting";
      case EntryState::kFullDownloadStarting:
        return "fullDownloadStarting";
      case EntryState::kLocked:
        return "locked";
      case EntryState::kReadyToPlay:
        return "readyToPlay";
    }
    return "?";
  }
  void Record(const std::string& change) {
    std::lock_guard<std::mutex> hold(lock_);
    changes_.push_back(change);
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
    MakeDriver(Options());
  }
  // Restarts come at once; the game-start hook is counted; the four-day
  // check is taken unless a test lets it run.
  UpdateDriver::Options Options() {
    UpdateDriver::Options options;
    options.restartDelayMs = 0;
    options.gameStartHook = [this] { ++gameStarts_; };
    return options;
  }
  void MakeDriver(UpdateDriver::Options options, bool fourDayCheck = false) {
    driver_.reset();
    driver_ = std::make_unique<UpdateDriver>(engine_.get(), &ui_, std::move(options));
    if (!fourDayCheck) driver_->TakeFourDayCheck();
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
  std::atomic<int> gameStarts_{0};
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
  EXPECT_EQ(ui_.Changes("entry"), (Changes{"entry.passStarting"}));
  EXPECT_EQ(gameStarts_.load(), 0);
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
  FakeResource serverList;
  serverList.body = "<servers/>";
  server_.Put(std::string(kBase) + "url.xml", serverList);
  engine_->SetUpdateMode(UpdateMode::FullDownload);
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_EQ(ui_.statuses, (std::vector<int>{1, 17}));
  EXPECT_EQ(server_.CountRequests(std::string(kBase) + "LauncherConfig/update.xml"), 0);
  // The entry is never locked in this mode; the completed pass offers it.
  EXPECT_EQ(ui_.Changes("entry"), (Changes{"entry.fullDownloadStarting", "entry.readyToPlay"}));
  EXPECT_TRUE(driver_->gameStartAllowed());
  for (const std::string t : {"fileCheckPhase", "fileInfoPhase", "downloadPhase"}) {
    EXPECT_EQ(ui_.Changes(t), (Changes{t + "=1", t + "=0"}));
  }
  EXPECT_EQ(gameStarts_.load(), 1);
  // The completed pass fetched the server list.
  std::ifstream fetched(dir_ / "url.xml");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(fetched), {}), "<servers/>");

  // A second completed pass does not start a second game.
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_EQ(ui_.statuses, (std::vector<int>{1, 17, 1, 17}));
  EXPECT_EQ(gameStarts_.load(), 1);
}

TEST_F(DriverTest, BrokenLocalListIsDeletedAndThePassRestarts) {
  ReachableServer();
  Write("LauncherConfig/client.md5", "<Filelist><Files/></Filelist>");
  Write("LauncherConfig/localclient.md5", "not xml <");
  fs::create_directories(dir_ / "scope");
  Write("scope/login.scope", "");
  engine_->SetUpdateMode(UpdateMode::FullDownload);
  UpdateDriver::Options options = Options();
  options.maxRestarts = 1;
  MakeDriver(std::move(options));
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  ASSERT_GE(ui_.statuses.size(), 2u);
  EXPECT_EQ(ui_.statuses[1], 31);
  // The restarted pass found no local list and ran the first download.
  EXPECT_EQ(ui_.Changes("firstDownloadPhase"),
            (Changes{"firstDownloadPhase=1", "firstDownloadPhase=0"}));
  EXPECT_EQ(ui_.statuses.back(), 17);
}

// The periodic full check is the driver's: a completed pass runs it, but not
// the pass that ran a first download, which ends that download's display.
TEST_F(DriverTest, ACompletedPassRunsTheFourDayCheckUnlessItRanTheFirstDownload) {
  ReachableServer();
  Write("LauncherConfig/client.md5", "<Filelist><Files/></Filelist>");
  fs::create_directories(dir_ / "scope");
  Write("scope/login.scope", "");
  engine_->SetUpdateMode(UpdateMode::FullDownload);
  UpdateDriver::Options options = Options();
  options.fourDayCheckDay = 8;
  MakeDriver(std::move(options), true);
  const std::string ini = dir_.string() + "/LauncherConfig/check.ini";

  driver_->StartUpdateThread();  // no local list: a first download
  driver_->WaitIdle();
  EXPECT_EQ(ui_.statuses, (std::vector<int>{1, 17}));
  EXPECT_EQ(ui_.Changes("firstDownloadPhase"),
            (Changes{"firstDownloadPhase=1", "firstDownloadPhase=0"}));
  EXPECT_EQ(ui_.Changes("firstDownload"), (Changes{"firstDownload.end"}));
  EXPECT_EQ(ReadIniValue(ini, "check", "sign", "-1"), "-1");

  engine_->SetUpdateMode(UpdateMode::FullDownload);
  driver_->StartUpdateThread();
  driver_->WaitIdle();
  EXPECT_EQ(ReadIniValue(ini, "check", "sign", "-1"), "8");
  EXPECT_EQ(engine_->GetUpdateMode(), UpdateMode::VerifyFiles);
  // The full check it started ran as a pass of its own, entry locked.
  ASSERT_GT(ui_.statuses.size(), 4u);
  EXPECT_EQ(ui_.statuses[3], 17);
  EXPECT_EQ(ui_.Changes("entry").back(), "entry.passStarting");
  EXPECT_EQ(ui_.Changes("firstDownload"), (Changes{"firstDownload.end"}));
  EXPECT_EQ(gameStarts_.load(), 1);
}

}  // namespace
