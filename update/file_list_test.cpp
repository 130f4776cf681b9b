#include "update/file_list.h"

#include <gtest/gtest.h>

#include "diag/log.h"
#include "util/testing/scratch_dir.h"

namespace {

class FileListTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogFile(dir_ / "test.log"); }
  bool Parse(const std::string& text, FileList* list) {
    return ParseFileList(text.data(), text.size(), "client.md5", list);
  }
  ScratchDir dir_{"file-list"};
};

TEST_F(FileListTest, NumbersOutOfRangeSkipTheEntryWithAnErrorLine) {
  FileList list;
  ASSERT_TRUE(
      Parse("<Filelist><version>1.2</version><Files>"
            "<File Path='a' Code='c' Size='  42abc' Zip='2' zipSize='7'/>"
            "<File Path='b' Code='c' Size='junk' Zip='0' zipSize='99999999999999999999'/>"
            "<File Path='huge' Code='c' Size='9223372036854775808'/>"
            "<File Path='negative' Code='c' Size='-5'/>"
            "<File Path='beyond' Code='c' Size='1099511627777'/>"
            "<File Path='badzip' Code='c' Size='1' Zip='1' zipSize='-1'/>"
            "<File Code='no path'/>"
            "</Files></Filelist>",
            &list));
  EXPECT_TRUE(list.hasRoot && list.hasFiles);
  EXPECT_EQ(list.version, "1.2");
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[0].size, 42);
  EXPECT_EQ(list.entries[0].zipSize, 7);
  // zipSize is read only for Zip 1 and 2.
  EXPECT_EQ(list.entries[1].path, "b");
  EXPECT_EQ(list.entries[1].size, 0);
  EXPECT_EQ(list.entries[1].zipSize, 0);
  const std::string log = dir_.Read("test.log");
  for (const char* skipped : {"[huge]", "[negative]", "[beyond]", "[badzip]"})
    EXPECT_NE(log.find(std::string("[Error] client.md5: entry ") + skipped), std::string::npos)
        << skipped;
  EXPECT_FALSE(Parse("<Filelist><Files><File Path='x'", &list));
}

TEST_F(FileListTest, ListsAreWrittenInTheirThreeFormsAndReadBack) {
  std::vector<FileEntry> entries = {{"data/a.dds", "0123", 5, 2, 3}, {"b.exe", "4567", 6, 0, 0}};
  FileList list;
  ASSERT_TRUE(Parse(FileListText(entries, FileListForm()), &list));
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[0].zipSize, 3);
  const std::string client = FileListText(entries, FileListForm());
  EXPECT_EQ(client.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
  EXPECT_EQ(client.find("zipSize=\"0\""), std::string::npos) << "plain files carry none";

  FileListForm package;
  package.number = true;
  package.zipSize = ZipSizeAttribute::kNever;
  const std::string packageList = FileListText(entries, package);
  EXPECT_NE(packageList.find("<Number>2</Number>"), std::string::npos);
  EXPECT_EQ(packageList.find("zipSize"), std::string::npos);

  FileListForm update;
  update.version = "3.1";
  update.zipAttribute = false;
  update.zipSize = ZipSizeAttribute::kAlways;
  const std::string updateList = FileListText(entries, update);
  EXPECT_EQ(updateList.find("Zip="), std::string::npos);
  EXPECT_NE(updateList.find("zipSize=\"0\""), std::string::npos);
  ASSERT_TRUE(Parse(updateList, &list));
  EXPECT_EQ(list.version, "3.1");
}

TEST_F(FileListTest, AListLargerThanItsLimitIsNotParsed) {
  const std::string file = dir_.Write("big.md5", "<Filelist><Files>" + std::string(5000, ' ') +
                                                     "<File Path='a' Code='c' Size='1'/>"
                                                     "</Files></Filelist>");
  FileList list;
  EXPECT_FALSE(ReadFileList(file, 4096, &list));
  EXPECT_TRUE(list.entries.empty());
  EXPECT_NE(dir_.Read("test.log").find("more than the 4096 a list may have"), std::string::npos);
  EXPECT_TRUE(ReadFileList(file, 1 << 20, &list));
  EXPECT_EQ(list.entries.size(), 1u);
  EXPECT_FALSE(ReadFileList(dir_ / "missing.md5", 1 << 20, &list));
}

TEST(PackageListNames, ListsInsideAPackageAreKnownByFolderOrName) {
  EXPECT_TRUE(IsPackageListName("LauncherConfig/update/data2.7z.md5"));
  EXPECT_TRUE(IsPackageListName("data.7z.md5"));
  EXPECT_TRUE(IsPackageListName("sub/lobby.7z.md5"));
  EXPECT_FALSE(IsPackageListName("LauncherConfig/update/deeper/x.md5"));
  EXPECT_FALSE(IsPackageListName("data/file.md5"));
}

}  // namespace
