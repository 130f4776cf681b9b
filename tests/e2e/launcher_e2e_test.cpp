// The launcher as players meet it: the real kestrava-launcher, copied alone
// into a game folder as Launcher.exe, on a display of its own with a window
// manager, against releases that publish made and nginx serves. Input comes
// through xdotool, the picture through screenshots, the rest through the
// day log, the installed files and what the stand-in game records.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/testing/fault_server_process.h"
#include "tests/e2e/launcher_case.h"
#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

const char kTitle[] = "Kestrava launcher";

// Where the window's parts are (window coordinates, from the skin).
constexpr int kBarLeft = 517, kBarTop = 421, kBarWidth = 425, kBarHeight = 37;
const platform::Rect kSpeedText{800, 398, 940, 414};
constexpr int kRepairX = 426, kRepairY = 423;
constexpr int kStartButtonX = 383 + 490, kStartButtonY = 130 + 185;  // on the sample page

std::string Launcher() {
  return BinDir() + "/kestrava-launcher";
}

std::string SourceFile(const std::string& relative) {
  return std::string(KESTRAVA_SOURCE_DIR) + "/" + relative;
}

// A game whose Kestrava.exe records the arguments it was started with.
Game LauncherGame() {
  Game g = SampleGame(7);
  g.erase("empty.txt");
  g["Kestrava.exe"] =
      "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/game-args.txt.tmp\"\n"
      "mv \"$(dirname \"$0\")/game-args.txt.tmp\" \"$(dirname \"$0\")/game-args.txt\"\n";
  return g;
}

// Publishes `game` with `launcher` as Launcher.exe, the real update tool and
// the sample page below web/; false when publishing failed.
bool PublishRelease(const std::string& work, const std::string& release, const Game& game,
                    const std::string& launcher, const std::string& version) {
  const std::string dir = work + "/game-" + version;
  WriteGame(dir, game);
  chmod((dir + "/Kestrava.exe").c_str(), 0755);
  fs::copy_file(launcher, dir + "/Launcher.exe", fs::copy_options::overwrite_existing);
  fs::copy_file(BinDir() + "/updatetool", dir + "/Launcher.dat",
                fs::copy_options::overwrite_existing);
  fs::remove_all(release);
  if (Publish(dir, release, version) != 0) return false;
  WriteFile(release + "/web/index.html", ReadFile(SourceFile("tools/sample_page/index.html")));
  return true;
}

// The filled part of the progress bar, in pixels: the columns that look
// like the full bar rather than like the window's background. `full` is the
// background with the whole bar drawn on it.
int BarWidth(platform::Surface& shot, platform::Surface& background, platform::Surface& full) {
  int n = 0;
  for (int x = kBarLeft; x < kBarLeft + kBarWidth; ++x) {
    n += AreaDifference(shot, x, kBarTop, full, x, kBarTop, 1, kBarHeight) <
         AreaDifference(shot, x, kBarTop, background, x, kBarTop, 1, kBarHeight);
  }
  return n;
}

class LauncherE2e : public LauncherCase {
 protected:
  LauncherE2e() : LauncherCase("launcher-") {}
  void SetUp() override {
    LauncherCase::SetUp();
    if (HasFatalFailure()) return;
    game_ = LauncherGame();
    ASSERT_TRUE(PublishRelease(work_, base_ + "rel1", game_, Launcher(), "1.0"));
    background_ = LoadPicture(SourceFile("skin/launcher_BJ.png"));
    bar_ = LoadPicture(SourceFile("skin/launcher_BJ.png"));
    ASSERT_TRUE(background_ && bar_);
    // The background with the full bar (its picture has soft edges).
    const std::string png = ReadFile(SourceFile("skin/Schedule_background.png"));
    auto picture = platform::Image::DecodePng(png.data(), png.size(), nullptr);
    ASSERT_TRUE(picture);
    platform::ImageDrawParams p;
    p.dest = platform::Rect{kBarLeft, kBarTop, kBarLeft + kBarWidth, kBarTop + kBarHeight};
    bar_->GetPainter().DrawImage(*picture, p);
  }

  std::string Url(const std::string& release = "rel1") const {
    return server_.Url(name_ + "/" + release + "/");
  }
  // The folder a player has: Launcher.exe alone, or an installed game.
  void PutLauncher(const std::string& launcher = Launcher()) {
    fs::copy_file(launcher, install_ + "/Launcher.exe", fs::copy_options::overwrite_existing);
  }
  void InstallWithPatcher() {
    PutLauncher();
    ASSERT_EQ(Update(install_, Url()), 0) << ReadFile(work_ + "/update.out");
  }
  unsigned long WaitForWindow() {
    unsigned long w = 0;
    EXPECT_TRUE(WaitFor([&] { return (w = display_.FindWindow(kTitle)) != 0; }));
    return w;
  }
  bool WaitForLog(const std::string& text, int count = 1) {
    return WaitFor([&] { return LogCount(install_, text) >= count; });
  }
  std::string GameArgs() const { return ReadFile(install_ + "/game-args.txt"); }

  Game game_;
  std::unique_ptr<platform::Surface> background_, bar_;
};

TEST_F(LauncherE2e, AnEmptyFolderInstallsShowsItsProgressAndStartsTheGame) {
  // Served slowly, so that the first download can be watched.
  FaultServerProcess slow;
  ASSERT_TRUE(slow.Start(server_.root));
  PutLauncher();
  LauncherProcess launcher(display_, install_, slow.Url("trickle-40000/" + name_ + "/rel1/"));
  const unsigned long window = WaitForWindow();
  ASSERT_TRUE(WaitForLog("Start Download firstdownload"));
  // The bar grows while the packages arrive, and the speed shows.
  std::unique_ptr<platform::Surface> shot;
  int first = -1, later = -1, speedInk = 0;
  ASSERT_TRUE(WaitFor([&] {
    shot = display_.Screenshot(window);
    if (!shot) return false;
    const int width = BarWidth(*shot, *background_, *bar_);
    if (first < 0 && width > 0) first = width;
    later = width;
    speedInk =
        std::max(speedInk, ChangedPixels(*shot, *background_, kSpeedText.left, kSpeedText.top,
                                         kSpeedText.Width(), kSpeedText.Height()));
    return first >= 0 && later > first + 20 && LogCount(install_, " Status_Completed") == 0;
  })) << "bar "
      << first << " -> " << later;
  EXPECT_GT(speedInk, 20) << "no speed text during the download";
  // Completed: the full bar, and repair can be clicked.
  ASSERT_TRUE(WaitForLog("Set Complete photo"));
  ASSERT_TRUE(WaitFor([&] {
    shot = display_.Screenshot(window);
    return shot && BarWidth(*shot, *background_, *bar_) > kBarWidth * 9 / 10;
  }));
  auto up = LoadPicture(SourceFile("skin/Button_Repair_UP.png"));
  auto dis = LoadPicture(SourceFile("skin/Button_Repair_Dis.png"));
  EXPECT_LT(AreaDifference(*shot, kRepairX, kRepairY, *up, 0, 0, 85, 37),
            AreaDifference(*shot, kRepairX, kRepairY, *dis, 0, 0, 85, 37));
  // Nothing the program loads comes from the build folder: the page's
  // module travels inside Launcher.exe.
  const std::string maps = ReadFile("/proc/" + std::to_string(launcher.pid()) + "/maps");
  EXPECT_EQ(maps.find(BinDir()), std::string::npos);
  // The player clicks the page's start button: the game starts, the
  // launcher ends.
  ASSERT_TRUE(display_.Click(window, kStartButtonX, kStartButtonY));
  EXPECT_EQ(launcher.Wait(), 0);
  ASSERT_TRUE(WaitFor([&] { return !GameArgs().empty(); }));
  EXPECT_EQ(GameArgs(), "demo&\n");
  EXPECT_EQ(Differences(game_, install_), std::vector<std::string>{});
  EXPECT_EQ(LogCount(install_, "App Stop ="), 0);
}

TEST_F(LauncherE2e, ButtonsKeysAndASecondStart) {
  InstallWithPatcher();
  const int stops = LogCount(install_, "App Stop =");  // the command line's
  LauncherProcess first(display_, install_, Url());
  const unsigned long window = WaitForWindow();
  ASSERT_TRUE(WaitForLog("Set Complete photo"));
  // Escape never closes the launcher; a repair runs a full check.
  ASSERT_EQ(display_.Run("xdotool key --window " + std::to_string(window) + " Escape"), 0);
  ASSERT_TRUE(display_.Click(window, kRepairX + 40, kRepairY + 18));
  ASSERT_TRUE(WaitForLog("Click Repair Button"));
  ASSERT_TRUE(WaitForLog("Set Complete photo", 2));
  EXPECT_GE(LogCount(install_, "Start Get DifferentFiles With Files"), 1) << DayLog(install_);
  // Minimised, then a second start brings it back and ends without a word.
  ASSERT_TRUE(display_.Click(window, 966, 66));  // ButtonMin
  ASSERT_TRUE(WaitFor([&] { return display_.WindowState(window) == "Iconic"; }));
  const std::string logBefore = DayLog(install_);
  LauncherProcess second(display_, install_, Url());
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_TRUE(WaitFor([&] { return display_.WindowState(window) == "Normal"; }));
  EXPECT_TRUE(WaitFor(
      [&] { return display_.Output("xdotool getactivewindow") == std::to_string(window); }));
  EXPECT_EQ(DayLog(install_), logBefore);
  // The folder is the running launcher's: an update from the command line
  // refuses it.
  EXPECT_EQ(Update(install_, Url()), 75);
  EXPECT_NE(ReadFile(work_ + "/update.out").find("another launcher or update is using"),
            std::string::npos);
  // Alt+F4 is the system close: "App Stop" and exit code 0.
  ASSERT_EQ(display_.Run("xdotool windowactivate --sync " + std::to_string(window) +
                         " key --clearmodifiers alt+F4"),
            0);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(LogCount(install_, "App Stop ="), stops + 1);
  // The exit button saves the list and ends at once, without "App Stop".
  LauncherProcess third(display_, install_, Url());
  const unsigned long again = WaitForWindow();
  ASSERT_TRUE(WaitForLog("Set Complete photo", 3));
  // Every completed pass saves the list too: only a save more than the
  // passes made shows that the click saved it.
  const int saves = LogCount(install_, "Write localclient success!");
  ASSERT_TRUE(display_.Click(again, 1016, 93));  // ButtonExit
  EXPECT_EQ(third.Wait(), 0);
  EXPECT_EQ(LogCount(install_, "Click ExitButton"), 1);
  EXPECT_EQ(LogCount(install_, "App Stop ="), stops + 1);
  EXPECT_EQ(LogCount(install_, "Write localclient success!"), saves + 1);
  const std::string log = DayLog(install_);
  EXPECT_LT(log.rfind("Write localclient success!"), log.rfind("Click ExitButton"));
}

TEST_F(LauncherE2e, NoServerLeavesRepairOffAndABrokenListIsRebuilt) {
  InstallWithPatcher();
  {
    LauncherProcess launcher(display_, install_, "http://127.0.0.1:1/release/");
    const unsigned long window = WaitForWindow();
    ASSERT_TRUE(WaitForLog("Check Net Fail"));
    ASSERT_TRUE(WaitForLog("Stop Update Thread"));
    // Clicks are handled in order: the repair button gave nothing.
    ASSERT_TRUE(display_.Click(window, kRepairX + 40, kRepairY + 18));
    ASSERT_TRUE(display_.Click(window, 1016, 93));
    EXPECT_EQ(launcher.Wait(), 0);
    EXPECT_EQ(LogCount(install_, "Click Repair Button"), 0);
    EXPECT_EQ(LogCount(install_, "Click ExitButton"), 1);
  }
  WriteFile(install_ + "/LauncherConfig/localclient.md5", "<Filelist><Files><File Path=");
  // The dead address is still the first of two: the pass goes through the
  // second.
  LauncherProcess launcher(display_, install_, "http://127.0.0.1:1/release/ " + Url());
  const unsigned long window = WaitForWindow();
  ASSERT_TRUE(WaitForLog("Set Complete photo"));
  EXPECT_EQ(LogCount(install_, "Release metadata comes from " + Url()), 1);
  EXPECT_EQ(LogCount(install_, " localclient.md5 Is Failed"), 1);
  EXPECT_EQ(LogCount(install_, "Delete localclient.md5"), 1);
  EXPECT_EQ(Differences(game_, install_), std::vector<std::string>{});
  ASSERT_TRUE(display_.Click(window, 1016, 93));
  EXPECT_EQ(launcher.Wait(), 0);
}

TEST_F(LauncherE2e, TwoLaunchersStartedTogetherUpdateOnce) {
  PutLauncher();
  LauncherProcess a(display_, install_, Url());
  LauncherProcess b(display_, install_, Url());
  // One of them raises the other's window and ends.
  ASSERT_TRUE(WaitFor([&] {
    return waitpid(a.pid(), nullptr, WNOHANG) != 0 || waitpid(b.pid(), nullptr, WNOHANG) != 0;
  }));
  ASSERT_TRUE(WaitForLog("Set Complete photo"));
  EXPECT_EQ(LogCount(install_, "App Start ="), 1);
  EXPECT_EQ(LogCount(install_, "Start Download firstdownload"), 1);
  EXPECT_EQ(Differences(game_, install_), std::vector<std::string>{});
  ASSERT_TRUE(display_.Click(WaitForWindow(), 1016, 93));
  ASSERT_TRUE(WaitForLog("Click ExitButton"));
  // Another program's window with the launcher's title counts the same.
  ASSERT_TRUE(WaitFor([&] { return display_.FindWindow(kTitle) == 0; }));
  ASSERT_EQ(display_.Run(BinDir() + "/skinview - mainframe.xml --title '" + kTitle +
                         "' >/dev/null 2>&1 &"),
            0);
  WaitForWindow();
  LauncherProcess third(display_, install_, Url());
  EXPECT_EQ(third.Wait(), 0);
  EXPECT_EQ(LogCount(install_, "App Start ="), 1);
  display_.Run("pkill -f 'skinview - mainframe.xml --title " + std::string(kTitle) + "'");
}

TEST_F(LauncherE2e, TheGameGetsThePagesTextAndThePlatform) {
  InstallWithPatcher();
  for (const std::string platform : {"<platform>xyz</platform>", ""}) {
    fs::remove(install_ + "/game-args.txt");
    WriteFile(install_ + "/web.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><url>" + platform +
                                         "<HomePage>" + Url() +
                                         "web/index.html?start=abc&amp;auto=1</HomePage></url>");
    LauncherProcess launcher(display_, install_, Url());
    EXPECT_EQ(launcher.Wait(), 0);
    ASSERT_TRUE(WaitFor([&] { return !GameArgs().empty(); }));
    EXPECT_EQ(GameArgs(), platform.empty() ? "abc&\n" : "abc&xyz\n");
  }
  // KestravaMini.exe comes first; without any game the launcher stays open
  // and says so.
  WriteFile(install_ + "/KestravaMini.exe",
            "#!/bin/sh\necho mini > \"$(dirname \"$0\")/mini.txt\"\n");
  chmod((install_ + "/KestravaMini.exe").c_str(), 0755);
  {
    LauncherProcess launcher(display_, install_, Url());
    EXPECT_EQ(launcher.Wait(), 0);
    EXPECT_TRUE(WaitFor([&] { return ReadFile(install_ + "/mini.txt") == "mini\n"; }));
  }
  fs::remove(install_ + "/KestravaMini.exe");
  fs::remove(install_ + "/Kestrava.exe");
  LauncherProcess launcher(display_, install_, Url());
  EXPECT_TRUE(WaitFor([&] { return display_.FindWindow("VXMessageBox") != 0; }));
  EXPECT_EQ(LogCount(install_, "启动游戏失败"), 1);
  EXPECT_NE(display_.FindWindow(kTitle), 0UL);
}

TEST_F(LauncherE2e, ANewLauncherReplacesTheRunningOneWhichCompletesThePass) {
  InstallWithPatcher();
  // Release 2 carries another launcher: the same program with a tail.
  const std::string newer = work_ + "/Launcher-2.exe";
  fs::copy_file(Launcher(), newer);
  { std::ofstream(newer, std::ios::app) << "release 2"; }
  ASSERT_TRUE(PublishRelease(work_, base_ + "rel2", game_, newer, "2.0"));
  LauncherProcess old(display_, install_, Url("rel2"));
  EXPECT_EQ(old.Wait(), 0) << "the old launcher ends to be replaced";
  ASSERT_TRUE(WaitForLog("Replace Launcher Succeed"));
  ASSERT_TRUE(WaitForLog("App Start =", 2));
  ASSERT_TRUE(WaitForLog("Set Complete photo"));
  EXPECT_EQ(ReadFile(install_ + "/Launcher.exe"), ReadFile(newer));
  EXPECT_EQ(LogCount(install_, "App Stop And Restart"), 1);
  // The new one completes its pass and ends when the player closes it.
  ASSERT_TRUE(display_.Click(WaitForWindow(), 1016, 93));
  ASSERT_TRUE(WaitForLog("Click ExitButton"));
  EXPECT_TRUE(WaitFor([&] { return display_.FindWindow(kTitle) == 0; }));
}

}  // namespace
