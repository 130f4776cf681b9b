#include "update/update_list.h"

#include "update/engine_test_util.h"
#include "util/text_util.h"

namespace {

class UpdateListTest : public EngineFixture {
 protected:
  // An update list whose last entry announces `code`.
  void ServeUpdateXml(const std::string& version, const std::string& code) {
    Serve("LauncherConfig/update.xml",
          "<Filelist><version>" + version +
              "</version><Files><File Path=\"x\" Code=\"ignored\" Size=\"1\"/>"
              "<File Path=\"LauncherConfig/client.md5\" Code=\"" +
              code + "\" Size=\"1\" zipSize=\"1\"/></Files></Filelist>");
  }
};

TEST_F(UpdateListTest, CurrentClientListIsNotFetchedAgain) {
  const std::string list = "<Filelist><Files/></Filelist>";
  WriteFile(install_ + "LauncherConfig/client.md5", list);
  ServeUpdateXml("1.2.3", Md5(list));
  EXPECT_EQ(engine_->GetUpdateList(), Status_Ready);
  EXPECT_EQ(Requests("LauncherConfig/client.md5.7z"), 0);
  EXPECT_EQ(engine_->clientVersion(), "1.2.3");
  EXPECT_NE(ReadFile(install_ + "Launch.conf").find("<client_ver>1.2.3</client_ver>"),
            std::string::npos);
  CVXDlownloader restarted(install_);
  restarted.LoadLaunchConf();
  EXPECT_EQ(restarted.clientVersion(), "1.2.3");

  // Blanks and line breaks given as character references come back as they were stored.
  for (const char* version : {"&#10;", " &#13;2&#13;&#10; "}) {
    ServeUpdateXml(version, Md5(list));
    EXPECT_EQ(engine_->GetUpdateList(), Status_Ready);
    CVXDlownloader again(install_);
    again.LoadLaunchConf();
    EXPECT_EQ(again.clientVersion(), engine_->clientVersion()) << version;
    EXPECT_FALSE(again.clientVersion().empty()) << version;
  }
}

TEST_F(UpdateListTest, MissingOrStaleClientListIsFetchedAndChecked) {
  const std::string list = "<Filelist><Files><File Path=\"a\"/></Files></Filelist>";
  Serve("LauncherConfig/client.md5.7z", Pack7z({{"client.md5", "", list}}));
  ServeUpdateXml("2", Md5(list));
  EXPECT_EQ(engine_->GetUpdateList(), Status_Ready);
  EXPECT_EQ(ReadFile(install_ + "LauncherConfig/client.md5"), list);

  ServeUpdateXml("3", Md5("something else"));
  EXPECT_EQ(engine_->GetUpdateList(), Status_ClientListFailed);

  Serve("LauncherConfig/client.md5.7z", "not an archive");
  EXPECT_EQ(engine_->GetUpdateList(), Status_UnzipFailed);
  EXPECT_FALSE(Exists("LauncherConfig/client.md5.7z"));
}

TEST_F(UpdateListTest, BrokenUpdateListsGiveTheirStatus) {
  EXPECT_EQ(engine_->GetUpdateList(), Status_UpdateListDownloadFailed);
  Serve("LauncherConfig/update.xml", "<Filelist><Files>");
  EXPECT_EQ(engine_->GetUpdateList(), Status_UpdateListInvalid);
  Serve("LauncherConfig/update.xml", "<Other/>");
  EXPECT_EQ(engine_->GetUpdateList(), Status_UpdateListInvalid);
  Serve("LauncherConfig/update.xml", "<Filelist><version>1</version></Filelist>");
  EXPECT_EQ(engine_->GetUpdateList(), Status_UpdateListInvalid);
}

TEST_F(UpdateListTest, ServerListCopiedOnlyWhenItsFirstLineChanged) {
  const std::string list = "<Filelist><Files/></Filelist>";
  WriteFile(install_ + "LauncherConfig/client.md5", list);
  ServeUpdateXml("1", Md5(list));
  WriteFile(install_ + "LauncherConfig/UpdateServers.qdx", "first\nold second\n");
  Serve("LauncherConfig/UpdateServers.qdx" + TimeStampQuery(), "first\nnew second\n");
  EXPECT_EQ(engine_->GetUpdateList(), Status_Ready);
  EXPECT_EQ(ReadFile(install_ + "LauncherConfig/UpdateServers.qdx"), "first\nold second\n");
  Serve("LauncherConfig/UpdateServers.qdx" + TimeStampQuery(), "changed\n");
  EXPECT_EQ(engine_->GetUpdateList(), Status_Ready);
  EXPECT_EQ(ReadFile(install_ + "LauncherConfig/UpdateServers.qdx"), "changed\n");
}

TEST_F(UpdateListTest, VerifyModeRestoresScopeAndAlwaysFetchesTheClientList) {
  const std::string list = "<Filelist><Files/></Filelist>";
  WriteFile(install_ + "LauncherConfig/client.md5", list);
  Serve("LauncherConfig/update.xml" + TimeStampQuery(),
        "<Filelist><version>1</version><Files><File Path=\"c\" Code=\"" + Md5(list) +
            "\"/></Files></Filelist>");
  Serve("scope/login.scope" + TimeStampQuery(), "a.pak\n");
  Serve("LauncherConfig/client.md5.7z", Pack7z({{"client.md5", "", list}}));
  engine_->SetUpdateMode(UpdateMode::VerifyFiles);
  EXPECT_EQ(engine_->GetUpdateList(), Status_Ready);
  EXPECT_EQ(ReadFile(install_ + "scope/login.scope"), "a.pak\n");
  EXPECT_EQ(engine_->GetUpdateMode(), UpdateMode::Normal);
  EXPECT_GE(Requests("LauncherConfig/client.md5.7z"), 1);  // although current
}

}  // namespace
