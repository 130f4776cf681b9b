#include "ui/window_wnd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ui/ui_test_util.h"

namespace SkinUI {
namespace {

// The background picture drawn alone, as the reference for the screen.
std::unique_ptr<platform::Surface> Background() {
  std::string png;
  if (!CPaintManagerUI::LoadFile("launcher_BJ.png", &png, nullptr)) return nullptr;
  auto image = platform::Image::DecodePng(png.data(), png.size(), nullptr);
  if (!image) return nullptr;
  auto s = std::make_unique<platform::Surface>(image->Width(), image->Height());
  platform::ImageDrawParams p;
  p.dest = Rect{0, 0, image->Width(), image->Height()};
  s->GetPainter().DrawImage(*image, p);
  return s;
}

class MainSkinOnScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    platform::PrepareProcessEnvironment();
    ASSERT_TRUE(platform::InitDisplay(&error)) << error << " (run under xvfb-run)";
    package_.UseShippedSkin();
    window_.skin_file = "mainframe.xml";
    ASSERT_TRUE(window_.OpenOnScreen());
    ASSERT_TRUE(testing::PumpUntil([this] { return window_.inits > 0; })) << "never painted";
  }
  void TearDown() override {
    if (window_.GetHWND()) window_.SendMessageW(platform::WM_CLOSE);
  }
  // The screen once the window has repainted after its first `painted`
  // paints: captured through the window's own paint, which must have drawn
  // the whole client area (not a frame still being laid out).
  std::unique_ptr<platform::Surface> ScreenAfterPaint(int painted) {
    std::unique_ptr<platform::Surface> screen;
    const Size size = window_.GetHWND()->GetClientSize();
    EXPECT_TRUE(testing::PumpUntil([&] {
      if (window_.paints <= painted) return false;
      const int before = window_.paints;
      screen = platform::CaptureClientArea(window_.GetHWND());
      return screen && window_.paints > before &&
             window_.last_painted == Rect{0, 0, size.cx, size.cy};
    })) << "no whole repaint";
    return screen;
  }
  testing::TestPackage package_;
  testing::TestWindow window_;
};

TEST_F(MainSkinOnScreen, RendersAtItsSizeWithTheBackgroundWhereItBelongs) {
  auto screen = ScreenAfterPaint(0);
  auto bg = Background();
  ASSERT_TRUE(screen && bg);
  EXPECT_EQ(screen->Width(), 1094);
  EXPECT_EQ(screen->Height(), 516);
  // Points no control covers show the background picture exactly.
  for (Point p :
       {Point{100, 300}, Point{190, 110}, Point{5, 5}, Point{1090, 510}, Point{60, 450}}) {
    EXPECT_EQ(screen->PixelAt(p.x, p.y) & 0xFFFFFF, bg->PixelAt(p.x, p.y) & 0xFFFFFF)
        << p.x << "," << p.y;
  }
  // A button's picture covers the background at its place.
  EXPECT_NE(screen->PixelAt(1016, 93) & 0xFFFFFF, bg->PixelAt(1016, 93) & 0xFFFFFF);
}

TEST_F(MainSkinOnScreen, AHalfProgressBarShowsOnlyOnTheLeftHalf) {
  CControlUI* bar = window_.GetPaintManager().FindControl("ctrProcess");
  const Rect pos = bar->GetPos();
  const int half = bar->GetWidth() / 2;
  auto before = ScreenAfterPaint(0);
  const int painted = window_.paints;
  char image[160];
  std::snprintf(image, sizeof image,
                "file='Schedule_background.png' dest='2,0,%d,37' source='2,0,%d,37'", half, half);
  bar->SetAttribute("bkimage", image);
  auto after = ScreenAfterPaint(painted);
  ASSERT_TRUE(before && after);
  const int y = pos.top + 18;
  for (int x : {pos.left + 10, pos.left + half / 2, pos.left + half - 4}) {
    EXPECT_NE(after->PixelAt(x, y), before->PixelAt(x, y)) << x;
  }
  for (int x : {pos.left + half + 4, pos.left + half + 100, pos.right - 10}) {
    EXPECT_EQ(after->PixelAt(x, y), before->PixelAt(x, y)) << x;
  }
}

}  // namespace
}  // namespace SkinUI

namespace SkinUI {
namespace {

// A dialog that deletes itself when its window goes, as message boxes do.
class SelfDeletingDialog : public testing::TestWindow {
 public:
  explicit SelfDeletingDialog(bool* deleted) : deleted_(deleted) {}
  ~SelfDeletingDialog() override { *deleted_ = true; }
  void OnFinalMessage(HWND hwnd) override {
    WindowImplBase::OnFinalMessage(hwnd);
    delete this;
  }

 private:
  bool* deleted_;
};

TEST_F(MainSkinOnScreen, ShowModalReturnsTheCloseCodeAndTheDialogDeletesItself) {
  bool deleted = false;
  auto* dialog = new SelfDeletingDialog(&deleted);
  dialog->skin_file = "vxmessagebox.xml";
  CWindowWnd::SetNativeWindowFactory(&platform::CreateGtkWindow);
  ASSERT_TRUE(dialog->Create(window_.GetHWND(), "VXMessageBox", 0, 0, 0, 0, 0, 0));
  CWindowWnd::SetNativeWindowFactory(&platform::CreateHeadlessWindow);
  dialog->Close(2);
  EXPECT_EQ(dialog->ShowModal(), 2);
  EXPECT_TRUE(deleted);
  EXPECT_FALSE(platform::QuitRequested()) << "closing a dialog does not end the loop";
}

TEST_F(MainSkinOnScreen, PostsToAWindowThatGoesAwayAreDroppedNotDelivered) {
  bool deleted = false;
  auto* dialog = new SelfDeletingDialog(&deleted);
  dialog->skin_file = "vxmessagebox.xml";
  CWindowWnd::SetNativeWindowFactory(&platform::CreateGtkWindow);
  ASSERT_TRUE(dialog->Create(nullptr, "going away", 0, 0, 0, 0, 0, 0));
  CWindowWnd::SetNativeWindowFactory(&platform::CreateHeadlessWindow);
  // A thread that outlives the window posts through its id, as a pass
  // thread does, until the window table refuses.
  const platform::WindowId id = dialog->GetWindowId();
  std::atomic<int> accepted{0};
  std::atomic<bool> refused{false};
  std::thread poster([&] {
    while (!refused.load()) {
      if (platform::PostToWindow(id, platform::WM_USER + 1, 0, 0)) {
        ++accepted;
      } else {
        refused = true;
      }
      std::this_thread::yield();
    }
  });
  ASSERT_TRUE(testing::PumpUntil([&] { return accepted.load() > 100; }));
  dialog->Close(1);  // more posts are queued behind the close
  ASSERT_TRUE(testing::PumpUntil([&] { return deleted && refused.load(); }));
  poster.join();
  platform::PumpPendingMessages();  // those still queued for it find no window
  EXPECT_EQ(platform::FindLiveWindow(id), nullptr);
  EXPECT_FALSE(platform::PostToWindow(id, platform::WM_USER + 1, 0, 0));
}

}  // namespace
}  // namespace SkinUI
