#include "update/patch.h"

#include <archive.h>
#include <archive_entry.h>

#include "update/engine_test_util.h"

namespace {

// One file as a .zip archive, made in memory.
std::string PackZip(const std::string& name, const std::string& content) {
  std::string out(content.size() * 2 + 4096, '\0');
  size_t used = 0;
  archive* a = archive_write_new();
  archive_write_set_format_zip(a);
  archive_write_open_memory(a, out.data(), out.size(), &used);
  archive_entry* e = archive_entry_new();
  archive_entry_set_pathname(e, name.c_str());
  archive_entry_set_size(e, static_cast<la_int64_t>(content.size()));
  archive_entry_set_filetype(e, AE_IFREG);
  archive_entry_set_perm(e, 0644);
  archive_write_header(a, e);
  archive_write_data(a, content.data(), content.size());
  archive_entry_free(e);
  archive_write_close(a);
  archive_write_free(a);
  out.resize(used);
  return out;
}

class PatchTest : public EngineFixture {
 protected:
  void AddTask(const std::string& path, const std::string& content,
               TaskKind zip = TaskKind::Plain) {
    FileEntry e{path, Md5(content), static_cast<int64_t>(content.size()), ZipValueOf(zip), 0};
    if (zip == TaskKind::SevenZip) {
      std::string packed = Pack7z({{path, "", content}});
      e.zipSize = static_cast<int64_t>(packed.size());
      Serve(path + ".7z", packed);
    } else if (zip == TaskKind::Zip) {
      std::string packed = PackZip(path, content);
      e.zipSize = static_cast<int64_t>(packed.size());
      Serve(path + ".zip", packed);
    }
    engine_->AddDownloadTask(e, 0);
  }
  std::string LocalList() { return ReadFile(install_ + "LauncherConfig/localclient.md5"); }
};

TEST_F(PatchTest, AppliesFetchedFilesAndRecordsOnlyThose) {
  WriteFile(install_ + "a.dat", "old a");
  Serve("a.dat", "new a");
  Serve("b/c.dat", "new c");
  AddTask("a.dat", "new a");
  AddTask("b/c.dat", "new c");
  AddTask("missing.dat", "never served");
  AddTask("packed.dat", "packed content", TaskKind::SevenZip);
  ASSERT_EQ(engine_->GetDownloadSize(), Status_SizeReady);
  // One file could not be had: the pass is not complete.
  EXPECT_EQ(engine_->DownloadDifferentFiles(), Status_FileDownloadFailed);

  EXPECT_EQ(ReadFile(install_ + "a.dat"), "new a");
  EXPECT_EQ(ReadFile(install_ + "b/c.dat"), "new c");
  EXPECT_EQ(ReadFile(install_ + "packed.dat"), "packed content");
  std::string list = LocalList();
  EXPECT_NE(list.find("\"b/c.dat\""), std::string::npos);
  EXPECT_NE(list.find(Md5("new a")), std::string::npos);
  EXPECT_EQ(list.find("missing.dat"), std::string::npos);
  // A packed file keeps its kind and archive size in the list.
  EXPECT_NE(list.find("Path=\"packed.dat\""), std::string::npos);
  EXPECT_NE(list.find("zipSize="), std::string::npos);
  CVXDlownloader::Progress p = engine_->ReadProgress();
  EXPECT_EQ(p.totalFileCount, 5);
  EXPECT_EQ(p.finishedFileCount, 3);
}

TEST_F(PatchTest, ZipFilesAreAppliedAndRecordedLikeSevenZipFiles) {
  AddTask("zipped/z.dat", "zipped content", TaskKind::Zip);
  ASSERT_EQ(engine_->GetDownloadSize(), Status_SizeReady);
  EXPECT_EQ(engine_->DownloadDifferentFiles(), Status_Completed);
  EXPECT_EQ(ReadFile(install_ + "zipped/z.dat"), "zipped content");
  std::string list = LocalList();
  EXPECT_NE(list.find("Path=\"zipped/z.dat\""), std::string::npos) << list;
  EXPECT_EQ(engine_->ReadProgress().finishedFileCount, 1);
}

TEST_F(PatchTest, DamagedDownloadIsNotRecordedAndTheOldFileStays) {
  WriteFile(install_ + "a.dat", "old a");
  Serve("a.dat", "bad a");  // right size, wrong bytes
  AddTask("a.dat", "new a");
  ASSERT_EQ(engine_->GetDownloadSize(), Status_SizeReady);
  EXPECT_EQ(engine_->DownloadDifferentFiles(), Status_FileDownloadFailed);
  EXPECT_EQ(ReadFile(install_ + "a.dat"), "old a");
  EXPECT_EQ(LocalList().find("a.dat"), std::string::npos);
}

TEST_F(PatchTest, NoTasksStillSavesTheList) {
  EXPECT_EQ(engine_->DownloadDifferentFiles(), Status_Completed);
  EXPECT_EQ(engine_->ReadProgress().totalFileCount, 1);
  EXPECT_TRUE(Exists("LauncherConfig/localclient.md5"));
}

}  // namespace
