#include "ui/web_browser.h"

#include <gtest/gtest.h>

#include <fstream>

#include "ui/ui_test_util.h"
#include "util/scratch_dir.h"

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
  void SetUp() override {
    std::string error;
    platform::PrepareProcessEnvironment();
    ASSERT_TRUE(platform::InitDisplay(&error)) << error << " (run under xvfb-run)";
    testing::UseShippedSkin();
    window_ = new testing::TestWindow();  // the window owns nothing else
    window_->skin_file = "mainframe.xml";
    ASSERT_TRUE(window_->OpenOnScreen());
  }
  void TearDown() override {
    if (window_->GetHWND()) window_->SendMessageW(platform::WM_CLOSE);
    delete window_;
    CPaintManagerUI::ResetResources();
  }
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

}  // namespace
}  // namespace SkinUI
