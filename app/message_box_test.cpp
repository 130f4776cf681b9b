#include "app/message_box.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/window.h"
#include "skin/skin_resources.h"
#include "ui/skin_package.h"

namespace {

// Records the system message boxes and the process end it was asked for;
// nothing ends.
class NoSystem : public LauncherSystem {
 public:
  bool QueryDiskSpace(const std::string&, platform::DiskSpace*) override { return false; }
  int MessageBox(const std::string& text, const std::string& caption, unsigned) override {
    boxes.push_back(text + "|" + caption);
    return 0;
  }
  bool OpenUrl(const std::string&) override { return false; }
  bool IsWindowOpen(const std::string&) override { return false; }
  int StartGame(const GameCommand&, const std::string&) override { return 0; }
  void EndProcess(int code) override { ended = code; }
  unsigned TickCount() override { return 0; }

  std::vector<std::string> boxes;  // UI thread
  int ended = -1;                  // UI thread
};

// A box of a program that carries no skin package.
class NoPackageBox : public CVXMessageBox {
 public:
  using CVXMessageBox::CVXMessageBox;
  int GetResourceID() const override { return 131; }
};

struct Input {
  unsigned msg;
  platform::WPARAM wparam;
  platform::LPARAM lparam;
};

// Plays input into the box once it shows, as the player would, from a
// thread of its own while the box runs modally. A system close follows, so a
// box that the input did not close ends with 0 instead of waiting forever.
std::thread Player(std::vector<Input> inputs) {
  return std::thread([inputs] {
    platform::WindowId box = 0;
    for (int i = 0; i < 2000 && !box; ++i) {  // a bound for a broken case
      box = platform::FindWindowIdByTitle("VXMessageBox");
      if (!box) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (const Input& in : inputs) platform::PostToWindow(box, in.msg, in.wparam, in.lparam);
    platform::PostToWindow(box, platform::WM_SYSCOMMAND, platform::SC_CLOSE, 0);
  });
}

std::vector<Input> ClickAt(int x, int y) {
  const platform::LPARAM at = platform::MakeLParam(x, y);
  return {{platform::WM_LBUTTONDOWN, 1, at}, {platform::WM_LBUTTONUP, 0, at}};
}

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::PrepareProcessEnvironment();
    std::string error;
    ASSERT_TRUE(platform::InitDisplay(&error)) << error << " (run under xvfb-run)";
    skin::RegisterSkinResources();
    SkinUI::CPaintManagerUI::SetSkinPackage(&package_);
    SkinUI::CWindowWnd::SetNativeWindowFactory(&platform::CreateGtkWindow);
  }
  int Show(int type, std::vector<Input> inputs) {
    std::thread player = Player(std::move(inputs));
    const int result =
        ShowMessageBox(nullptr, &system_, "温馨提示", "谢谢您的支持，敬请期待！", type);
    player.join();
    return result;
  }
  SkinUI::SkinPackage package_;
  NoSystem system_;
};

TEST_F(MessageBoxTest, TwoButtonsSitWhereTheTypeSaysAndEachGivesItsResult) {
  // Type 1: OK moved to 177..284, Cancel shown at 50..157.
  EXPECT_EQ(Show(1, ClickAt(230, 157)), 1);
  EXPECT_EQ(Show(1, ClickAt(103, 157)), 2);
  // Type 0 keeps the skin: OK alone in the middle, nothing at Cancel's place.
  std::vector<Input> inputs = ClickAt(103, 157);
  inputs.push_back({platform::WM_LBUTTONDOWN, 1, platform::MakeLParam(166, 157)});
  inputs.push_back({platform::WM_LBUTTONUP, 0, platform::MakeLParam(166, 157)});
  EXPECT_EQ(Show(0, inputs), 1);
}

TEST_F(MessageBoxTest, EscapeDoesNotCloseItAndTheSystemCloseGivesZero) {
  EXPECT_EQ(Show(0, {{platform::WM_KEYDOWN, platform::VK_ESCAPE, 0}}), 0);
}

TEST_F(MessageBoxTest, AMissingSkinPackageIsReportedAndEndsTheProgram) {
  auto* box = new NoPackageBox(&system_);
  ASSERT_TRUE(box->Create(nullptr, "VXMessageBox", SkinUI::UI_WNDSTYLE_FRAME, 0));
  EXPECT_EQ(system_.boxes, std::vector<std::string>{"加载资源文件失败|SkinUI"});
  EXPECT_EQ(system_.ended, 0);
  box->SendMessageW(platform::WM_CLOSE);  // the window deletes itself
}

}  // namespace
