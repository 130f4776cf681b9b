#include "update/archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "diag/log.h"
#include "tests/test_files.h"
#include "update/md5.h"

namespace fs = std::filesystem;

namespace {

using testfiles::FilesBelow;
using testfiles::ReadAll;
const auto& WriteText = testfiles::WriteAll;
using testfiles::Md5Of;

// Bytes that compress, but not to nothing.
std::string Sample(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>("kestrava"[(i * seed) % 8] + i % 7);
  return s;
}

// One item of an archive made by the tests with libarchive: a plain file
// unless `type` says otherwise.
struct Item {
  Item(std::string n, std::string d) : name(std::move(n)), data(std::move(d)) {}
  static Item Symlink(std::string n, std::string target) {
    Item item(std::move(n), "");
    item.type = AE_IFLNK;
    item.link = std::move(target);
    return item;
  }
  std::string name;
  std::string data;
  unsigned type = AE_IFREG;
  std::string link;  // symlink target
};

// Writes items in the given format ("7zip" or "zip") with libarchive, so
// the tests can build archives that no well-behaved tool would make.
void MakeArchive(const std::string& path, const std::string& format,
                 const std::vector<Item>& items) {
  archive* a = archive_write_new();
  archive_write_set_format_by_name(a, format.c_str());
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const Item& item : items) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, item.name.c_str());
    archive_entry_set_filetype(e, item.type);
    archive_entry_set_perm(e, item.type == AE_IFDIR ? 0755 : 0644);
    if (item.type == AE_IFLNK) archive_entry_set_symlink(e, item.link.c_str());
    if (item.type == AE_IFREG) archive_entry_set_size(e, item.data.size());
    ASSERT_EQ(archive_write_header(a, e), ARCHIVE_OK) << archive_error_string(a);
    if (!item.data.empty()) archive_write_data(a, item.data.data(), item.data.size());
    archive_entry_free(e);
  }
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
}

// Counts what ExtractPackage reports.
class CountingProgress : public ExtractProgress {
 public:
  void OnItemCount(int n) override { items += n; }
  void OnFileWritten() override { ++files; }
  int items = 0;
  int files = 0;
};

std::vector<std::string> Names(const std::vector<ExtractedFile>& files) {
  std::vector<std::string> out;
  for (auto& f : files) out.push_back(f.name);
  std::sort(out.begin(), out.end());
  return out;
}

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/archive_test.XXXXXX";
    root_ = mkdtemp(pattern);
    dest_ = root_ + "/dest/";
    fs::create_directories(dest_);
    SetLogFile(root_ + "/test.log");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Log() { return ReadAll(root_ + "/test.log"); }

  // Packs the folder `src` (below root_) with the 7zz tool.
  std::string SevenZip(const std::string& src, const std::string& extraArgs = "") {
    std::string out = root_ + "/tool.archive";
    std::string cmd = "cd '" + root_ + "/" + src + "' && 7zz a -bd -bso0 " + extraArgs + " '" +
                      out + "' . >/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return out;
  }

  std::string root_;
  std::string dest_;
};

TEST_F(ArchiveTest, PackageFromTheSevenZipToolWithFoldersAndFiles) {
  const std::string big = Sample(3 << 20, 7);
  WriteText(root_ + "/src/bin/Kestrava.exe", big);
  WriteText(root_ + "/src/data/maps/town.mis", "town");
  WriteText(root_ + "/src/data/字体/中文.ttf", "font");
  WriteText(root_ + "/src/empty.ini", "");
  // More small items than one digest batch holds, of every size up to the
  // largest a batch takes.
  std::vector<std::string> many;
  for (int i = 0; i < 11; ++i) {
    many.push_back("many/" + std::to_string(10 + i) + ".bin");
    WriteText(root_ + "/src/" + many.back(), Sample(i == 10 ? 64 << 10 : i * 6553, i));
  }
  fs::create_directories(root_ + "/src/emptydir");
  std::string archive = SevenZip("src");

  std::vector<ExtractedFile> written;
  CountingProgress progress;
  ASSERT_TRUE(ExtractPackage(archive, dest_, &written, &progress));

  std::vector<std::string> expected = {"bin/Kestrava.exe", "data/maps/town.mis",
                                       "data/字体/中文.ttf", "empty.ini"};
  expected.insert(expected.end(), many.begin(), many.end());
  EXPECT_EQ(Names(written), expected);
  EXPECT_EQ(FilesBelow(dest_), expected);
  EXPECT_TRUE(fs::is_directory(dest_ + "emptydir"));
  EXPECT_EQ(ReadAll(dest_ + "bin/Kestrava.exe"), big);
  for (auto& f : written) {
    std::string content = ReadAll(dest_ + f.name);
    EXPECT_EQ(f.md5, Md5Of(content)) << f.name;
    EXPECT_EQ(f.size, static_cast<int64_t>(content.size())) << f.name;
  }
  // Folders count as items but not as written files.
  EXPECT_EQ(progress.files, 15);
  EXPECT_GT(progress.items, 15);
}

TEST_F(ArchiveTest, ZipArchivesUnpackLikeSevenZip) {
  WriteText(root_ + "/src/a/b.txt", "bee");
  WriteText(root_ + "/src/c.bin", Sample(100000, 3));
  std::string archive = SevenZip("src", "-tzip");
  std::vector<ExtractedFile> written;
  ASSERT_TRUE(ExtractPackage(archive, dest_, &written, nullptr));
  EXPECT_EQ(Names(written), (std::vector<std::string>{"a/b.txt", "c.bin"}));
  EXPECT_EQ(ReadAll(dest_ + "a/b.txt"), "bee");

  std::string md5;
  ASSERT_TRUE(ExtractSingleFile(archive, root_ + "/single.txt", &md5));
  EXPECT_EQ(md5, Md5Of(ReadAll(root_ + "/single.txt")));
}

TEST_F(ArchiveTest, HostileItemsAreRefusedAndNothingLeavesTheFolder) {
  for (std::string format : {"7zip", "zip"}) {
    SCOPED_TRACE(format);
    fs::remove_all(root_ + "/dest");
    fs::create_directories(dest_);
    std::string archive = root_ + "/hostile." + format;
    MakeArchive(archive, format,
                {{"../escaped.txt", "x"},
                 {"/tmp/kestrava_abs_escape.txt", "x"},
                 {"a/../../escaped2.txt", "x"},
                 {"..\\escaped3.txt", "x"},
                 {"C:/win.txt", "x"},
                 Item::Symlink("link", "/etc"),
                 {"link/passwd", "x"},
                 {"ok.txt", "fine"}});
    std::vector<ExtractedFile> written;
    ASSERT_TRUE(ExtractPackage(archive, dest_, &written, nullptr));
    EXPECT_EQ(Names(written), (std::vector<std::string>{"link/passwd", "ok.txt"}));
    EXPECT_FALSE(fs::is_symlink(dest_ + "link"));
    EXPECT_FALSE(fs::exists(root_ + "/escaped.txt"));
    EXPECT_FALSE(fs::exists(root_ + "/escaped2.txt"));
    EXPECT_FALSE(fs::exists(root_ + "/escaped3.txt"));
    EXPECT_FALSE(fs::exists("/tmp/kestrava_abs_escape.txt"));
  }
  std::string log = Log();
  EXPECT_NE(log.find("[Error] 7zUnzip File ../escaped.txt refused"), std::string::npos);
  EXPECT_NE(log.find("[Error] 7zUnzip File link refused: links are not unpacked"),
            std::string::npos);
}

TEST_F(ArchiveTest, FirstItemWithHostileNameIsNotWrittenByExtractToFolder) {
  std::string archive = root_ + "/a.7z";
  MakeArchive(archive, "7zip", {{"../client.md5", "list"}});
  EXPECT_FALSE(ExtractToFolder(archive, dest_, nullptr));
  EXPECT_FALSE(fs::exists(root_ + "/client.md5"));
  // A fixed target is fine whatever the item is called.
  std::string md5;
  EXPECT_TRUE(ExtractSingleFile(archive, dest_ + "x", &md5));
  EXPECT_EQ(ReadAll(dest_ + "x"), "list");
}

TEST_F(ArchiveTest, PackageListFilesAreWrittenButNotReported) {
  std::string archive = root_ + "/data.7z";
  MakeArchive(archive, "7zip",
              {{"data.7z.md5", "<Filelist/>"},
               {"LauncherConfig/update/lobby.7z.md5", "<Filelist/>"},
               {"LauncherConfig/update/data2.7z.md5", "<Filelist/>"},
               {"data/x.dat", "x"},
               {"other.7z.md5x", "y"}});
  std::vector<ExtractedFile> written;
  CountingProgress progress;
  ASSERT_TRUE(ExtractPackage(archive, dest_, &written, &progress));
  EXPECT_EQ(Names(written), (std::vector<std::string>{"data/x.dat", "other.7z.md5x"}));
  EXPECT_EQ(ReadAll(dest_ + "data.7z.md5"), "<Filelist/>");
  EXPECT_TRUE(fs::exists(dest_ + "LauncherConfig/update/lobby.7z.md5"));
  EXPECT_EQ(progress.files, 5);
  EXPECT_EQ(progress.items, 5);
}

TEST_F(ArchiveTest, EmptyPackageGivesEmptyList) {
  std::string archive = root_ + "/empty.7z";
  MakeArchive(archive, "7zip", {});
  std::vector<ExtractedFile> written;
  CountingProgress progress;
  EXPECT_TRUE(ExtractPackage(archive, dest_, &written, &progress));
  EXPECT_TRUE(written.empty());
  EXPECT_EQ(progress.items, 0);
  EXPECT_TRUE(FilesBelow(dest_).empty());
  // Nothing to take the first item from.
  EXPECT_FALSE(ExtractToFolder(archive, dest_, nullptr));
}

TEST_F(ArchiveTest, DamagedOrMissingArchivesWriteNothing) {
  WriteText(root_ + "/src/a.txt", Sample(200000, 5));
  WriteText(root_ + "/src/b.txt", Sample(200000, 11));
  std::string good = ReadAll(SevenZip("src"));
  std::vector<std::pair<std::string, std::string>> cases = {
      {"garbage", Sample(5000, 13)},
      {"truncated", good.substr(0, good.size() / 2)},
      {"header cut", good.substr(0, good.size() - 20)},
      {"empty file", ""},
  };
  WriteText(dest_ + "a.txt", "old");
  for (auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    std::string path = root_ + "/bad.7z";
    WriteText(path, bytes);
    std::vector<ExtractedFile> written;
    EXPECT_FALSE(ExtractPackage(path, dest_, &written, nullptr));
    EXPECT_TRUE(written.empty());
    EXPECT_FALSE(ExtractSingleFile(path, dest_ + "a.txt", nullptr));
    EXPECT_FALSE(ExtractToFolder(path, dest_, nullptr));
    EXPECT_EQ(FilesBelow(dest_), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(ReadAll(dest_ + "a.txt"), "old");
  }
  EXPECT_NE(Log().find("7zUnzip Error!ZR = 0"), std::string::npos);
  // A file that is not there: only the single-file form says so.
  const size_t before = Log().size();
  EXPECT_FALSE(ExtractPackage(root_ + "/missing.7z", dest_, nullptr, nullptr));
  EXPECT_FALSE(ExtractToFolder(root_ + "/missing.7z", dest_, nullptr));
  EXPECT_EQ(Log().size(), before);
  EXPECT_FALSE(ExtractSingleFile(root_ + "/missing.7z", dest_ + "a.txt", nullptr));
  EXPECT_NE(Log().find("7zUnzip Error!", before), std::string::npos);
}

TEST_F(ArchiveTest, CorruptItemDataIsLoggedAndLeavesNoFile) {
  // Stored (uncompressed) items so that a flipped byte only breaks a CRC.
  WriteText(root_ + "/src/a.txt", Sample(300000, 5));
  std::string bytes = ReadAll(SevenZip("src", "-mx0"));
  bytes[1000] ^= 0x55;
  std::string path = root_ + "/corrupt.7z";
  WriteText(path, bytes);
  std::vector<ExtractedFile> written;
  ExtractPackage(path, dest_, &written, nullptr);
  EXPECT_TRUE(written.empty());
  EXPECT_TRUE(FilesBelow(dest_).empty());
  EXPECT_NE(Log().find("7zUnzip File a.txt Error!"), std::string::npos);

  WriteText(dest_ + "target", "old");
  std::string md5 = "unset";
  EXPECT_FALSE(ExtractSingleFile(path, dest_ + "target", &md5));
  EXPECT_EQ(ReadAll(dest_ + "target"), "old");
  EXPECT_EQ(md5, "");
  // The callers of ExtractToFolder check the MD5 of the result instead.
  EXPECT_TRUE(ExtractToFolder(path, dest_, &md5));
  EXPECT_FALSE(fs::exists(dest_ + "a.txt"));
}

TEST_F(ArchiveTest, SingleFileReplacesTargetAtomically) {
  WriteText(root_ + "/src/Launcher.dat", "new tool");
  std::string archive = SevenZip("src");
  WriteText(dest_ + "sub/tool.bin", "old");
  std::string md5;
  ASSERT_TRUE(ExtractSingleFile(archive, dest_ + "sub/tool.bin", &md5));
  EXPECT_EQ(ReadAll(dest_ + "sub/tool.bin"), "new tool");
  EXPECT_EQ(md5, Md5Of("new tool"));
  ASSERT_TRUE(ExtractToFolder(archive, dest_, &md5));
  EXPECT_EQ(ReadAll(dest_ + "Launcher.dat"), "new tool");
  // No temporary files are left beside the targets.
  EXPECT_EQ(FilesBelow(dest_), (std::vector<std::string>{"Launcher.dat", "sub/tool.bin"}));
  // A target that cannot be created is a failure.
  WriteText(root_ + "/blocker", "file");
  EXPECT_FALSE(ExtractSingleFile(archive, root_ + "/blocker/x", nullptr));
  // An item larger than allowed is refused and writes nothing (the
  // client list's archive, for one, must not fill the disk).
  WriteText(root_ + "/big/client.md5", std::string(100000, 'x'));
  std::remove(archive.c_str());  // the tool adds to an archive that exists
  const std::string big = SevenZip("big");
  EXPECT_FALSE(ExtractToFolder(big, dest_, nullptr, 65536));
  EXPECT_FALSE(ExtractSingleFile(big, dest_ + "one.md5", nullptr, 65536));
  EXPECT_EQ(FilesBelow(dest_), (std::vector<std::string>{"Launcher.dat", "sub/tool.bin"}));
  EXPECT_NE(Log().find("client.md5 refused: larger than 65536 bytes"), std::string::npos);
}

TEST_F(ArchiveTest, HandleWrapperListsAndDecodesInAnyOrder) {
  WriteText(root_ + "/src/a.txt", Sample(70000, 3));
  WriteText(root_ + "/src/d/b.txt", Sample(90000, 5));
  WriteText(root_ + "/src/d/c.txt", "cee");
  std::string block = ReadAll(SevenZip("src"));

  HZIP7 h = nullptr;
  ASSERT_EQ(Open7Zip(block.data(), block.size(), &h), 1);
  Z7ENTRY e;
  ASSERT_EQ(Get7ZipItem(h, -1, &e), 1);
  ASSERT_EQ(e.index, 4);
  std::map<std::string, int> byName;
  for (int i = 0; i < e.index; ++i) {
    Z7ENTRY item;
    Get7ZipItem(h, i, &item);
    byName[item.name] = i;
    EXPECT_EQ(item.isDir, std::string(item.name) == "d" ? 1 : 0);
  }
  ASSERT_EQ(byName.size(), 4u);
  const unsigned char* bytes = nullptr;
  size_t length = 0;
  for (std::string name : {"d/c.txt", "a.txt", "d/b.txt", "d/c.txt"}) {
    ASSERT_EQ(Unzip7ZipItem(h, byName[name], &bytes, &length), 1) << name;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), length),
              ReadAll(root_ + "/src/" + name));
  }
  EXPECT_EQ(Unzip7ZipItem(h, byName["d"], &bytes, &length), 3);
  EXPECT_EQ(Unzip7ZipItem(h, 99, &bytes, &length), 3);
  EXPECT_EQ(Close7Zip(h), 1);

  std::string junk = Sample(1000, 3);
  EXPECT_EQ(Open7Zip(junk.data(), junk.size(), &h), 0);
}

TEST_F(ArchiveTest, HandleWrapperLeavesOverlongNamesEmpty) {
  std::string longName(300, 'n');
  std::string archive = root_ + "/long.7z";
  MakeArchive(archive, "7zip", {{longName, "x"}, {"short", "y"}});
  std::string block = ReadAll(archive);
  HZIP7 h = nullptr;
  ASSERT_EQ(Open7Zip(block.data(), block.size(), &h), 1);
  Z7ENTRY e;
  Get7ZipItem(h, 0, &e);
  EXPECT_STREQ(e.name, "");
  EXPECT_EQ(e.size, 1);
  Get7ZipItem(h, 1, &e);
  EXPECT_STREQ(e.name, "short");
  Close7Zip(h);
}

}  // namespace
