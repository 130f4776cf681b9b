#include "update/self_update.h"

#include <sys/stat.h>

#include "tests/test_files.h"
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
  ASSERT_TRUE(testfiles::MakeFifo(install_ + "tool-ran"));
  WriteFile(install_ + "Launcher.dat", tool);
  WriteFile(install_ + "Launcher.exe", "launcher v1");
  Serve("ZEPLauncherUpdate/Launcher.exe.7z", Pack7z({{"Launcher.exe", "", "launcher v2"}}));
  ServeList(Md5(tool), Md5("launcher v2"));
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_SelfUpdating);
  EXPECT_EQ(exitCode, 0);
  EXPECT_GT(engine_->selfUpdateBytes(), 0);
  // Started in the installation folder; the test waits for it to end so
  // that nothing writes into the folder once the test removes it.
  EXPECT_EQ(testfiles::ReadFifoUntilClosed(install_ + "tool-ran", 10), "started\n");
}

// The update tool started this launcher after it could not replace it:
// handing over again would end every pass the same way. Only this process
// keeps the old launcher; the next start updates again.
TEST_F(SelfUpdateTest, AfterAFailedReplacementThisProcessKeepsItsLauncher) {
  const std::string tool = "#!/bin/sh\necho started > tool-ran\n";
  ASSERT_TRUE(testfiles::MakeFifo(install_ + "tool-ran"));
  WriteFile(install_ + "Launcher.dat", tool);
  WriteFile(install_ + "Launcher.exe", "launcher v1");
  Serve("ZEPLauncherUpdate/Launcher.exe.7z", Pack7z({{"Launcher.exe", "", "launcher v2"}}));
  ServeList(Md5(tool), Md5("launcher v2"));
  ASSERT_TRUE(MarkLauncherNotReplaced(install_));
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(engine_->RunSelfUpdate(false), Status_Ready) << pass;
  }
  EXPECT_EQ(Requests("ZEPLauncherUpdate/Launcher.exe.7z"), 0);
  EXPECT_EQ(posted_, 0);
  EXPECT_EQ(exitCode, -1);
  EXPECT_FALSE(TakeLauncherNotReplaced(install_)) << "taken by the first step";

  engine_ = std::make_unique<CVXDlownloader>(install_);  // the player's next start
  engine_->SetReleaseBaseUrl(kBase);
  engine_->SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server_));
  engine_->SetSelfUpdateHooks([this] { ++posted_; }, [this](int code) { exitCode = code; });
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_SelfUpdating);
  EXPECT_GE(Requests("ZEPLauncherUpdate/Launcher.exe.7z"), 1);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(testfiles::ReadFifoUntilClosed(install_ + "tool-ran", 10), "started\n");
}

TEST_F(SelfUpdateTest, CommandLineRunSkipsAMissingLauncher) {
  WriteFile(install_ + "Launcher.dat", "tool");
  ServeList(Md5("tool"), Md5("launcher v2"));
  engine_->SetSkipMissingLauncher(true);
  EXPECT_EQ(engine_->RunSelfUpdate(false), Status_Ready);
  EXPECT_EQ(Requests("ZEPLauncherUpdate/Launcher.exe.7z"), 0);
}

}  // namespace
