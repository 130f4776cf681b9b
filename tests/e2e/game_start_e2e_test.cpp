// Starting the game as a Linux player meets it: the files arrive from the
// server without modes, the game is a Windows program that runs through
// wine (Debian's, in a private prefix), a menu entry starts the launcher in
// another folder, and a game that cannot start is shown, not hidden.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/e2e/launcher_case.h"
#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

bool HasExecuteBit(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) != 0;
}

class GameStartE2e : public LauncherCase {
 protected:
  GameStartE2e() : LauncherCase("game-start-") {}
  void SetUp() override {
    LauncherCase::SetUp();
    if (HasFatalFailure()) return;
    elsewhere_ = work_ + "/home";
    fs::create_directories(elsewhere_);
    // wine makes its prefix on first use; the game must not wait on the
    // installers of .NET and the HTML engine a new prefix offers.
    setenv("WINEPREFIX", (work_ + "/wine").c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
  }
  void TearDown() override {
    e2e::Run("wineserver -k >/dev/null 2>&1");
    unsetenv("WINEPREFIX");
    LauncherCase::TearDown();
  }

  // Publishes the Windows game as KestravaMini.exe and a native stand-in as
  // Kestrava.exe, both made without execute bits, every file sent plain.
  void PublishAndInstall() {
    Game game = SampleGame(11);
    game["KestravaMini.exe"] = ReadFile(BinDir() + "/record_args.exe");
    game["Kestrava.exe"] =
        "#!/bin/sh\nprintf '%s\\n' \"$@\" > game-args.txt.tmp && mv game-args.txt.tmp "
        "game-args.txt\n";
    ASSERT_FALSE(game["KestravaMini.exe"].empty());
    const std::string dir = work_ + "/game";
    WriteGame(dir, game);
    chmod((dir + "/KestravaMini.exe").c_str(), 0644);
    chmod((dir + "/Kestrava.exe").c_str(), 0644);
    fs::copy_file(BinDir() + "/kestrava-launcher", dir + "/Launcher.exe");
    fs::copy_file(BinDir() + "/updatetool", dir + "/Launcher.dat");
    ASSERT_EQ(Publish(dir, base_ + "rel", "1.0", "--pack-saving 100"), 0);
    WriteFile(base_ + "rel/web/index.html",
              ReadFile(std::string(KESTRAVA_SOURCE_DIR) + "/tools/sample_page/index.html"));
    fs::copy_file(BinDir() + "/kestrava-launcher", install_ + "/Launcher.exe");
    ASSERT_EQ(Update(install_, Url()), 0) << ReadFile(work_ + "/update.out");
    // What the fault needs: nothing the server sent is executable.
    ASSERT_FALSE(HasExecuteBit(install_ + "/KestravaMini.exe"));
    ASSERT_FALSE(HasExecuteBit(install_ + "/Kestrava.exe"));
  }
  void WriteWebXml(const std::string& extra) {
    WriteFile(install_ + "/web.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><url>"
                                     "<platform>xyz</platform>" +
                                         extra + "<HomePage>" + Url() +
                                         "web/index.html?start=abc&amp;auto=1</HomePage></url>");
  }
  std::string Url() const { return server_.Url(name_ + "/rel/"); }
  std::string GameArgs() const { return ReadFile(install_ + "/game-args.txt"); }
  int LauncherStarts() const { return LogCount(install_, "App Start ="); }

  std::string elsewhere_;
};

TEST_F(GameStartE2e, AWindowsGameWithoutModesStartsThroughWineAndFailuresAreShown) {
  PublishAndInstall();
  const int starts = LauncherStarts();  // the update tool's pass logs one too

  // No runner: the player is told, the window stays for a repair or a retry.
  WriteWebXml("<GameRunner>" + work_ + "/no-such-wine</GameRunner>");
  {
    LauncherProcess launcher(display_, install_, Url(), elsewhere_);
    ASSERT_TRUE(WaitFor([&] { return LogCount(install_, "启动游戏失败") == 1; }));
    EXPECT_EQ(LogCount(install_, "no-such-wine was not found"), 1);
    unsigned long box = 0;
    ASSERT_TRUE(WaitFor([&] { return (box = display_.FindWindow("VXMessageBox")) != 0; }));
    display_.Screenshot(box, work_ + "/failure-box.png");
    EXPECT_NE(display_.FindWindow("Kestrava launcher"), 0UL);
    EXPECT_EQ(launcher.Wait(1), -1) << "the launcher ended after a failed start";
    EXPECT_EQ(LogCount(install_, "启动游戏失败"), 1) << "one failure, not one per poll";
  }
  // Started from the home folder, it wrote nothing there.
  EXPECT_TRUE(fs::is_empty(elsewhere_));
  EXPECT_EQ(LauncherStarts(), starts + 1);

  // wine from PATH runs the Windows game with its command line unsplit.
  WriteWebXml("");
  {
    LauncherProcess launcher(display_, install_, Url(), elsewhere_);
    EXPECT_EQ(launcher.Wait(), 0);
    ASSERT_TRUE(WaitFor([&] { return !GameArgs().empty(); }, 240));
    EXPECT_EQ(GameArgs(), "abc&xyz\n");
    EXPECT_TRUE(HasExecuteBit(install_ + "/KestravaMini.exe"));
  }

  // Without it, the native stand-in starts, execute bit or not.
  fs::remove(install_ + "/KestravaMini.exe");
  fs::remove(install_ + "/game-args.txt");
  {
    LauncherProcess launcher(display_, install_, Url(), elsewhere_);
    EXPECT_EQ(launcher.Wait(), 0);
    ASSERT_TRUE(WaitFor([&] { return !GameArgs().empty(); }));
    EXPECT_EQ(GameArgs(), "abc&xyz\n");
  }
  EXPECT_TRUE(fs::is_empty(elsewhere_));
  EXPECT_EQ(LauncherStarts(), starts + 3);
}

}  // namespace
