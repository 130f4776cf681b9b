#include "update/local_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diag/log.h"
#include "update/downloader.h"
#include "util/file_util.h"
#include "util/testing/scratch_dir.h"

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class LocalListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogFile(dir + "log.txt");
    engine = std::make_unique<CVXDlownloader>(dir);
  }
  void Write(const std::string& rel, const std::string& data) { scratch.Write(rel, data); }
  std::string Read(const std::string& rel) { return scratch.Read(rel); }
  std::string Log() { return Read("log.txt"); }
  // A fresh engine reading what the previous one saved.
  std::vector<FileEntry> Reloaded() {
    LocalList list;
    EXPECT_TRUE(list.Load(dir + "LauncherConfig/localclient.md5"));
    return list.Entries();
  }
  static FileEntry Entry(std::string path, std::string code, int64_t size, int zip = 0,
                         int64_t zipSize = 0) {
    return FileEntry{std::move(path), std::move(code), size, zip, zipSize};
  }

  ScratchDir scratch{"list"};
  const std::string dir = scratch.path() + "/";
  std::unique_ptr<CVXDlownloader> engine;
};

TEST_F(LocalListTest, FirstLoginUntilAnEmptyListIsSaved) {
  EXPECT_EQ(engine->IsFirstLogin(), Status_FirstLogin);
  EXPECT_TRUE(engine->OpenLocalList());
  // Not on disk before a save: a first download killed part way must leave
  // the next start a first login again.
  EXPECT_EQ(engine->IsFirstLogin(), Status_FirstLogin);
  EXPECT_TRUE(engine->WriteLocalClient());
  EXPECT_EQ(engine->IsFirstLogin(), Status_Ready);
  std::string saved = Read("LauncherConfig/localclient.md5");
  EXPECT_EQ(saved.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << saved;
  EXPECT_NE(saved.find("<Filelist>"), std::string::npos);
  EXPECT_TRUE(Reloaded().empty());
  std::string log = Log();
  EXPECT_NE(log.find("] First Login \r\n"), std::string::npos);
  EXPECT_NE(log.find("] Start OpenLocalList  \r\n"), std::string::npos);
  EXPECT_TRUE(EndsWith(log, "] Is Not First Login ")) << log;
}

// A pass saves after each step: a list unchanged since it was read or
// saved is not written again, one that changed or went missing is.
TEST_F(LocalListTest, OnlyAChangedOrMissingListIsWrittenAgain) {
  const std::string path = dir + "LauncherConfig/localclient.md5";
  CreateParentFolders(path);
  LocalList list;
  list.CreateEmpty(path);
  list.Record("a.pak", Entry("a.pak", "0123456789abcdef0123456789abcdef", 10));
  ASSERT_TRUE(list.Save());
  auto inode = [&] {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const ino_t first = inode();
  ASSERT_TRUE(list.Load(path));
  list.Record("a.pak", Entry("a.pak", "0123456789abcdef0123456789abcdef", 10));  // as it was
  EXPECT_TRUE(list.Save());
  EXPECT_EQ(inode(), first) << "not written again";
  list.Record("a.pak", Entry("a.pak", "fedcba9876543210fedcba9876543210", 10));
  EXPECT_TRUE(list.Save());
  EXPECT_NE(inode(), first) << "a changed entry is saved";
  unlink(path.c_str());
  EXPECT_TRUE(list.Save());
  EXPECT_EQ(Reloaded().at(0).code, "fedcba9876543210fedcba9876543210");
}

TEST_F(LocalListTest, FullAndBackslashPathsAreStoredRelative) {
  engine->OpenLocalList();
  engine->RecordFileInLocalList(Entry(dir + "data\\a.dat", "c1", 10));
  engine->RecordFileInLocalList(Entry("data/b.dat", "c2", 20));
  EXPECT_TRUE(engine->localList()->Contains("data/a.dat"));
  EXPECT_TRUE(engine->localList()->Contains("data/b.dat"));
  EXPECT_TRUE(engine->WriteLocalClient());
  auto entries = Reloaded();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].path, "data/a.dat");
  EXPECT_EQ(entries[1].path, "data/b.dat");
  EXPECT_NE(Log().find("Write localclient success!"), std::string::npos);
}

TEST_F(LocalListTest, UpdateKeepsZipAttributesAndNewEntriesGetZipSizeOnlyForArchives) {
  engine->OpenLocalList();
  engine->RecordFileInLocalList(Entry("a.7z.file", "old", 1, 2, 100));
  engine->RecordFileInLocalList(Entry("plain.bin", "p", 2, 0, 999));
  engine->RecordFileInLocalList(Entry("big.4g", "g", 3, 3, 999));
  engine->RecordFileInLocalList(Entry("a.7z.file", "new", 5, 0, 0));
  engine->WriteLocalClient();
  std::string saved = Read("LauncherConfig/localclient.md5");
  EXPECT_NE(saved.find(R"(<File Path="a.7z.file" Code="new" Size="5" Zip="2" zipSize="100" />)"),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find(R"(<File Path="plain.bin" Code="p" Size="2" Zip="0" />)"),
            std::string::npos);
  EXPECT_NE(saved.find(R"(<File Path="big.4g" Code="g" Size="3" Zip="3" />)"), std::string::npos);
}

TEST_F(LocalListTest, SizesOfTwoGiBAndMoreAreWrittenInFull) {
  engine->OpenLocalList();
  const int64_t huge = (5ll << 30) + 3;
  engine->RecordFileInLocalList(Entry("huge.pak", "h", huge, 2, huge - 1));
  engine->WriteLocalClient();
  auto entries = Reloaded();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].size, huge);
  EXPECT_EQ(entries[0].zipSize, huge - 1);
}

TEST_F(LocalListTest, DuplicatesIndexTheLaterAndRemoveTakesBoth) {
  Write("LauncherConfig/localclient.md5",
        "<Filelist><Files>"
        "<File Path=\"d.dat\" Code=\"first\" Size=\"1\"/>"
        "<File Code=\"nopath\"/>"
        "<File Path=\"D.dat\" Code=\"upper\" Size=\"2\"/>"
        "<File Path=\"d.dat\" Code=\"second\" Size=\"3\"/>"
        "</Files></Filelist>");
  engine->OpenLocalList();
  FileEntry e;
  ASSERT_TRUE(engine->localList()->Find("d.dat", &e));
  EXPECT_EQ(e.code, "second");
  EXPECT_EQ(engine->localList()->IndexSize(), 2u);  // letter case makes D.dat its own entry
  EXPECT_TRUE(engine->RemoveLocalList("d.dat"));
  EXPECT_FALSE(engine->localList()->Contains("d.dat"));
  engine->WriteLocalClient();
  auto entries = Reloaded();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "D.dat");
  std::string log = Log();
  EXPECT_NE(log.find("Remove LocalList !\r\n[", log.find("Remove LocalList !") + 1),
            std::string::npos);
  EXPECT_NE(log.find("] d.dat"), std::string::npos);
}

TEST_F(LocalListTest, ForgetRemovesIndexedEntriesOnly) {
  engine->OpenLocalList();
  engine->RecordFileInLocalList(Entry("x", "c", 1));
  EXPECT_TRUE(engine->ForgetLocalListEntry("x"));
  EXPECT_FALSE(engine->ForgetLocalListEntry("x"));
  // Recording again after the removal makes a fresh element.
  engine->RecordFileInLocalList(Entry("x", "c2", 2));
  engine->WriteLocalClient();
  auto entries = Reloaded();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].code, "c2");
}

TEST_F(LocalListTest, ListWithoutFilesElement) {
  Write("LauncherConfig/localclient.md5", "<Filelist/>");
  engine->OpenLocalList();
  EXPECT_FALSE(engine->RemoveLocalList("x"));
  engine->RecordFileInLocalList(Entry("x", "c", 1));  // makes "Files"
  EXPECT_TRUE(engine->RemoveLocalList("x"));
}

// The XML library reads a Latin-1 list into UTF-8; saved, the list must say
// UTF-8, or every later load would read its names as Latin-1 once more.
// (The library finds the encoding even behind a damaged attribute.)
TEST_F(LocalListTest, Latin1ListKeepsItsNamesThroughSaves) {
  for (const char* declaration : {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>",
                                  "<?xml version=\"1.0\" \xB8\xB8"
                                  "encoding=\"ISO-8859-1\"?>"}) {
    Write("LauncherConfig/localclient.md5",
          std::string(declaration) +
              "\n<Filelist><Files><File Path=\"caf\xE9.txt\" Code=\"c\" Size=\"1\" Zip=\"0\"/>"
              "</Files></Filelist>");
    const std::string name = "caf\xC3\xA9.txt";
    for (int pass = 0; pass < 2; ++pass) {
      auto reader = std::make_unique<CVXDlownloader>(dir);
      reader->OpenLocalList();
      ASSERT_TRUE(reader->localList()->Find(name, nullptr)) << declaration << " pass " << pass;
      EXPECT_EQ(reader->localList()->IndexSize(), 1u);
      ASSERT_TRUE(reader->WriteLocalClient());
    }
  }
}

TEST_F(LocalListTest, NumbersFollowDecimalConversion) {
  Write("LauncherConfig/localclient.md5",
        "<Filelist><Files>"
        "<File Path=\"a\" Code=\"c\" Size=\"  42abc\" Zip=\"1\" zipSize=\"0x10\"/>"
        "<File Path=\"b\" Code=\"c\" Size=\"junk\" zipSize=\"7\"/>"
        "</Files></Filelist>");
  engine->OpenLocalList();
  FileEntry a, b;
  ASSERT_TRUE(engine->localList()->Find("a", &a));
  ASSERT_TRUE(engine->localList()->Find("b", &b));
  EXPECT_EQ(a.size, 42);
  EXPECT_EQ(a.zipSize, 0);
  EXPECT_EQ(b.size, 0);
  EXPECT_EQ(b.zip, 0);
  EXPECT_EQ(b.zipSize, 0);  // only read for zip 1 and 2
}

TEST_F(LocalListTest, DamagedListIsKeptAsideAndReplacedByEmptyOne) {
  Write("LauncherConfig/localclient.md5", "<Filelist><Files><File Path=\"a\"");
  engine->OpenLocalList();
  EXPECT_EQ(Read("LauncherConfig/localclient.md5.bad"), "<Filelist><Files><File Path=\"a\"");
  EXPECT_FALSE(FileExists(dir + "LauncherConfig/localclient.md5"));
  EXPECT_NE(Log().find("[Error] Local list "), std::string::npos);
  // Records made after the empty start are kept by later calls.
  engine->RecordFileInLocalList(Entry("b", "c", 1));
  engine->OpenLocalList();
  EXPECT_TRUE(engine->WriteLocalClient());
  EXPECT_EQ(Reloaded().size(), 1u);
}

TEST_F(LocalListTest, LoadsOnceAndCleansLeftoverTemporaryFiles) {
  Write("LauncherConfig/localclient.md5", "<Filelist><Files><File Path=\"a\"/></Files></Filelist>");
  Write("LauncherConfig/localclient.md5.tmp-77-1", "half a list");
  engine->OpenLocalList();
  EXPECT_FALSE(FileExists(dir + "LauncherConfig/localclient.md5.tmp-77-1"));
  Write("LauncherConfig/localclient.md5", "<Filelist><Files/></Filelist>");
  engine->OpenLocalList();  // already open: the file is not read again
  EXPECT_TRUE(engine->localList()->Contains("a"));
}

TEST_F(LocalListTest, SaveBeforeOpenFailsAndLeavesFileAlone) {
  Write("LauncherConfig/localclient.md5", "<Filelist><Files><File Path=\"a\"/></Files></Filelist>");
  EXPECT_FALSE(engine->WriteLocalClient());
  EXPECT_NE(Read("LauncherConfig/localclient.md5").find("Path=\"a\""), std::string::npos);
  EXPECT_NE(Log().find("Write localclient faile!"), std::string::npos);
}

TEST_F(LocalListTest, FailedSaveKeepsOldFileAndMemory) {
  engine->OpenLocalList();
  engine->RecordFileInLocalList(Entry("kept", "c", 1));
  ASSERT_TRUE(engine->WriteLocalClient());
  engine->RecordFileInLocalList(Entry("more", "c", 1));
  chmod((dir + "LauncherConfig").c_str(), 0555);
  bool asRoot = geteuid() == 0;  // root writes anyway; the check below still holds
  bool saved = engine->WriteLocalClient();
  chmod((dir + "LauncherConfig").c_str(), 0755);
  if (!asRoot) {
    EXPECT_FALSE(saved);
  }
  EXPECT_GE(Reloaded().size(), 1u);
  EXPECT_TRUE(engine->WriteLocalClient());
  EXPECT_EQ(Reloaded().size(), 2u);
}

TEST_F(LocalListTest, ScopeFile) {
  EXPECT_FALSE(engine->IsScopeExist());
  Write("scope/login.scope", "a.dat\n");
  EXPECT_TRUE(engine->IsScopeExist());
  std::string log = Log();
  EXPECT_NE(log.find("] Scope Lost\r\n"), std::string::npos);
  EXPECT_TRUE(EndsWith(log, "] Scope Exist")) << log;
}

TEST_F(LocalListTest, TaskFormUsesTargetPathAndKind) {
  engine->OpenLocalList();
  DownloadTask task;
  task.TaskKind = TaskKind::SevenZip;
  task.targetPath = dir + "bin/game.dll";
  task.code = "abc";
  task.size = 9;
  task.zipSize = 4;
  engine->RecordFileInLocalList(task);
  FileEntry e;
  ASSERT_TRUE(engine->localList()->Find("bin/game.dll", &e));
  EXPECT_EQ(TaskKindOf(e.zip), TaskKind::SevenZip);
  EXPECT_EQ(e.zipSize, 4);
  EXPECT_EQ(e.size, 9);
}

}  // namespace
