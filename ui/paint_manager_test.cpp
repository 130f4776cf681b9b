#include "ui/paint_manager.h"

#include <gtest/gtest.h>

#include "ui/ui_test_util.h"

namespace SkinUI {
namespace {

using testing::TestWindow;

const char kSkin[] =
    "<Window size='300,200' caption='0,0,0,40' sizebox='4,4,6,6'>"
    "<VerticalLayout name='bg'>"
    "<Button name='ok' float='true' pos='10,50,0,0' width='80' height='30'/>"
    "<Button name='off' float='true' pos='100,50,0,0' width='80' height='30' enabled='false'/>"
    "<Button name='gone' float='true' pos='190,50,0,0' width='80' height='30' visible='false'/>"
    "<Text name='txt' float='true' pos='10,5,0,0' width='100' height='20' text='hello'/>"
    "<Control name='bar' float='true' pos='10,120,0,0' width='200' height='30'/>"
    "</VerticalLayout></Window>";

class PaintManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ZipWriter zip;
    zip.Add("test.xml", kSkin);
    bytes_ = zip.Finish();
    package_.UseZip(bytes_);
    ASSERT_TRUE(window_.Open());
    pm_ = &window_.GetPaintManager();
    bar_ = pm_->FindControl("bar");
    ASSERT_TRUE(bar_);
  }

  std::string bytes_;
  testing::TestPackage package_;
  TestWindow window_;
  CPaintManagerUI* pm_ = nullptr;
  CControlUI* bar_ = nullptr;
};

TEST_F(PaintManagerTest, SettingARunningTimerAgainFailsAndKeepsTheFirst) {
  ASSERT_TRUE(pm_->SetTimer(bar_, 2, 100));
  const unsigned sys = pm_->SystemTimerId(bar_, 2);
  EXPECT_FALSE(pm_->SetTimer(bar_, 2, 1000));
  EXPECT_EQ(window_.Native()->Timers().at(sys), 100u);
  EXPECT_EQ(pm_->TimerRecordCount(), 1u);
}

TEST_F(PaintManagerTest, KillThenSetRestartsWithTheNewInterval) {
  ASSERT_TRUE(pm_->SetTimer(bar_, 6, 1000));
  const unsigned sys = pm_->SystemTimerId(bar_, 6);
  EXPECT_TRUE(pm_->KillTimer(bar_, 6));
  EXPECT_FALSE(pm_->KillTimer(bar_, 6)) << "nothing left to kill";
  EXPECT_EQ(window_.Native()->Timers().count(sys), 0u);
  ASSERT_TRUE(pm_->SetTimer(bar_, 6, 100));
  EXPECT_EQ(pm_->SystemTimerId(bar_, 6), sys) << "the record keeps its system id";
  EXPECT_EQ(window_.Native()->Timers().at(sys), 100u);
}

TEST_F(PaintManagerTest, TimersArriveAsTimerNotificationsWithTheControlsId) {
  ASSERT_TRUE(pm_->SetTimer(bar_, 4, 100));
  ASSERT_TRUE(pm_->SetTimer(bar_, 0, 100));
  window_.Native()->FireTimer(pm_->SystemTimerId(bar_, 4));
  window_.Native()->FireTimer(pm_->SystemTimerId(bar_, 0));
  EXPECT_EQ(window_.timers, (std::vector<unsigned>{4, 0}));
  pm_->KillTimer(bar_);  // every timer of the control
  EXPECT_TRUE(window_.Native()->Timers().empty());
  EXPECT_FALSE(window_.Native()->FireTimer(pm_->SystemTimerId(bar_, 4)));
  EXPECT_EQ(window_.timers.size(), 2u);
}

TEST_F(PaintManagerTest, SystemTimerIdsWrapAfter254) {
  for (unsigned id = 0; id < 254; ++id) ASSERT_TRUE(pm_->SetTimer(bar_, id, 1000)) << id;
  EXPECT_EQ(pm_->SystemTimerId(bar_, 0), 1u);
  EXPECT_EQ(pm_->SystemTimerId(bar_, 253), 254u);
  ASSERT_TRUE(pm_->SetTimer(bar_, 254, 1000));
  EXPECT_EQ(pm_->SystemTimerId(bar_, 254), 0u) << "wrapped";
  // Every system id is held now; a new timer must not steal a running one's.
  EXPECT_FALSE(pm_->SetTimer(bar_, 255, 1000));
  EXPECT_GE(pm_->TimerRecordCount(), 255u);
}

TEST_F(PaintManagerTest, AControlThatGoesAwayTakesItsTimersAlong) {
  ASSERT_TRUE(pm_->SetTimer(bar_, 1, 100));
  pm_->DetachRoot().reset();
  EXPECT_EQ(pm_->TimerRecordCount(), 0u);
  EXPECT_TRUE(window_.Native()->Timers().empty());
}

TEST_F(PaintManagerTest, NotificationsGoThroughTheMapChain) {
  // "click" is in the base map only, "timer" in the window's own map.
  pm_->SendNotify(pm_->FindControl("ok"), "click");
  pm_->SendNotify(bar_, "timer", 7);
  pm_->SendNotify(bar_, "nobody-listens");
  EXPECT_EQ(window_.clicks, (std::vector<std::string>{"ok"}));
  EXPECT_EQ(window_.timers, (std::vector<unsigned>{7}));
  // Queued ones arrive with the next message; repeats of one name merge.
  pm_->SendNotify(bar_, "timer", 8, 0, true, false);
  pm_->SendNotify(bar_, "timer", 9, 0, true, false);
  LRESULT r = 0;
  pm_->MessageHandler(platform::WM_USER, 0, 0, r);
  EXPECT_EQ(window_.timers, (std::vector<unsigned>{7, 9}));
}

TEST_F(PaintManagerTest, TheFirstPaintSendsWindowInitOnce) {
  platform::Surface s(300, 200);
  window_.Native()->PaintDirty(s.GetPainter(), true);
  window_.Native()->PaintDirty(s.GetPainter(), true);
  EXPECT_EQ(window_.inits, 1);
}

TEST_F(PaintManagerTest, ChangingOneControlInvalidatesOnlyIt) {
  platform::Surface s(300, 200);
  window_.Native()->PaintDirty(s.GetPainter(), true);
  window_.Native()->ClearDirty();
  bar_->SetAttribute("bkimage", "file='x.png' dest='0,0,100,30'");
  EXPECT_EQ(window_.Native()->Dirty(), bar_->GetPos());
  window_.Native()->ClearDirty();
  pm_->FindControl("txt")->SetText("changed");
  EXPECT_EQ(window_.Native()->Dirty(), (Rect{10, 5, 110, 25}));
}

}  // namespace
}  // namespace SkinUI
