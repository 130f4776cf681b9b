#include "ui/control.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/resources.h"
#include "ui/dialog_builder.h"
#include "ui/ui_test_util.h"
#include "util/testing/scratch_dir.h"

namespace SkinUI {
namespace {

// A 4 x 4 PNG: left half opaque red, right half opaque magenta.
std::string TwoColourPng() {
  platform::Surface s(4, 4);
  s.GetPainter().FillRect(Rect{0, 0, 2, 4}, 0xFFFF0000);
  s.GetPainter().FillRect(Rect{2, 0, 4, 4}, 0xFFFF00FF);
  ScratchDir dir("two-colour");
  const std::string path = dir / "two_colour.png";
  EXPECT_TRUE(s.WritePng(path, nullptr));
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Drawing : public ::testing::Test {
 protected:
  void Open(const std::string& controls) {
    testing::ZipWriter zip;
    zip.Add("test.xml", "<Window size='100,60' defaultfontcolor='#FFFFFFFF'><VerticalLayout>" +
                            controls + "</VerticalLayout></Window>");
    zip.Add("two.png", TwoColourPng());
    bytes_ = zip.Finish();
    package_.UseZip(bytes_);
    ASSERT_TRUE(window_.Open());
  }
  std::unique_ptr<platform::Surface> Paint() {
    auto s = std::make_unique<platform::Surface>(100, 60);
    s->GetPainter().FillRect(Rect{0, 0, 100, 60}, 0xFF000000);
    window_.Native()->PaintDirty(s->GetPainter(), true);
    return s;
  }

  std::string bytes_;
  testing::TestPackage package_;
  testing::TestWindow window_;
};

TEST_F(Drawing, TextIgnoresTheColoursAlpha) {
  Open(
      "<Text name='a' float='true' pos='0,0,0,0' width='100' height='30' text='WWWW' "
      "textcolor='0x333333'/>"
      "<Text name='b' float='true' pos='0,30,0,0' width='100' height='30' text='WWWW' "
      "textcolor='#FF333333'/>");
  auto s = Paint();
  int inked = 0;
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 100; ++x) {
      EXPECT_EQ(s->PixelAt(x, y), s->PixelAt(x, y + 30)) << x << "," << y;
      if (s->PixelAt(x, y) != 0xFF000000) ++inked;
    }
  }
  EXPECT_GT(inked, 10) << "the text was drawn at all";
}

TEST_F(Drawing, ImageKeysCutMaskAndFade) {
  Open(
      "<Control name='src' float='true' pos='0,0,0,0' width='20' height='20' "
      "bkimage=\"file='two.png' source='2,0,4,4'\"/>"
      "<Control name='mask' float='true' pos='20,0,0,0' width='20' height='20' "
      "bkimage=\"file='two.png' mask='#FFFF00FF'\"/>"
      "<Control name='missing' float='true' pos='40,0,0,0' width='20' height='20' "
      "bkimage='nothere.png' bkcolor='#FF00FF00'/>"
      "<Control name='color' float='true' pos='60,0,0,0' width='20' height='20' "
      "bkimage=\"color='#FF0000FF' dest='0,0,10,10'\"/>");
  auto s = Paint();
  EXPECT_EQ(s->PixelAt(5, 10), 0xFFFF00FFu) << "only the right half of the picture, stretched";
  EXPECT_EQ(s->PixelAt(15, 10), 0xFFFF00FFu);
  EXPECT_EQ(s->PixelAt(23, 10), 0xFFFF0000u);
  EXPECT_EQ(s->PixelAt(37, 10), 0xFF000000u) << "the masked colour is transparent";
  EXPECT_EQ(s->PixelAt(50, 10), 0xFF00FF00u) << "a missing picture leaves the control as it is";
  EXPECT_EQ(s->PixelAt(62, 2), 0xFF0000FFu);
  EXPECT_EQ(s->PixelAt(75, 15), 0xFF000000u) << "dest limits a plain colour too";
}

TEST_F(Drawing, AButtonStateWithoutAPictureShowsTheNormalOne) {
  Open(
      "<Button name='b' float='true' pos='0,0,0,0' width='20' height='20' "
      "normalimage=\"file='two.png' source='0,0,2,4'\" hotimage='absent.png' "
      "pushedimage=\"file='two.png' source='2,0,4,4'\"/>");
  auto* b = window_.Find<CButtonUI>("b");
  window_.SendMessageW(platform::WM_MOUSEMOVE, 0, testing::TestWindow::At(5, 5));
  ASSERT_TRUE(b->GetButtonState() & UISTATE_HOT);
  EXPECT_EQ(Paint()->PixelAt(10, 10), 0xFFFF0000u) << "hot falls back to normal";
  window_.SendMessageW(platform::WM_LBUTTONDOWN, 1, testing::TestWindow::At(5, 5));
  EXPECT_EQ(Paint()->PixelAt(10, 10), 0xFFFF00FFu) << "pushed";
  b->SetEnabled(false);
  EXPECT_EQ(Paint()->PixelAt(10, 10), 0xFFFF0000u) << "no disabled picture: normal";
}

TEST_F(Drawing, AHiddenControlIsNotDrawnAndShowingOrHidingItRepaintsItsPlace) {
  Open(
      "<Control name='c' float='true' pos='10,10,0,0' width='20' height='20' visible='false' "
      "bkcolor='#FFFFFFFF'/>");
  EXPECT_EQ(Paint()->PixelAt(15, 15), 0xFF000000u);
  CControlUI* c = window_.GetPaintManager().FindControl("c");
  for (bool visible : {true, false}) {
    window_.Native()->ClearDirty();
    c->SetVisible(visible);
    const Rect dirty = window_.Native()->Dirty();
    EXPECT_TRUE(dirty.Contains(Point{10, 10}) && dirty.Contains(Point{29, 29})) << visible;
    EXPECT_EQ(Paint()->PixelAt(15, 15), visible ? 0xFFFFFFFFu : 0xFF000000u);
  }
}

TEST_F(Drawing, OneLineTextsStayOnOneLine) {
  // Too long for its button: cut at the edges, not wrapped onto more lines.
  Open(
      "<Button name='b' float='true' pos='0,0,0,0' width='40' height='60' "
      "text='WWWW WWWW WWWW WWWW'/>");
  auto s = Paint();
  int inkAbove = 0, inkMiddle = 0, inkBelow = 0;
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 40; ++x) {
      if (s->PixelAt(x, y) == 0xFF000000) continue;
      (y < 20 ? inkAbove : y < 40 ? inkMiddle : inkBelow)++;
    }
  }
  EXPECT_GT(inkMiddle, 10);
  EXPECT_EQ(inkAbove + inkBelow, 0);
}

TEST(Layout, VerticalLayoutStacksWithPaddingAndSkipsHiddenChildren) {
  CPaintManagerUI pm;
  CDialogBuilder b;
  auto root = b.CreateFromText(
      "<Window size='200,100'><VerticalLayout>"
      "<Control name='top' height='20' padding='5,2,5,3'/>"
      "<Control name='hidden' height='30' visible='false'/>"
      "<Control name='fill'/>"
      "<Control name='bottom' height='10' width='50'/>"
      "<Control name='over' float='true' pos='150,5,0,0' width='10' height='10'/>"
      "</VerticalLayout></Window>",
      nullptr, &pm);
  ASSERT_TRUE(root);
  pm.AttachDialog(root.release());
  EXPECT_EQ(pm.FindControl("top")->GetPos(), (Rect{5, 2, 195, 22}));
  EXPECT_EQ(pm.FindControl("fill")->GetPos(), (Rect{0, 25, 200, 90}));
  EXPECT_EQ(pm.FindControl("bottom")->GetPos(), (Rect{0, 90, 50, 100}));
  EXPECT_EQ(pm.FindControl("over")->GetPos(), (Rect{150, 5, 160, 15}));
  EXPECT_EQ(pm.FindControl(Point{155, 10}), pm.FindControl("over")) << "floats lie on top";
}

TEST(WindowBase, AMissingPackageResourceLeavesAnEmptyWindow) {
  // The launcher's windows ask for "ZIPRES" 130; nothing is registered here.
  platform::ClearResources();
  testing::TestPackage package;
  struct ResourceWindow : testing::TestWindow {
    UILIB_RESOURCETYPE GetResourceType() const override { return UILIB_ZIPRESOURCE; }
    int GetResourceID() const override { return 130; }
  } window;
  ASSERT_TRUE(window.Open());
  EXPECT_EQ(window.GetPaintManager().GetRoot(), nullptr);
  EXPECT_TRUE(CPaintManagerUI::GetResourceZip().empty());
}

}  // namespace
}  // namespace SkinUI
