// The launcher's status texts as players see them on the screen: the real
// kestrava-launcher on a display of its own, against releases that publish
// made and nginx serves, judged by screenshots and the day log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "platform/testing/fault_server_process.h"
#include "tests/e2e/launcher_case.h"
#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

const char kTitle[] = "Kestrava launcher";
// The status text UpdatePercent (window coordinates, from the skin).
constexpr int kStatusLeft = 750, kStatusTop = 398, kStatusWidth = 191, kStatusHeight = 17;
constexpr int kRepairX = 426, kRepairY = 423;
constexpr int kExitX = 1016, kExitY = 93;

std::string SourceFile(const std::string& relative) {
  return std::string(KESTRAVA_SOURCE_DIR) + "/" + relative;
}

Game StatusGame() {
  Game g = SampleGame(11);
  g.erase("empty.txt");
  return g;
}

class LauncherStatusE2e : public LauncherCase {
 protected:
  LauncherStatusE2e() : LauncherCase("launcher-status-") {}
  void SetUp() override {
    LauncherCase::SetUp();
    if (HasFatalFailure()) return;
    background_ = LoadPicture(SourceFile("skin/launcher_BJ.png"));
    ASSERT_TRUE(background_);
  }
  // Publishes `game` with this launcher and the real update tool.
  bool PublishRelease(const std::string& release, const Game& game, const std::string& version) {
    const std::string dir = work_ + "/game-" + version;
    WriteGame(dir, game);
    fs::copy_file(BinDir() + "/kestrava-launcher", dir + "/Launcher.exe",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(BinDir() + "/updatetool", dir + "/Launcher.dat",
                  fs::copy_options::overwrite_existing);
    fs::remove_all(base_ + release);
    return Publish(dir, base_ + release, version) == 0;
  }
  std::string Url(const std::string& release) const {
    return server_.Url(name_ + "/" + release + "/");
  }
  // Pixels of the status text that differ from the bare background.
  int StatusInk(platform::Surface& shot) {
    return ChangedPixels(shot, *background_, kStatusLeft, kStatusTop, kStatusWidth, kStatusHeight);
  }

  std::unique_ptr<platform::Surface> background_;
};

// A changed file that the server does not have in any form: the pass ends
// with "更新文件下载失败", which the player must be able to read although
// the download display had hidden the status text.
TEST_F(LauncherStatusE2e, AFileThatNeverDownloadsShowsTheFailureText) {
  Game game = StatusGame();
  ASSERT_TRUE(PublishRelease("rel1", game, "1.0"));
  fs::copy_file(BinDir() + "/kestrava-launcher", install_ + "/Launcher.exe");
  ASSERT_EQ(Update(install_, Url("rel1")), 0) << ReadFile(work_ + "/install.out");
  game["data/map3.dds"] = TextBytes(99, 5000);
  // A second changed file that arrives slowly: the download display runs.
  game["data/sound/s4.ogg"] = RandomBytes(98, 120000);
  ASSERT_TRUE(PublishRelease("rel2", game, "2.0"));
  for (const char* suffix : {"", ".zip", ".7z", ".4g"})
    fs::remove(base_ + "rel2/data/map3.dds" + suffix);
  FaultServerProcess slow;
  ASSERT_TRUE(slow.Start(server_.root));

  const int stops = LogCount(install_, "Stop Update Thread");  // the command line's
  LauncherProcess launcher(display_, install_, slow.Url("trickle-4000/" + name_ + "/rel2/"));
  unsigned long window = 0;
  ASSERT_TRUE(WaitFor([&] { return (window = display_.FindWindow(kTitle)) != 0; }));
  ASSERT_TRUE(WaitFor([&] { return LogCount(install_, "Stop Update Thread") > stops; }));
  EXPECT_EQ(LogCount(install_, "Set Complete photo"), 0);
  EXPECT_GE(LogCount(install_, "Download map3.dds.7z Fail, Try 21 Times"), 1);
  EXPECT_EQ(ReadFile(install_ + "/data/sound/s4.ogg").size(), 120000u);
  // The failure text shows where the status belongs.
  const std::string png = work_ + "/download-failed.png";
  int ink = 0;
  std::unique_ptr<platform::Surface> shot;
  EXPECT_TRUE(WaitFor([&] {
    shot = display_.Screenshot(window, png);
    return shot && (ink = StatusInk(*shot)) > 40;
  })) << "status text pixels: "
      << ink << " (see " << png << ")";
  // And a repair can be started.
  auto up = LoadPicture(SourceFile("skin/Button_Repair_UP.png"));
  auto dis = LoadPicture(SourceFile("skin/Button_Repair_Dis.png"));
  ASSERT_TRUE(shot && up && dis);
  EXPECT_LT(AreaDifference(*shot, kRepairX, kRepairY, *up, 0, 0, 85, 37),
            AreaDifference(*shot, kRepairX, kRepairY, *dis, 0, 0, 85, 37));
  ASSERT_TRUE(display_.Click(window, kExitX, kExitY));
  EXPECT_EQ(launcher.Wait(), 0);
  EXPECT_EQ(LogCount(install_, "Click ExitButton"), 1);
}

}  // namespace
