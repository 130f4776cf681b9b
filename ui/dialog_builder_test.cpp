#include "ui/dialog_builder.h"

#include <gtest/gtest.h>

#include "ui/button.h"
#include "ui/container.h"
#include "ui/label.h"
#include "ui/ui_test_util.h"
#include "ui/web_browser.h"

namespace SkinUI {
namespace {

TEST(Values, ColoursAcceptHashAndHexPrefixes) {
  std::uint32_t a = 0, b = 0, c = 1;
  ASSERT_TRUE(ParseColor("#80555555", &a));
  ASSERT_TRUE(ParseColor("0x80555555", &b));
  EXPECT_EQ(a, 0x80555555u);
  EXPECT_EQ(a, b);
  ASSERT_TRUE(ParseColor("0x333333", &c));
  EXPECT_EQ(c, 0x00333333u);
  EXPECT_FALSE(ParseColor("white", &c));
  EXPECT_EQ(c, 0x00333333u) << "a bad colour leaves the old one";
}

TEST(Values, RectanglesFillMissingNumbersWithZero) {
  EXPECT_EQ(ParseRect("999,76,0"), (Rect{999, 76, 0, 0}));
  EXPECT_EQ(ParseRect("4,4,6,6"), (Rect{4, 4, 6, 6}));
  EXPECT_EQ(ParseRect(""), (Rect{}));
  EXPECT_EQ(ParseRect("1,x,3"), (Rect{1, 0, 0, 0}));
  // Absurd numbers stop at the bound, so that the drawing's sums cannot overflow.
  EXPECT_EQ(ParseRect("-2147483648,99999999999,7"), (Rect{-kMaxSkinNumber, kMaxSkinNumber, 7, 0}));
  EXPECT_EQ(ParseInt("-99999999999"), -kMaxSkinNumber);
}

TEST(Values, ImageStringsKeepEveryKey) {
  TImageInfo i = ParseImageString(
      "file='Schedule_background.png' dest='2,0,212,37' source='2,0,212,37' corner='1,2,3,4' "
      "fade='128' mask='#FFFF00FF' xtiled='true'");
  EXPECT_EQ(i.file, "Schedule_background.png");
  EXPECT_EQ(i.dest, (Rect{2, 0, 212, 37}));
  EXPECT_EQ(i.source, (Rect{2, 0, 212, 37}));
  EXPECT_EQ(i.corner, (Rect{1, 2, 3, 4}));
  EXPECT_EQ(i.fade, 128);
  EXPECT_TRUE(i.has_mask);
  EXPECT_EQ(i.mask, 0xFFFF00FFu);
  EXPECT_TRUE(i.xtiled);
  EXPECT_EQ(ParseImageString("launcher_BJ.png").file, "launcher_BJ.png");
}

std::unique_ptr<CControlUI> Build(const std::string& xml, CPaintManagerUI* pm,
                                  std::string* error = nullptr) {
  CDialogBuilder b;
  auto root = b.CreateFromText(xml, nullptr, pm);
  if (error) *error = b.LastError();
  return root;
}

TEST(Markup, PosThenWidthAndHeightPlaceAFloatingControl) {
  CPaintManagerUI pm;
  auto root = Build(
      "<Window size='1094,516'><VerticalLayout>"
      "<Button name='qqAdd' float='true' pos='893,105,0,0' width='90' height='22'/>"
      "<Text name='t' float='true' width='5' height='6' pos='10,20,30,60'/>"
      "</VerticalLayout></Window>",
      &pm);
  ASSERT_TRUE(root);
  pm.AttachDialog(root.release());
  EXPECT_EQ(pm.FindControl(Point{900, 110}), pm.FindControl("qqAdd"));
  EXPECT_EQ(pm.FindControl("qqAdd")->GetPos(), (Rect{893, 105, 983, 127}));
  // Written the other way round, pos decides the size.
  EXPECT_EQ(pm.FindControl("t")->GetPos(), (Rect{10, 20, 30, 60}));
}

TEST(Markup, LaterAttributesOverrideAndUnknownElementsAreSkipped) {
  CPaintManagerUI pm;
  std::string error;
  auto root = Build(
      "<Window size='200,100' defaultfontcolor='#FFFFFFFF' mycustom='v'>"
      "<!-- a comment -->"
      "<Font id='3' name='微软雅黑' size='15' bold='true'/>"
      "<VerticalLayout>"
      "<Slider name='s'><Button name='inside'/></Slider>"
      "<Text name='a' text='first' visible='false' text='second' visible='true'/>"
      "</VerticalLayout></Window>",
      &pm, &error);
  ASSERT_TRUE(root) << error;
  pm.AttachDialog(root.release());
  EXPECT_FALSE(pm.FindControl("s"));
  EXPECT_FALSE(pm.FindControl("inside")) << "children of a skipped element go too";
  CControlUI* a = pm.FindControl("a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->GetText(), "second");
  EXPECT_TRUE(a->IsVisible());
  EXPECT_EQ(pm.GetDefaultFontColor(), 0xFFFFFFFFu);
  EXPECT_EQ(pm.Attributes().custom["mycustom"], "v");
}

TEST(Markup, MalformedSkinsGiveNoTreeAndAReason) {
  std::string error;
  EXPECT_FALSE(Build("<Window><VerticalLayout></Window>", nullptr, &error));
  EXPECT_EQ(error, "Unmatched closing tag");
  EXPECT_FALSE(Build("<Window><Control name='x></Window>", nullptr, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(Build("", nullptr, &error));
  EXPECT_EQ(error, "Expected start tag");
  EXPECT_FALSE(Build("<Window size='1,1'/>", nullptr, &error)) << "a window without controls";
}

// The shipped main skin: every control of the main window where it belongs.
TEST(Markup, MainSkinHasTheMainWindowsControls) {
  testing::TestPackage package;
  package.UseShippedSkin();
  CPaintManagerUI pm;
  CDialogBuilder b;
  auto root = b.Create("mainframe.xml", nullptr, &pm);
  ASSERT_TRUE(root) << b.LastError();
  pm.AttachDialog(root.release());
  const TWindowAttributes& a = pm.Attributes();
  EXPECT_EQ(a.size.cx, 1094);
  EXPECT_EQ(a.size.cy, 516);
  EXPECT_EQ(a.sizebox, (Rect{4, 4, 6, 6}));
  EXPECT_EQ(a.caption, (Rect{0, 0, 0, 720}));
  EXPECT_TRUE(a.layered);
  pm.FindControl(Point{0, 0});  // lays the tree out
  struct Expect {
    const char* name;
    const char* cls;
    Rect pos;
    bool visible;
  } expected[] = {
      {"ButtonExit", "Button", {999, 76, 1034, 111}, true},
      {"ButtonMin", "Button", {946, 46, 987, 87}, true},
      {"qqAdd", "Button", {893, 105, 983, 127}, true},
      {"DownloadSpeed", "Text", {800, 398, 940, 414}, true},
      {"CurrentVerTxt", "Text", {535, 430, 755, 446}, false},
      {"Reward", "Text", {547, 393, 767, 418}, false},
      {"ctrProcess", "Text", {517, 421, 942, 458}, true},
      {"ie", "WebBrowser", {383, 130, 983, 370}, true},
      {"UpdatePercent", "Text", {750, 398, 941, 415}, true},
      {"cntRrocess", "Control", {517, 421, 942, 458}, false},
      {"btnRepair", "Button", {426, 423, 511, 460}, true},
  };
  for (const Expect& e : expected) {
    CControlUI* c = pm.FindControl(e.name);
    ASSERT_TRUE(c) << e.name;
    EXPECT_EQ(c->GetClass(), e.cls) << e.name;
    EXPECT_EQ(c->GetPos(), e.pos) << e.name;
    EXPECT_EQ(c->IsVisible(), e.visible) << e.name;
  }
  for (const char* absent : {"EntryBtn", "giftpack", "fullDown", "OfficialWebBtn", "RegisterBtn",
                             "RechargeBtn", "ForumBtn"}) {
    EXPECT_FALSE(pm.FindControl(absent)) << absent;
  }
  EXPECT_EQ(pm.FindControl("UpdatePercent")->GetText(), "正在连接更新服务器…");
  EXPECT_EQ(pm.FindControl("Reward")->GetText(), "注意,磁盘空间较少！");
  EXPECT_FALSE(pm.FindControl("cntRrocess")->IsMouseEnabled());
  EXPECT_EQ(pm.GetDefaultFontColor(), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace SkinUI
