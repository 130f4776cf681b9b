#include "app/main_frame.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "diag/log.h"
#include "platform/headless_window.h"
#include "skin/skin_resources.h"
#include "ui/control.h"
#include "ui/skin_package.h"
#include "update/downloader.h"
#include "util/testing/scratch_dir.h"

namespace {

using SkinUI::CControlUI;

// Answers for the system: a disk of a chosen size, a player who closes every
// message box at once, and no process ever ends.
class FakeSystem : public LauncherSystem {
 public:
  bool QueryDiskSpace(const std::string&, platform::DiskSpace* out) override {
    *out = platform::DiskSpace{"/games", freeBytes, 8ULL << 40, freeBytes};
    return true;
  }
  int MessageBox(const std::string& text, const std::string&, unsigned) override {
    std::lock_guard<std::mutex> hold(lock);
    boxes.push_back(text);
    return platform::IDOK;
  }
  bool OpenUrl(const std::string& url) override {
    std::lock_guard<std::mutex> hold(lock);
    opened.push_back(url);
    return true;
  }
  bool IsWindowOpen(const std::string&) override { return false; }
  int StartGame(const std::string&, const std::string&) override { return 0; }
  void EndProcess(int code) override { ended = code; }
  unsigned TickCount() override { return 0; }

  std::mutex lock;
  std::vector<std::string> boxes;   // guarded by lock
  std::vector<std::string> opened;  // guarded by lock
  std::uint64_t freeBytes = 100ULL << 30;
  std::atomic<int> ended{-1};
};

// The main window on a display-less native window, against a server that
// refuses every connection: its first pass ends with "unreachable".
class MainFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("KESTRAVA_RELEASE_URL", "http://127.0.0.1:1/release/", 1);
    SetLogFile(dir_ / "day.log");
    skin::RegisterSkinResources();
    SkinUI::CPaintManagerUI::SetSkinPackage(&package_);
    SkinUI::CPaintManagerUI::SetInstance(dir_ / "Launcher.exe");
    SkinUI::CWindowWnd::SetNativeWindowFactory(&platform::CreateHeadlessWindow);
    frame_ = new CMainFrame(&system_);
    ASSERT_TRUE(frame_->Create(nullptr, kMainWindowTitle, SkinUI::UI_WNDSTYLE_FRAME, 0));
    frame_->InitWindow();
    Settle();
  }
  void TearDown() override {
    frame_->driver()->WaitIdle();
    frame_->SendMessageW(platform::WM_CLOSE);  // the window deletes itself
  }
  // Waits for the passes to end, then runs what they queued for the window.
  void Settle() {
    frame_->driver()->WaitIdle();
    static_cast<platform::HeadlessWindow*>(frame_->GetHWND())->DeliverPosted();
  }
  std::string Text(const char* name) { return frame_->Control(name)->GetText(); }
  bool Visible(const char* name) { return frame_->Control(name)->IsVisible(); }
  bool Enabled(const char* name) { return frame_->Control(name)->IsEnabled(); }
  void Click(int x, int y) {
    frame_->SendMessageW(platform::WM_LBUTTONDOWN, 1, platform::MakeLParam(x, y));
    frame_->SendMessageW(platform::WM_LBUTTONUP, 0, platform::MakeLParam(x, y));
  }

  ScratchDir dir_{"main-frame"};
  SkinUI::SkinPackage package_;
  FakeSystem system_;
  CMainFrame* frame_ = nullptr;
};

TEST_F(MainFrameTest, StatusesShowTheirTextsAndButtonStates) {
  // The first pass could not reach the server: nothing to repair against.
  EXPECT_EQ(frame_->driver()->lastStatus(), 19);
  EXPECT_EQ(Text("UpdatePercent"), "无法连接到更新服务器");
  EXPECT_FALSE(Enabled("btnRepair"));
  EXPECT_FALSE(Visible("ctrProcess"));
  // A broken published list: a different text the second time.
  frame_->ShowStatus(30);
  EXPECT_EQ(Text("UpdatePercent"), "更新文件列表损坏，请修复");
  EXPECT_TRUE(Enabled("btnRepair"));
  frame_->ShowStatus(30);
  EXPECT_EQ(Text("UpdatePercent"), "损坏无法修复，检查网络环境");
  // Completion: the full bar instead of the progress bar, repair allowed.
  frame_->ShowStatus(17);
  EXPECT_TRUE(Visible("cntRrocess"));
  EXPECT_FALSE(Visible("ctrProcess"));
  EXPECT_TRUE(Enabled("btnRepair"));
  // Progress ticks disable repair again while a pass works.
  frame_->ShowStatus(32);
  EXPECT_FALSE(Enabled("btnRepair"));
  EXPECT_EQ(Text("UpdatePercent"), "正在进行文件校验 0.00%");
}

TEST_F(MainFrameTest, TimersAndPrivateMessagesDriveTheDisplay) {
  CControlUI* bar = frame_->Control("ctrProcess");
  SkinUI::CPaintManagerUI& pm = frame_->GetPaintManager();
  auto* native = static_cast<platform::HeadlessWindow*>(frame_->GetHWND());
  // The self-update message shows its text and ticks every second.
  frame_->SendMessageW(kSelfUpdateMessage);
  EXPECT_EQ(Text("UpdatePercent"), "正在更新登录器 ");
  const unsigned selfUpdate = pm.SystemTimerId(bar, kSelfUpdateTimer);
  ASSERT_NE(selfUpdate, 0xFFFFFFFFu);
  EXPECT_EQ(native->Timers().at(selfUpdate), 1000u);
  // A download tick shows the bar, hides the percentage and re-arms itself.
  ASSERT_TRUE(pm.SetTimer(bar, kDownloadTimer, 100));
  const unsigned download = pm.SystemTimerId(bar, kDownloadTimer);
  ASSERT_TRUE(native->FireTimer(download));
  EXPECT_TRUE(Visible("ctrProcess"));
  EXPECT_FALSE(Visible("UpdatePercent"));
  EXPECT_EQ(native->Timers().count(download), 1u);
  // 11027 stops every timer of the bar.
  frame_->SendMessageW(kStopTimersMessage);
  EXPECT_TRUE(native->Timers().empty());
  // Escape is swallowed: the window stays.
  frame_->SendMessageW(platform::WM_KEYDOWN, platform::VK_ESCAPE);
  frame_->SendMessageW(platform::WM_KEYUP, platform::VK_ESCAPE);
  native->DeliverPosted();
  EXPECT_FALSE(native->Destroyed());
}

TEST_F(MainFrameTest, LowDiskSpaceWarnsAndAsksThePlayerBelowThreeHundredMegabytes) {
  system_.freeBytes = 400ULL << 20;
  frame_->CheckDiskSpace();
  EXPECT_TRUE(Visible("Reward"));
  EXPECT_EQ(Text("Reward"), "/games/盘 空间不足500MB！");
  EXPECT_TRUE(system_.boxes.empty());
  system_.freeBytes = 250ULL << 20;
  frame_->CheckDiskSpace();
  ASSERT_EQ(system_.boxes.size(), 1u);
  EXPECT_EQ(system_.boxes[0], "/games盘  空间不足！");
  // A full download needs 2 GiB.
  system_.freeBytes = 1ULL << 30;
  frame_->engine()->SetUpdateMode(FullDownload);
  frame_->CheckDiskSpace();
  EXPECT_EQ(Text("Reward"), "/games/ 盘空间不足2GB！");
}

TEST_F(MainFrameTest, ClicksRepairOpenTheGroupPageAndExitAfterSavingTheList) {
  frame_->ShowStatus(36);  // cancelled: repair is allowed again
  ASSERT_TRUE(Enabled("btnRepair"));
  Click(460, 440);  // btnRepair
  EXPECT_EQ(frame_->engine()->GetUpdateMode(), VerifyFiles);
  Settle();
  EXPECT_EQ(frame_->driver()->lastStatus(), 19) << "the repair pass ran";
  Click(930, 115);  // qqAdd
  ASSERT_EQ(system_.opened.size(), 1u);
  EXPECT_EQ(system_.opened[0], frame_->webConfig().groupUrl);
  Click(1015, 92);  // ButtonExit
  EXPECT_EQ(system_.ended.load(), 0);
  const std::string log = dir_.Read("day.log");
  EXPECT_NE(log.find("Click Repair Button"), std::string::npos);
  EXPECT_NE(log.find("Click ExitButton"), std::string::npos);
}

}  // namespace
