#include "app/main_frame.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "platform/headless_window.h"
#include "platform/testing/fake_http.h"
#include "skin/skin_resources.h"
#include "tools/archive_writer.h"
#include "ui/control.h"
#include "ui/skin_package.h"
#include "ui/web_browser.h"
#include "update/downloader.h"
#include "update/md5.h"
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
  int MessageBox(const std::string& text, const std::string& caption, unsigned) override {
    std::lock_guard<std::mutex> hold(lock);
    boxes.push_back(text);
    captions.push_back(caption);
    return platform::IDOK;
  }
  bool OpenUrl(const std::string& url) override {
    std::lock_guard<std::mutex> hold(lock);
    opened.push_back(url);
    return true;
  }
  bool IsWindowOpen(const std::string&) override { return false; }
  int StartGame(const GameCommand&, const std::string&) override { return 0; }
  void EndProcess(int code) override { ended = code; }
  unsigned TickCount() override { return 0; }

  std::mutex lock;
  std::vector<std::string> boxes;     // guarded by lock
  std::vector<std::string> captions;  // guarded by lock
  std::vector<std::string> opened;    // guarded by lock
  std::uint64_t freeBytes = 100ULL << 30;
  std::atomic<int> ended{-1};
};

constexpr const char kGroupUrl[] = "https://group.example/join?id=7";

std::string Md5Of(const std::string& text) {
  Md5Context c;
  c.Update(text.data(), text.size());
  return c.HexDigest();
}

// The main window on a display-less native window, against a server that
// refuses every connection: its first pass ends with "unreachable".
class MainFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    dir_.Write("web.xml", std::string("<url><AddQQ>") + kGroupUrl + "</AddQQ></url>");
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
  platform::HeadlessWindow* native() {
    return static_cast<platform::HeadlessWindow*>(frame_->GetHWND());
  }
  // Every armed timer ticks once, as the system would between two messages.
  void TickTimers() {
    std::vector<unsigned> ids;
    for (const auto& t : native()->Timers()) ids.push_back(t.first);
    for (unsigned id : ids) native()->FireTimer(id);
  }
  // Runs one pass as the UI thread lives it: each posted message in turn,
  // with the armed timers ticking between two messages.
  void RunPass() {
    ASSERT_EQ(frame_->StartUpdateThread(), 1);
    for (int round = 0; round < 30000; ++round) {  // a bound for a broken case
      const bool idle = frame_->driver()->Idle();
      bool delivered = false;
      while (native()->DeliverOnePosted()) {
        delivered = true;
        TickTimers();
      }
      if (idle && !delivered) return;
      if (!delivered) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FAIL() << "the pass did not end";
  }
  // Points the window's engine at the in-process server and serves a
  // release there: an empty client list, the installed update tool, and a
  // newer launcher whose archive the server has not got.
  void ServeRelease(const std::string& clientList) {
    frame_->engine()->SetReleaseBaseUrl(kBase);
    frame_->engine()->SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server_));
    frame_->engine()->SetUpdateMode(UpdateMode::Normal);
    Serve("", "");
    Serve("LauncherConfig/update.xml",
          "<Filelist><version>2</version><Files><File Path=\"LauncherConfig/client.md5\" Code=\"" +
              Md5Of(clientList) + "\" Size=\"1\" zipSize=\"1\"/></Files></Filelist>");
    Serve("LauncherConfig/client.md5.7z", Pack7z("client.md5", clientList));
    dir_.Write("Launcher.dat", "tool");
    dir_.Write("Launcher.exe", "launcher v1");
    Serve("ZEPLauncherUpdate/LaunUpdate.xml",
          "<Filelist><Files><File Path=\"Launcher.dat\" Code=\"" + Md5Of("tool") +
              "\" Size=\"4\"/><File Path=\"Launcher.exe\" Code=\"" + Md5Of("launcher v2") +
              "\" Size=\"11\"/></Files></Filelist>");
    dir_.Write("LauncherConfig/localclient.md5", "<Filelist><Files/></Filelist>");
    dir_.Write("scope/login.scope", "");
    // The four-day check would start a second pass on some days of a month.
    frame_->driver()->TakeFourDayCheck();
  }
  void Serve(const std::string& relative, const std::string& body, int status = 200) {
    FakeResource r;
    r.status = status;
    r.body = body;
    server_.Put(kBase + relative, r);
  }
  std::string Pack7z(const std::string& name, const std::string& data) {
    const std::string path = dir_ / "pack.7z";
    std::string error;
    EXPECT_TRUE(PackSevenZip(path, {{name, "", data}}, 1, nullptr, &error)) << error;
    std::string bytes = dir_.Read("pack.7z");
    std::remove(path.c_str());
    return bytes;
  }
  // The completed pass's game-start thread ends once the page hands over a
  // start text; it must not outlive the window.
  void LetTheGameStart() {
    dir_.Write("Kestrava.exe", "#!/bin/sh\n");  // what the system seam is asked to start
    auto* ie =
        static_cast<SkinUI::CWebBrowserUI*>(frame_->Control("ie")->GetInterface("WebBrowser"));
    ie->SetReturnCode("go");
    for (int i = 0; i < 3000 && system_.ended.load() != 0; ++i)  // a bound for a broken case
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(system_.ended.load(), 0);
  }
  std::string Text(const char* name) { return frame_->Control(name)->GetText(); }
  // How often the day log holds `line`.
  int LogCount(const std::string& line) {
    const std::string log = dir_.Read("day.log");
    int n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  }
  bool IsThere(const std::string& relative) {
    struct stat st;
    return ::stat((dir_ / relative).c_str(), &st) == 0;
  }
  bool Visible(const char* name) { return frame_->Control(name)->IsVisible(); }
  bool Enabled(const char* name) { return frame_->Control(name)->IsEnabled(); }
  void Click(int x, int y) {
    frame_->SendMessageW(platform::WM_LBUTTONDOWN, 1, platform::MakeLParam(x, y));
    frame_->SendMessageW(platform::WM_LBUTTONUP, 0, platform::MakeLParam(x, y));
  }

  static constexpr const char* kBase = "http://fake.test/rel/";
  ScratchDir dir_{"main-frame"};
  SkinUI::SkinPackage package_;
  FakeSystem system_;
  FakeHttpServer server_;  // outlives the window's engine, which borrows it
  CMainFrame* frame_ = nullptr;
};

TEST_F(MainFrameTest, StatusesShowTheirTextsAndButtonStates) {
  // The first pass could not reach the server: nothing to repair against.
  EXPECT_EQ(frame_->driver()->lastStatus(), 19);
  EXPECT_EQ(Text("UpdatePercent"), "无法连接到更新服务器");
  EXPECT_FALSE(Enabled("btnRepair"));
  EXPECT_FALSE(Visible("ctrProcess"));
  // A broken published list: a different text the second time.
  frame_->ShowStatus(Status_ClientListMissing);
  EXPECT_EQ(Text("UpdatePercent"), "更新文件列表损坏，请修复");
  EXPECT_TRUE(Enabled("btnRepair"));
  frame_->ShowStatus(Status_ClientListMissing);
  EXPECT_EQ(Text("UpdatePercent"), "损坏无法修复，检查网络环境");
  // Completion: the full bar instead of the progress bar, repair allowed.
  frame_->ShowStatus(Status_Completed);
  EXPECT_TRUE(Visible("cntRrocess"));
  EXPECT_FALSE(Visible("ctrProcess"));
  EXPECT_TRUE(Enabled("btnRepair"));
  // Progress ticks disable repair again while a pass works.
  frame_->ShowStatus(Status_Ready);
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
  frame_->SendMessageW(kStopTimersMessage);
  // Each tick shows its status and re-arms its timer with the period of
  // that timer, whatever period it was first armed with (300 ms here).
  struct Tick {
    int id;
    unsigned period;
    const char* text;  // UpdatePercent after the tick; null: hidden
  };
  for (const Tick& t : {Tick{kFileCheckTimer, 100, "正在进行文件校验 0.00%"},
                        Tick{kFileInfoTimer, 1000, "正在获取下载文件信息 0.00%"},
                        Tick{kDownloadTimer, 100, nullptr}, Tick{kFirstDownloadTimer, 100, nullptr},
                        Tick{kSelfUpdateTimer, 1000, "正在更新登录器 "}}) {
    SCOPED_TRACE(t.id);
    frame_->Control("UpdatePercent")->SetVisible(true);
    frame_->Control("UpdatePercent")->SetText("before the tick");
    frame_->Control("ctrProcess")->SetVisible(false);
    ASSERT_TRUE(pm.SetTimer(bar, t.id, 300));
    const unsigned system = pm.SystemTimerId(bar, t.id);
    ASSERT_EQ(native->Timers().at(system), 300u);
    ASSERT_TRUE(native->FireTimer(system));
    ASSERT_EQ(native->Timers().count(system), 1u) << "re-armed";
    EXPECT_EQ(native->Timers().at(system), t.period);
    if (t.text) {
      EXPECT_TRUE(Visible("UpdatePercent"));
      EXPECT_EQ(Text("UpdatePercent"), t.text);
    } else {
      EXPECT_FALSE(Visible("UpdatePercent"));
      EXPECT_TRUE(Visible("ctrProcess"));  // the progress bar
    }
    EXPECT_FALSE(Enabled("btnRepair"));
    ASSERT_TRUE(pm.KillTimer(bar, t.id));
  }
  // 11027 stops every timer of the bar.
  ASSERT_TRUE(pm.SetTimer(bar, kDownloadTimer, 100));
  ASSERT_TRUE(pm.SetTimer(bar, kFileInfoTimer, 1000));
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
  frame_->engine()->SetUpdateMode(UpdateMode::FullDownload);
  frame_->CheckDiskSpace();
  EXPECT_EQ(Text("Reward"), "/games/ 盘空间不足2GB！");
}

TEST_F(MainFrameTest, ClicksRepairOpenTheGroupPageAndExitAfterSavingTheList) {
  const int passesBefore = LogCount("Check Net Fail");
  frame_->ShowStatus(Status_Cancelled);  // repair is allowed again
  ASSERT_TRUE(Enabled("btnRepair"));
  ASSERT_EQ(Text("UpdatePercent"), "");
  Click(460, 440);  // btnRepair
  EXPECT_EQ(frame_->engine()->GetUpdateMode(), UpdateMode::VerifyFiles);
  Settle();
  // The repair pass ran: it met the unreachable server again.
  EXPECT_EQ(LogCount("Check Net Fail"), passesBefore + 1);
  EXPECT_EQ(Text("UpdatePercent"), "无法连接到更新服务器");
  EXPECT_FALSE(Enabled("btnRepair"));
  Click(930, 115);  // qqAdd: the AddQQ address of web.xml
  ASSERT_EQ(system_.opened.size(), 1u);
  EXPECT_EQ(system_.opened[0], kGroupUrl);
  EXPECT_EQ(system_.opened[0], frame_->webConfig().groupUrl);
  Click(1015, 92);  // ButtonExit
  EXPECT_EQ(system_.ended.load(), 0);
  const std::string log = dir_.Read("day.log");
  EXPECT_NE(log.find("Click Repair Button"), std::string::npos);
  EXPECT_NE(log.find("Click ExitButton"), std::string::npos);
}

// A newer launcher is announced but its archive cannot be fetched: the
// launcher stays as it is and the pass goes on to complete. What the
// self-update showed must end with it.
TEST_F(MainFrameTest, ACompletedPassAfterAFailedLauncherFetchStaysCompleted) {
  ServeRelease("<Filelist><Files/></Filelist>");
  Serve("url.xml", "<servers>new</servers>");
  dir_.Write("url.xml", "<servers>old</servers>");
  dir_.Write("LauncherConfig/update/desktop.ini", "kept");
  dir_.Write("LauncherConfig/update/old/left.txt", "left over");
  RunPass();
  ASSERT_EQ(frame_->driver()->lastStatus(), 17);
  // The self-update was announced (timer 6 armed) and its fetch failed.
  EXPECT_GE(server_.CountRequests(std::string(kBase) + "ZEPLauncherUpdate/Launcher.exe.7z"), 1);
  CControlUI* bar = frame_->Control("ctrProcess");
  EXPECT_NE(frame_->GetPaintManager().SystemTimerId(bar, kSelfUpdateTimer), 0xFFFFFFFFu);
  EXPECT_EQ(dir_.Read("Launcher.exe"), "launcher v1");
  // Completion stays on screen, tick after tick.
  EXPECT_TRUE(native()->Timers().empty());
  for (int tick = 0; tick < 5; ++tick) {
    TickTimers();
    native()->DeliverPosted();
    EXPECT_TRUE(Enabled("btnRepair"));
    EXPECT_EQ(Text("UpdatePercent"), "");
    EXPECT_TRUE(Visible("cntRrocess"));
    EXPECT_FALSE(Visible("ctrProcess"));
  }
  // The server list replaced the old one.
  EXPECT_EQ(dir_.Read("url.xml"), "<servers>new</servers>");
  EXPECT_EQ(LogCount("Download url.xml Success"), 1);
  // The update folder is emptied but for desktop.ini; the list archive goes.
  EXPECT_EQ(dir_.Read("LauncherConfig/update/desktop.ini"), "kept");
  EXPECT_FALSE(IsThere("LauncherConfig/update/old"));
  EXPECT_FALSE(IsThere("LauncherConfig/update/LaunUpdate.xml"));
  EXPECT_FALSE(IsThere("LauncherConfig/update/update.xml"));
  EXPECT_TRUE(IsThere("LauncherConfig/update"));
  EXPECT_FALSE(IsThere("LauncherConfig/client.md5.7z"));
  EXPECT_TRUE(IsThere("LauncherConfig/client.md5"));

  // A second completed pass whose server list cannot be fetched leaves none.
  Serve("url.xml", "", 404);
  frame_->engine()->SetUpdateMode(UpdateMode::Normal);
  RunPass();
  ASSERT_EQ(frame_->driver()->lastStatus(), 17);
  EXPECT_FALSE(IsThere("url.xml"));
  EXPECT_EQ(LogCount("Download url.xml Success"), 1);
  LetTheGameStart();
}

// A file the server never delivers: the failure text must be readable,
// although the download ticks hid the status text while the pass ran.
TEST_F(MainFrameTest, AFailedDownloadShowsItsTextInAVisibleControl) {
  ServeRelease("<Filelist><Files><File Path=\"data/a.bin\" Code=\"" + Md5Of("a") +
               "\" Size=\"1\" Zip=\"0\" zipSize=\"1\"/></Files></Filelist>");
  dir_.Write("LauncherConfig/localclient.md5",
             "<Filelist><Files><File Path=\"data/a.bin\" Code=\"" + Md5Of("old") +
                 "\" Size=\"1\" Zip=\"0\"/></Files></Filelist>");
  RunPass();
  ASSERT_EQ(frame_->driver()->lastStatus(), 7);
  EXPECT_GE(server_.CountRequests(std::string(kBase) + "data/a.bin"), 1);
  EXPECT_TRUE(Visible("UpdatePercent"));
  EXPECT_EQ(Text("UpdatePercent"), "更新文件下载失败");
  EXPECT_TRUE(Enabled("btnRepair"));
  EXPECT_FALSE(Visible("ctrProcess"));
  EXPECT_TRUE(native()->Timers().empty());
}

// A window whose program carries no skin package.
class NoPackageFrame : public CMainFrame {
 public:
  using CMainFrame::CMainFrame;
  int GetResourceID() const override { return 131; }
};

TEST_F(MainFrameTest, AMissingSkinPackageIsReportedAndEndsTheProgram) {
  auto* bare = new NoPackageFrame(&system_);
  ASSERT_TRUE(bare->Create(nullptr, "no package", SkinUI::UI_WNDSTYLE_FRAME, 0));
  ASSERT_EQ(system_.boxes.size(), 1u);
  EXPECT_EQ(system_.boxes[0], "加载资源文件失败");
  EXPECT_EQ(system_.captions[0], "SkinUI");
  EXPECT_EQ(system_.ended.load(), 1);
  bare->SendMessageW(platform::WM_CLOSE);  // the window deletes itself
}

}  // namespace
