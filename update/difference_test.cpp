#include "update/difference.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "update/downloader.h"
#include "update/md5.h"

namespace fs = std::filesystem;

namespace {

struct Item {
  std::string path, code;
  int zip = 0;
};

std::string ListXml(const std::vector<Item>& items) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Filelist><Files>\n";
  for (const Item& i : items) {
    xml += "<File Path=\"" + i.path + "\" Code=\"" + i.code + "\" Size=\"3\" Zip=\"" +
           std::to_string(i.zip) + "\"" + (i.zip == 2 ? " zipSize=\"9\"" : "") + "/>\n";
  }
  return xml + "</Files></Filelist>\n";
}

void WriteFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Md5Of(const std::string& text) {
  Md5Context c;
  c.Update(text.data(), text.size());
  return c.HexDigest();
}

class DifferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kst-diff-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    install_ = dir_.string() + "/";
    engine_ = std::make_unique<CVXDlownloader>(install_);
    engine_->SetReleaseBaseUrl("http://127.0.0.1:1/rel");
  }
  void TearDown() override {
    engine_.reset();
    fs::remove_all(dir_);
  }
  void Published(const std::vector<Item>& items) {
    WriteFile(install_ + "LauncherConfig/client.md5", ListXml(items));
  }
  void Local(const std::vector<Item>& items) {
    WriteFile(install_ + "LauncherConfig/localclient.md5", ListXml(items));
  }
  void Scope(const std::string& text) { WriteFile(install_ + "scope/login.scope", text); }
  std::vector<std::string> TaskPaths() {
    std::vector<std::string> paths;
    for (const DownloadTask& t : engine_->downloadTasks())
      paths.push_back(t.targetPath.substr(install_.size()));
    return paths;
  }

  fs::path dir_;
  std::string install_;
  std::unique_ptr<CVXDlownloader> engine_;
};

using Paths = std::vector<std::string>;

TEST_F(DifferenceTest, NormalModeFetchesChangedFilesAndNewFilesOfProgramTypes) {
  Published({{"changed.dat", "c2"},
             {"same.dat", "s"},
             {"new.dds", "n"},
             {"new.cs", "n"},
             {"NEW.DLL", "n"},
             {"ini", "n"},
             {"data/new.xml", "n"}});
  Local({{"changed.dat", "c1"}, {"same.dat", "s"}, {"gone.dat", "g"}});
  Scope("");
  engine_->SetUpdateMode(UpdateMode::Normal);
  ASSERT_EQ(engine_->GetDifferentFiles(), Status_DifferencesReady);
  EXPECT_EQ(TaskPaths(), (Paths{"changed.dat", "data/new.xml", "ini", "new.cs"}));
  EXPECT_EQ(engine_->oldFiles(), (Paths{"gone.dat"}));
  CVXDlownloader::Progress p = engine_->ReadProgress();
  EXPECT_EQ(p.checkedFileCount, 7);
  EXPECT_EQ(p.listFileCount, 10);  // published plus local: stays below 100 %

  const DownloadTask& t = engine_->downloadTasks()[0];
  EXPECT_EQ(t.downloadUrl, "http://127.0.0.1:1/rel/changed.dat");
  EXPECT_EQ(t.downloadPath, install_ + "LauncherConfig/update/changed.dat");
  EXPECT_EQ(t.code, "c2");
}

TEST_F(DifferenceTest, ScopeAndImportantFilesAddOneTaskEach) {
  Published({{"KestravaBox.exe", "k2", 0}, {"start.pak", "p2", 2}, {"other.pak", "o"}});
  Local({{"KestravaBox.exe", "k1"}});
  WriteFile(install_ + "KestravaBox.exe", "old");
  Scope("start.pak\r\nnot/published\n\nstart.pak\n");
  ASSERT_EQ(engine_->GetDifferentFiles(), Status_DifferencesReady);
  // The scope line keeps its carriage return, so only the second start.pak counts.
  EXPECT_EQ(TaskPaths(), (Paths{"KestravaBox.exe", "start.pak"}));
  EXPECT_EQ(engine_->downloadTasks()[1].TaskKind, TaskKind::SevenZip);
  EXPECT_EQ(engine_->downloadTasks()[1].downloadUrl, "http://127.0.0.1:1/rel/start.pak.7z");
}

TEST_F(DifferenceTest, MissingListsAndScopeGiveTheirStatus) {
  EXPECT_EQ(engine_->GetDifferentFiles(), Status_ClientListMissing);
  Published({{"a.cs", "x"}});
  EXPECT_EQ(engine_->GetDifferentFiles(), Status_LocalListMissing);
  engine_->SetUpdateMode(UpdateMode::VerifyFiles);
  EXPECT_EQ(engine_->GetDifferentFiles(), Status_ClientListMissing);
  engine_->SetUpdateMode(UpdateMode::Normal);
  Local({});
  EXPECT_EQ(engine_->GetDifferentFiles(), Status_ScopeListMissing);
  engine_->RequestCancel();
  EXPECT_EQ(engine_->GetDifferentFiles(), Status_Cancelled);
}

TEST_F(DifferenceTest, VerifyModeChecksFilesOnDiskThatTheLocalListKnows) {
  Published({{"good.dat", Md5Of("abc")},
             {"bad.dat", Md5Of("abc")},
             {"gone.dat", Md5Of("abc")},
             {"unknown.dat", Md5Of("abc")}});
  Local({{"good.dat", "x"}, {"bad.dat", "x"}, {"gone.dat", "x"}});
  WriteFile(install_ + "good.dat", "abc");
  WriteFile(install_ + "bad.dat", "abd");
  engine_->SetUpdateMode(UpdateMode::VerifyFiles);
  ASSERT_EQ(engine_->GetDifferentFiles(), Status_DifferencesReady);
  ASSERT_EQ(TaskPaths(), (Paths{"bad.dat", "gone.dat"}));
  EXPECT_EQ(engine_->downloadTasks()[0].fixNameCase, 0);
  EXPECT_EQ(engine_->downloadTasks()[1].fixNameCase, 1);
  EXPECT_EQ(engine_->ReadProgress().checkedFileCount, 4);
}

TEST_F(DifferenceTest, FullDownloadFetchesEveryMissingOrChangedFile) {
  Published({{"a.dds", "1"}, {"b.dds", "2"}, {"c.dds", "3"}});
  Local({{"a.dds", "1"}, {"b.dds", "0"}});
  engine_->SetUpdateMode(UpdateMode::FullDownload);
  ASSERT_EQ(engine_->GetDifferentFiles(), Status_DifferencesReady);
  EXPECT_EQ(TaskPaths(), (Paths{"b.dds", "c.dds"}));
}

TEST_F(DifferenceTest, HostilePathsAreRefusedAndNothingOutsideIsDeleted) {
  WriteFile(dir_.string() + "-outside", "precious");
  std::string outside = "../" + dir_.filename().string() + "-outside";
  Published({{"../evil.cs", "1"}, {"/etc/evil.cs", "1"}, {"ok.cs", "1"}});
  Local({{outside, "1"}});
  Scope("../evil.cs\n");
  ASSERT_EQ(engine_->GetDifferentFiles(), Status_DifferencesReady);
  EXPECT_EQ(TaskPaths(), (Paths{"ok.cs"}));
  EXPECT_TRUE(engine_->oldFiles().empty());
  engine_->DeleteOldFile();
  EXPECT_TRUE(fs::exists(dir_.string() + "-outside"));
  fs::remove(dir_.string() + "-outside");
}

TEST_F(DifferenceTest, DeleteOldFileRemovesTheFileAndItsListEntry) {
  Published({{"keep.dat", "k"}});
  Local({{"keep.dat", "k"}, {"old/gone.dat", "g"}});
  Scope("");
  WriteFile(install_ + "old/gone.dat", "x");
  ASSERT_EQ(engine_->GetDifferentFiles(), Status_DifferencesReady);
  engine_->DeleteOldFile();
  EXPECT_FALSE(fs::exists(install_ + "old/gone.dat"));
  ASSERT_TRUE(engine_->WriteLocalClient());
  std::ifstream in(install_ + "LauncherConfig/localclient.md5");
  std::string saved((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(saved.find("gone.dat"), std::string::npos);
  EXPECT_NE(saved.find("keep.dat"), std::string::npos);
}

TEST_F(DifferenceTest, DownloadSizeTotalsTasksAndRefusesNegativeSizes) {
  EXPECT_EQ(engine_->GetDownloadSize(), Status_SizeReady);
  EXPECT_EQ(engine_->ReadProgress().downloadSize, 1);
  FileEntry e{"sub/a.dat", "c", 10, 0, 0};
  engine_->AddDownloadTask(e, 0);
  EXPECT_EQ(engine_->GetDownloadSize(), Status_SizeReady);
  EXPECT_EQ(engine_->ReadProgress().downloadSize, 11);
  EXPECT_TRUE(fs::is_directory(install_ + "LauncherConfig/update/sub"));
  EXPECT_TRUE(fs::is_directory(install_ + "sub"));
  e.size = -1;
  engine_->AddDownloadTask(e, 0);
  EXPECT_EQ(engine_->GetDownloadSize(), Status_SizeFailed);
}

// Sizes come from the server's list: absurd ones must not wrap the total
// round to a small or negative figure.
TEST_F(DifferenceTest, DownloadSizeOfHugeListedSizesStopsAtTheLargestTotal) {
  const int64_t huge = std::numeric_limits<int64_t>::max();
  engine_->AddDownloadTask(FileEntry{"a.pak", "c", huge, 0, 0}, 0);
  engine_->AddDownloadTask(FileEntry{"b.pak", "c", huge, 0, 0}, 0);
  EXPECT_EQ(engine_->GetDownloadSize(), Status_SizeReady);
  EXPECT_EQ(engine_->ReadProgress().downloadSize, huge);
}

TEST(Extensions, ComparedCaseSensitivelyOnTheTextAfterTheLastDot) {
  EXPECT_TRUE(IsFetchedExtension("a/b.c/x.dll"));
  EXPECT_FALSE(IsFetchedExtension("x.DLL"));
  EXPECT_FALSE(IsFetchedExtension("x.dll.bak"));
  EXPECT_TRUE(IsFetchedExtension("ini"));
  EXPECT_FALSE(IsFetchedExtension("dir.ini/readme"));
}

}  // namespace
