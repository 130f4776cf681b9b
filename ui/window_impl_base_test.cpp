#include "ui/window_impl_base.h"

#include <gtest/gtest.h>

#include "ui/ui_test_util.h"

namespace SkinUI {
namespace {

using platform::MakeLParam;
using testing::TestWindow;

// The shipped main skin on a display-less window at the screen's origin, so
// screen and client coordinates agree.
class MainSkinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    package_.UseShippedSkin();
    window_.skin_file = "mainframe.xml";
    ASSERT_TRUE(window_.Open());
  }

  LRESULT HitTest(int x, int y) {
    return window_.SendMessageW(platform::WM_NCHITTEST, 0, MakeLParam(x, y));
  }
  void Press(int x, int y) { window_.SendMessageW(platform::WM_LBUTTONDOWN, 1, MakeLParam(x, y)); }
  void MoveTo(int x, int y) { window_.SendMessageW(platform::WM_MOUSEMOVE, 0, MakeLParam(x, y)); }
  void Release(int x, int y) { window_.SendMessageW(platform::WM_LBUTTONUP, 0, MakeLParam(x, y)); }
  void Click(int x, int y) {
    Press(x, y);
    Release(x, y);
  }
  void Key(WPARAM vk) { window_.SendMessageW(platform::WM_KEYDOWN, vk, 0); }

  testing::TestPackage package_;
  TestWindow window_;
};

TEST_F(MainSkinTest, WindowTakesTheSkinsSize) {
  EXPECT_EQ(window_.Native()->GetClientSize().cx, 1094);
  EXPECT_EQ(window_.Native()->GetClientSize().cy, 516);
  EXPECT_EQ(window_.GetStyle() & WS_CAPTION, 0u);
}

TEST_F(MainSkinTest, HitTestingSizesAtTheBordersAndDragsOnTheBackground) {
  EXPECT_EQ(HitTest(2, 2), platform::HTTOPLEFT);
  EXPECT_EQ(HitTest(500, 1), platform::HTTOP);
  EXPECT_EQ(HitTest(1093, 2), platform::HTTOPRIGHT);
  EXPECT_EQ(HitTest(1, 300), platform::HTLEFT);
  EXPECT_EQ(HitTest(1092, 300), platform::HTRIGHT);
  EXPECT_EQ(HitTest(500, 515), platform::HTBOTTOM);
  EXPECT_EQ(HitTest(1093, 515), platform::HTBOTTOMRIGHT);
  EXPECT_EQ(HitTest(100, 300), platform::HTCAPTION) << "background";
  EXPECT_EQ(HitTest(600, 440), platform::HTCLIENT) << "the Text ctrProcess";
  EXPECT_EQ(HitTest(1010, 90), platform::HTCLIENT) << "the Button ButtonExit";
  EXPECT_EQ(HitTest(600, 300), platform::HTCAPTION) << "the page's control is no Text/Button";
}

TEST_F(MainSkinTest, EscapePostsCloseWithOneAndReturnIsPassedOn) {
  platform::HeadlessWindow* native = window_.Native();
  Key(platform::VK_RETURN);
  EXPECT_EQ(native->DeliverPosted(), 0);
  Key(platform::VK_ESCAPE);
  EXPECT_FALSE(native->Destroyed()) << "posted, not sent";
  EXPECT_EQ(native->DeliverPosted(), 1);
  EXPECT_TRUE(native->Destroyed());
  EXPECT_EQ(window_.GetHWND(), nullptr);
}

TEST_F(MainSkinTest, ButtonClicksWithTheMouse) {
  Click(1010, 90);
  EXPECT_EQ(window_.clicks, (std::vector<std::string>{"ButtonExit"}));
  window_.clicks.clear();
  // Press, leave, release: no click.
  Press(1010, 90);
  MoveTo(700, 300);
  EXPECT_FALSE(window_.Find<CButtonUI>("ButtonExit")->GetButtonState() & UISTATE_PUSHED);
  Release(700, 300);
  EXPECT_TRUE(window_.clicks.empty());
  // Press, leave, come back, release: a click.
  Press(1010, 90);
  MoveTo(700, 300);
  MoveTo(1011, 91);
  EXPECT_TRUE(window_.Find<CButtonUI>("ButtonExit")->GetButtonState() & UISTATE_PUSHED);
  Release(1011, 91);
  EXPECT_EQ(window_.clicks.size(), 1u);
}

TEST_F(MainSkinTest, HotStateAndHandCursorFollowThePointer) {
  auto* b = window_.Find<CButtonUI>("btnRepair");
  MoveTo(450, 430);
  EXPECT_TRUE(b->GetButtonState() & UISTATE_HOT);
  EXPECT_EQ(window_.Native()->Cursor(), platform::CursorKind::kHand);
  MoveTo(100, 300);
  EXPECT_FALSE(b->GetButtonState() & UISTATE_HOT);
  EXPECT_EQ(window_.Native()->Cursor(), platform::CursorKind::kArrow);
}

TEST_F(MainSkinTest, DisabledOrHiddenButtonsSendNoClick) {
  auto* repair = window_.Find<CButtonUI>("btnRepair");
  repair->SetEnabled(false);
  Click(450, 430);
  repair->SetFocus();
  Key(platform::VK_SPACE);
  Key(platform::VK_RETURN);
  EXPECT_FALSE(repair->Activate());
  EXPECT_TRUE(window_.clicks.empty());

  auto* exit = window_.Find<CButtonUI>("ButtonExit");
  exit->SetVisible(false);
  Click(1010, 90);
  EXPECT_FALSE(exit->Activate());
  EXPECT_TRUE(window_.clicks.empty());
}

TEST_F(MainSkinTest, SpaceOrReturnActivateTheFocusedButton) {
  Click(450, 430);  // focuses btnRepair
  window_.clicks.clear();
  Key(platform::VK_SPACE);
  Key(platform::VK_RETURN);
  EXPECT_EQ(window_.clicks, (std::vector<std::string>{"btnRepair", "btnRepair"}));
}

TEST_F(MainSkinTest, SystemCloseClosesAndMinimiseIconifies) {
  window_.SendMessageW(platform::WM_SYSCOMMAND, platform::SC_MINIMIZE, 0);
  EXPECT_TRUE(window_.Native()->IsMinimized());
  window_.SendMessageW(platform::WM_SYSCOMMAND, platform::SC_CLOSE, 0);
  EXPECT_EQ(window_.GetHWND(), nullptr);
}

TEST_F(MainSkinTest, ProgressBarDrawsOnlyTheCutPartOfThePicture) {
  CControlUI* bar = window_.GetPaintManager().FindControl("ctrProcess");
  const Rect pos = bar->GetPos();
  ASSERT_EQ(pos, (Rect{517, 421, 942, 458}));
  const int half = bar->GetWidth() / 2;
  platform::Surface before(1094, 516), after(1094, 516);
  window_.Native()->PaintDirty(before.GetPainter(), true);
  window_.Native()->ClearDirty();
  char image[160];
  std::snprintf(image, sizeof image,
                "file='Schedule_background.png' dest='2,0,%d,37' source='2,0,%d,37'", half, half);
  bar->SetAttribute("bkimage", image);
  EXPECT_EQ(window_.Native()->Dirty(), pos) << "only the bar is repainted";
  window_.Native()->PaintDirty(after.GetPainter(), true);
  const int y = pos.top + 18;
  EXPECT_NE(after.PixelAt(pos.left + 20, y), before.PixelAt(pos.left + 20, y)) << "bar shown";
  EXPECT_NE(after.PixelAt(pos.left + half - 5, y), before.PixelAt(pos.left + half - 5, y));
  EXPECT_EQ(after.PixelAt(pos.left + half + 5, y), before.PixelAt(pos.left + half + 5, y))
      << "nothing past the cut";
  // A width of 0 and an empty image string both draw nothing.
  bar->SetAttribute("bkimage", "file='Schedule_background.png' dest='2,0,0,37' source='2,0,0,37'");
  platform::Surface zero(1094, 516);
  window_.Native()->PaintDirty(zero.GetPainter(), true);
  EXPECT_EQ(zero.PixelAt(pos.left + 20, y), before.PixelAt(pos.left + 20, y));
  bar->SetBkImage("");
  EXPECT_EQ(bar->GetBkImage(), "");
}

}  // namespace
}  // namespace SkinUI
