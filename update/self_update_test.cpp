#include "update/self_update.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "update/engine_test_util.h"

namespace {

class SelfUpdateTest : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    engine_->SetSelfUpdateHooks([this] { ++posted_; }, [this](int code) { exitCode = code; });
  }
  void ServeList(const std::string& toolCode, const std::string& exeCode) {
    Serve("ZEPLauncherUpdate/LaunUpdate.xml",
          "<Filelist><Files><File Path=\"Launcher.dat\" Code=\"" + toolCode +
              "\" Size=\"1\"/><File Path=\"Launcher.exe\" Code=\"" + exeCode +
              "\" Size=\"1\"/></Files></Filelist>");
  }
  int posted_ = 0;
  int exitCode = -1;
};

TEST_F(SelfUpdateTest, CurrentProgramsFetchNothing) {
  WriteFile(install_ + "Launcher.dat", "tool");
  WriteFile(install_ + "Launcher.exe", "launcher");
  ServeList(Md5("tool"), Md5("launcher"));
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_Ready);
  EXPECT_EQ(Requests("ZEPLauncherUpdate/Launcher.dat.7z"), 0);
  EXPECT_EQ(Requests("ZEPLauncherUpdate/Launcher.exe.7z"), 0);
  EXPECT_EQ(posted_, 0);
}

TEST_F(SelfUpdateTest, MissingToolIsFetchedAndAWrongOneRefused) {
  WriteFile(install_ + "Launcher.exe", "launcher");
  Serve("ZEPLauncherUpdate/Launcher.dat.7z", Pack7z({{"Launcher.dat", "", "tool v2"}}));
  ServeList(Md5("tool v2"), Md5("launcher"));
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_Ready);
  EXPECT_EQ(ReadFile(install_ + "Launcher.dat"), "tool v2");
  struct stat st;
  ASSERT_EQ(stat((install_ + "Launcher.dat").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);

  ServeList(Md5("tool v3"), Md5("launcher"));
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_UpdateToolBad);
}

TEST_F(SelfUpdateTest, ListWithoutEntriesOrUnreadableFallsThrough) {
  Serve("ZEPLauncherUpdate/LaunUpdate.xml", "<Filelist><Files/></Filelist>");
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_Ready);
  Serve("ZEPLauncherUpdate/LaunUpdate.xml", "garbage <");
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_Ready);
  EXPECT_EQ(Requests("ZEPLauncherUpdate/Launcher.exe.7z"), 0);
}

TEST_F(SelfUpdateTest, NewLauncherWithoutAToolFailsToRestart) {
  WriteFile(install_ + "Launcher.exe", "launcher v1");
  WriteFile(install_ + "LauncherConfig/update/update.xml", "<Filelist/>");
  Serve("ZEPLauncherUpdate/Launcher.exe.7z", Pack7z({{"Launcher.exe", "", "launcher v2"}}));
  ServeList(Md5("tool"), Md5("launcher v2"));
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_RestartFailed);
  EXPECT_EQ(posted_, 1);
  EXPECT_TRUE(Exists("Launcher.exe.7z"));  // left for the update tool
  EXPECT_FALSE(Exists("LauncherConfig/update/update.xml"));
  EXPECT_EQ(exitCode, -1);
}

TEST_F(SelfUpdateTest, NewLauncherStartsTheToolAndEnds) {
  const std::string tool = "#!/bin/sh\necho started > tool-ran\n";
  WriteFile(install_ + "Launcher.dat", tool);
  WriteFile(install_ + "Launcher.exe", "launcher v1");
  Serve("ZEPLauncherUpdate/Launcher.exe.7z", Pack7z({{"Launcher.exe", "", "launcher v2"}}));
  ServeList(Md5(tool), Md5("launcher v2"));
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_SelfUpdating);
  EXPECT_EQ(exitCode, 0);
  EXPECT_GT(engine_->selfUpdateBytes(), 0);
  for (int i = 0; i < 100 && !Exists("tool-ran"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(Exists("tool-ran"));  // started in the installation folder
}

TEST_F(SelfUpdateTest, CommandLineRunSkipsAMissingLauncher) {
  WriteFile(install_ + "Launcher.dat", "tool");
  ServeList(Md5("tool"), Md5("launcher v2"));
  engine_->SetSkipMissingLauncher(true);
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_Ready);
  EXPECT_EQ(Requests("ZEPLauncherUpdate/Launcher.exe.7z"), 0);
}

}  // namespace
