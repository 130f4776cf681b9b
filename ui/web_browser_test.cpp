#include "ui/web_browser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/find_window.h"
#include "ui/ui_test_util.h"
#include "util/testing/scratch_dir.h"

namespace SkinUI {
namespace {

TEST(WebBrowser, ExternalNamesResolveExactly) {
  EXPECT_EQ(CWebBrowserUI::GetIDOfName("fnEnterGame"), 500);
  EXPECT_EQ(CWebBrowserUI::GetIDOfName("openGame"), 501);
  EXPECT_EQ(CWebBrowserUI::GetIDOfName("fnentergame"), DISPID_UNKNOWN);
  EXPECT_EQ(CWebBrowserUI::GetIDOfName("other"), DISPID_UNKNOWN);
  CWebBrowserUI b;
  EXPECT_TRUE(b.Invoke(501, "x&y"));
  EXPECT_EQ(b.GetReturnCode(), "x&y");
  EXPECT_FALSE(b.Invoke(502, "z"));
  EXPECT_EQ(b.GetReturnCode(), "x&y");
  b.SetReturnCode(nullptr);
  EXPECT_EQ(b.GetReturnCode(), "");
}

TEST(WebBrowser, NavigateBeforeTheBrowserExistsDoesNothing) {
  CWebBrowserUI b;
  EXPECT_TRUE(b.IsDelayCreate());
  b.Navigate2("about:blank");
  b.Navigate2(nullptr);
  EXPECT_FALSE(b.IsCreated());
  EXPECT_EQ(b.GetCurrentUrl(), "");
  b.SetDelayCreate(false);  // no window to live in: still nothing
  EXPECT_FALSE(b.IsCreated());
}

// Records what the page's browser reports.
class Events : public CWebBrowserEventHandler {
 public:
  void DocumentComplete(const std::string& url) override { completed = url; }
  std::string completed;
};

class OnScreen : public ::testing::Test {
 protected:
  const std::string kTitle = "page test " + std::to_string(getpid());
  void SetUp() override {
    std::string error;
    platform::PrepareProcessEnvironment();
    ASSERT_TRUE(platform::InitDisplay(&error)) << error << " (run under xvfb-run)";
    package_.UseShippedSkin();
    window_ = new testing::TestWindow();  // the window owns nothing else
    window_->skin_file = "mainframe.xml";
    ASSERT_TRUE(window_->OpenOnScreen(kTitle));
  }
  void TearDown() override {
    if (window_->GetHWND()) window_->SendMessageW(platform::WM_CLOSE);
    delete window_;
  }
  testing::TestPackage package_;
  testing::TestWindow* window_ = nullptr;
};

TEST_F(OnScreen, APageHandsItsStartTextToTheProgram) {
  ScratchDir dir("start-page");
  const std::string page = dir / "kestrava_start_page.html";
  std::ofstream(page) << "<html><body>start<script>"
                         "window.external.fnEnterGame('abc');</script></body></html>";
  auto* ie = window_->Find<CWebBrowserUI>("ie");
  ASSERT_TRUE(ie);
  Events events;
  ie->SetWebBrowserEventHandler(&events);
  ie->SetDelayCreate(false);
  ASSERT_TRUE(ie->IsCreated());
  ie->Navigate2(("file://" + page).c_str());
  ASSERT_TRUE(testing::PumpUntil([&] { return !ie->GetReturnCode().empty(); }))
      << "the page never called window.external";
  EXPECT_EQ(ie->GetReturnCode(), "abc");
  EXPECT_TRUE(testing::PumpUntil([&] { return !events.completed.empty(); }));
  // openGame behaves the same; other names reach nothing.
  std::ofstream(page) << "<script>try{window.external.nothing('x')}catch(e){}"
                         "window.external.openGame(42);</script>";
  ie->Navigate2(("file://" + page).c_str());
  ASSERT_TRUE(testing::PumpUntil([&] { return ie->GetReturnCode() == "42"; }));
}

TEST_F(OnScreen, OnlyTheTopFrameReachesTheProgram) {
  ScratchDir dir("frames-page");
  const std::string page = dir / "frames.html";
  const std::string after = dir / "after.html";
  // A framed page of another origin tries every way to the program.
  std::ofstream(page)
      << "<script>window.external.fnEnterGame('top');</script>"
         "<iframe sandbox='allow-scripts' srcdoc=\""
         "<script>try{window.external.fnEnterGame('frame')}catch(e){}"
         "try{window.webkit.messageHandlers.kestravaExternal.postMessage("
         "{name:'fnEnterGame',arg:'forged'})}catch(e){}"
         "try{parent.external.fnEnterGame('parent')}catch(e){}</script>\"></iframe>";
  std::ofstream(after) << "<p>nothing to hand over</p>";
  auto* ie = window_->Find<CWebBrowserUI>("ie");
  Events events;
  ie->SetWebBrowserEventHandler(&events);
  ie->SetDelayCreate(false);
  ie->Navigate2(("file://" + page).c_str());
  ASSERT_TRUE(testing::PumpUntil([&] { return events.completed == "file://" + page; }));
  // Everything the first page sent has arrived once the next one loaded.
  ie->Navigate2(("file://" + after).c_str());
  ASSERT_TRUE(testing::PumpUntil([&] { return events.completed == "file://" + after; }));
  EXPECT_EQ(ie->GetReturnCode(), "top");
}

TEST_F(OnScreen, AModalDialogKeepsClicksFromItsOwnersPage) {
  ScratchDir dir("modal-page");
  const std::string page = dir / "buttons.html";
  // The left button counts its clicks; the right one reports the count.
  std::ofstream(page) << "<body style='margin:0'><script>var n=0;</script>"
                         "<button style='width:300px;height:240px' onclick='++n'>a</button>"
                         "<button style='width:300px;height:240px' "
                         "onclick=\"window.external.fnEnterGame('left ' + n)\">b</button>"
                         "<script>window.external.fnEnterGame('ready');</script></body>";
  auto* ie = window_->Find<CWebBrowserUI>("ie");
  ie->SetDelayCreate(false);
  ie->Navigate2(("file://" + page).c_str());
  ASSERT_TRUE(testing::PumpUntil([&] { return ie->GetReturnCode() == "ready"; }));
  const unsigned long owner = platform::FindTopLevelWindow(kTitle);
  ASSERT_NE(owner, 0u);
  auto click = [owner](int x) {
    const std::string command = "xdotool mousemove --window " + std::to_string(owner) + " " +
                                std::to_string(x) + " 250 click 1 >/dev/null 2>&1";
    return std::system(command.c_str());
  };
  testing::TestWindow dialog;
  dialog.skin_file = "vxmessagebox.xml";
  CWindowWnd::SetNativeWindowFactory(&platform::CreateGtkWindow);
  ASSERT_TRUE(dialog.Create(window_->GetHWND(), "modal", 0, 0, 0, 0, 0, 0));
  CWindowWnd::SetNativeWindowFactory(&platform::CreateHeadlessWindow);
  // Inside the modal loop: click the owner's left button, then let the loop
  // run some rounds (each handles one queued display event) so that the
  // click's events are handled while the dialog is modal, then close.
  dialog.on_message = [&](unsigned msg) {
    if (msg == platform::WM_USER + 1) {
      EXPECT_EQ(click(533), 0);
      platform::SyncDisplay();  // the click's events are now queued here
    }
    if (msg < platform::WM_USER + 40) dialog.PostMessageW(msg + 1);
    if (msg == platform::WM_USER + 40) dialog.Close(1);
  };
  dialog.PostMessageW(platform::WM_USER + 1);
  EXPECT_EQ(dialog.ShowModal(), 1);
  // The page handles clicks in order: the right button tells whether the
  // left one was reached while the dialog was modal.
  ASSERT_EQ(click(833), 0);
  ASSERT_TRUE(testing::PumpUntil([&] { return ie->GetReturnCode() != "ready"; }));
  EXPECT_EQ(ie->GetReturnCode(), "left 0") << "the page took a click while a dialog was modal";
  ASSERT_EQ(click(533), 0);
  ASSERT_EQ(click(833), 0);
  EXPECT_TRUE(testing::PumpUntil([&] { return ie->GetReturnCode() == "left 1"; }));
}

}  // namespace
}  // namespace SkinUI
