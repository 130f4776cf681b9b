#include "platform/window.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/find_window.h"

extern char** environ;

namespace platform {
namespace {

constexpr const char* kTitle = "Kestrava launcher";

// Collects what a window receives.
class Recorder : public NativeWindowSink {
 public:
  LRESULT OnNativeMessage(unsigned msg, WPARAM wparam, LPARAM) override {
    messages.push_back({msg, wparam});
    return msg == WM_NCHITTEST ? HTCLIENT : 0;
  }
  void OnNativePaint(Painter& painter, const Rect& dirty) override {
    painter.FillRect(dirty, 0xFF204060);
    ++paints;
  }
  bool Got(unsigned msg, WPARAM w) const {
    for (auto& m : messages) {
      if (m.first == msg && m.second == w) return true;
    }
    return false;
  }
  std::vector<std::pair<unsigned, WPARAM>> messages;
  int paints = 0;
};

// Runs the main loop until `done` holds or 20 s pass (a bound, not a timing).
template <typename F>
bool PumpUntil(F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < end) {
    PumpPendingMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    PrepareProcessEnvironment();
    ASSERT_TRUE(InitDisplay(&error)) << error << " (run under xvfb-run)";
  }
};

TEST_F(GtkWindowTest, PostedMessagesFromAnotherThreadArriveOnTheLoop) {
  Recorder sink;
  auto w = CreateGtkWindow(NativeWindowParams{"post test", Rect{0, 0, 200, 100}}, &sink);
  ASSERT_TRUE(w);
  std::thread poster([&w] {
    for (WPARAM i = 0; i < 3; ++i) w->Post(WM_USER + 1, i, 0);
  });
  poster.join();
  ASSERT_TRUE(PumpUntil([&] { return sink.Got(WM_USER + 1, 2); }));
  EXPECT_TRUE(sink.Got(WM_USER + 1, 0));
  std::thread by_title([] { EXPECT_TRUE(PostMessageToTitle("post test", 11025, 0, 0)); });
  by_title.join();
  EXPECT_FALSE(PostMessageToTitle("post test 2", 11025, 1, 0));
  ASSERT_TRUE(PumpUntil([&] { return sink.Got(11025, 0); }));
  w->Destroy();
  EXPECT_TRUE(sink.Got(WM_NCDESTROY, 0));
  EXPECT_FALSE(w->Post(WM_USER, 0, 0)) << "a destroyed window takes no messages";
}

TEST_F(GtkWindowTest, TimersTickUntilKilledAndTheWindowPaints) {
  Recorder sink;
  auto w = CreateGtkWindow(NativeWindowParams{"timer test", Rect{0, 0, 200, 100}}, &sink);
  ASSERT_TRUE(w);
  w->Show(SW_SHOW);
  ASSERT_TRUE(w->SetTimer(7, 10));
  ASSERT_TRUE(PumpUntil([&] { return sink.Got(WM_TIMER, 7) && sink.paints > 0; }));
  EXPECT_TRUE(w->KillTimer(7));
  EXPECT_FALSE(w->KillTimer(7));
  auto shot = CaptureClientArea(w.get());
  ASSERT_TRUE(shot);
  EXPECT_EQ(shot->PixelAt(100, 50) & 0xFFFFFF, 0x204060u);
  w->Destroy();
}

// The second process: a window titled like the launcher, until killed.
void RunTitleChild() {
  if (!InitDisplay(nullptr)) _exit(3);
  Recorder sink;
  auto w = CreateGtkWindow(NativeWindowParams{kTitle, Rect{10, 10, 300, 200}}, &sink);
  w->Show(SW_SHOW);
  RunMessageLoop();
  _exit(0);
}

const bool kIsChild = [] {
  if (std::getenv("KESTRAVA_TITLE_CHILD")) RunTitleChild();
  return false;
}();

TEST_F(GtkWindowTest, AWindowOfAnotherProcessIsFoundByItsExactTitle) {
  (void)kIsChild;
  std::vector<char*> env;
  std::string flag = "KESTRAVA_TITLE_CHILD=1";
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.push_back(flag.data());
  env.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, env.data()), 0);
  unsigned long found = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!(found = FindTopLevelWindow(kTitle)) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(found, 0ul);
  EXPECT_TRUE(ActivateTopLevelWindow(found));
  EXPECT_EQ(FindTopLevelWindow("Kestrava launcher "), 0ul) << "the title must match exactly";
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace
}  // namespace platform
