// The launcher's self-update as a player meets it when the new launcher
// cannot be put in place: the real kestrava-launcher as Launcher.exe, the
// real update tool as Launcher.dat, nginx serving the releases, a display of
// its own. What happened is read from the day log and the installed files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/launcher_case.h"
#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

const char kTitle[] = "Kestrava launcher";
constexpr int kExitX = 1016, kExitY = 93;  // ButtonExit, window coordinates

std::string Launcher() {
  return BinDir() + "/kestrava-launcher";
}

class SelfUpdateE2e : public LauncherCase {
 protected:
  SelfUpdateE2e() : LauncherCase("selfupd-") {}
  void SetUp() override {
    LauncherCase::SetUp();
    if (HasFatalFailure()) return;
    game_ = SampleGame(11);
    game_.erase("big/world.pak");  // the launcher is what these cases are about
    game_.erase("empty.txt");
  }

  // Publishes the game with `launcher` as Launcher.exe and the real update
  // tool as Launcher.dat.
  void PublishRelease(const std::string& release, const std::string& launcher) {
    const std::string dir = work_ + "/game-" + release;
    WriteGame(dir, game_);
    fs::copy_file(launcher, dir + "/Launcher.exe", fs::copy_options::overwrite_existing);
    fs::copy_file(BinDir() + "/updatetool", dir + "/Launcher.dat",
                  fs::copy_options::overwrite_existing);
    fs::remove_all(base_ + release);
    ASSERT_EQ(Publish(dir, base_ + release, release), 0)
        << ReadFile(base_ + release + ".publish.out");
  }
  std::string Url(const std::string& release) const {
    return server_.Url(name_ + "/" + release + "/");
  }
  bool WaitForLog(const std::string& text, int count = 1) {
    return WaitFor([&] { return LogCount(install_, text) >= count; });
  }
  // Closes the launcher window with its exit button and waits until it is
  // gone (the launcher on screen may be one the update tool started).
  void CloseLauncher() {
    unsigned long window = 0;
    ASSERT_TRUE(WaitFor([&] { return (window = display_.FindWindow(kTitle)) != 0; }));
    const int clicks = LogCount(install_, "Click ExitButton");
    ASSERT_TRUE(display_.Click(window, kExitX, kExitY));
    ASSERT_TRUE(WaitForLog("Click ExitButton", clicks + 1));
    ASSERT_TRUE(WaitFor([&] { return display_.FindWindow(kTitle) == 0; }));
  }

  Game game_;
};

// A new launcher whose archive the update tool cannot unpack: the tool
// starts the old launcher again, which says so and completes its pass
// without handing over a second time. The next start, with the server
// mended, updates as usual.
TEST_F(SelfUpdateE2e, AFailedReplacementRestartsTheOldLauncherOnceWithoutALoop) {
  PublishRelease("rel1", Launcher());
  fs::copy_file(Launcher(), install_ + "/Launcher.exe");
  ASSERT_EQ(Update(install_, Url("rel1")), 0) << ReadFile(work_ + "/update.out");
  ASSERT_TRUE(fs::exists(install_ + "/Launcher.dat"));

  const std::string newer = work_ + "/Launcher-2.exe";
  fs::copy_file(Launcher(), newer);
  { std::ofstream(newer, std::ios::app) << "release 2"; }
  PublishRelease("rel2", newer);
  const std::string served = base_ + "rel2/ZEPLauncherUpdate/Launcher.exe.7z";
  const std::string goodArchive = ReadFile(served);
  ASSERT_FALSE(goodArchive.empty());
  WriteFile(served, "this is not a 7z archive");
  const int starts = LogCount(install_, "App Start =");

  {
    LauncherProcess old(display_, install_, Url("rel2"));
    EXPECT_EQ(old.Wait(), 0) << "the old launcher ends to be replaced";
  }
  ASSERT_TRUE(WaitForLog("[Error] Replace Launcher Fail")) << DayLog(install_);
  ASSERT_TRUE(WaitForLog("Old Launcher Started"));
  ASSERT_TRUE(WaitForLog("App Start =", starts + 2));
  ASSERT_TRUE(WaitForLog("Set Complete photo")) << DayLog(install_);
  EXPECT_EQ(LogCount(install_, "Update Tool Could Not Replace Launcher"), 1);
  EXPECT_EQ(LogCount(install_, "App Stop And Restart"), 1) << "handed over again";
  EXPECT_EQ(LogCount(install_, "Update Tool Start ="), 1);
  EXPECT_EQ(ReadFile(install_ + "/Launcher.exe"), ReadFile(Launcher()));
  EXPECT_EQ(Differences(game_, install_), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(install_ + "/LauncherConfig/update/launcher.notreplaced"));
  CloseLauncher();
  EXPECT_EQ(LogCount(install_, "App Start ="), starts + 2);

  // Mended: a player's next start replaces the launcher after all.
  WriteFile(served, goodArchive);
  {
    LauncherProcess old(display_, install_, Url("rel2"));
    EXPECT_EQ(old.Wait(), 0);
  }
  ASSERT_TRUE(WaitForLog("Replace Launcher Succeed")) << DayLog(install_);
  ASSERT_TRUE(WaitForLog("Set Complete photo", 2));
  EXPECT_EQ(ReadFile(install_ + "/Launcher.exe"), ReadFile(newer));
  EXPECT_EQ(LogCount(install_, "App Stop And Restart"), 2);
  EXPECT_EQ(LogCount(install_, "Update Tool Could Not Replace Launcher"), 1);
  CloseLauncher();
}

}  // namespace
