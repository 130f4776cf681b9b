#include "util/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "util/testing/scratch_dir.h"

namespace {

class FileUtilTest : public ::testing::Test {
 protected:
  void Write(const std::string& rel, const std::string& data) { scratch.Write(rel, data); }
  std::string Read(const std::string& rel) { return scratch.Read(rel); }
  ScratchDir scratch{"util"};
  const std::string dir = scratch.path();
};

TEST_F(FileUtilTest, FileExistsAndIsPlainFile) {
  Write("sub/a.txt", "x");
  EXPECT_TRUE(FileExists(dir + "/sub"));
  EXPECT_TRUE(FileExists(dir + "/sub/a.txt"));
  EXPECT_FALSE(FileExists(dir + "/missing"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_TRUE(IsPlainFile(dir + "/sub/a.txt"));
  EXPECT_TRUE(IsPlainFile(dir + "\\sub\\a.txt"));
  EXPECT_FALSE(IsPlainFile(dir + "/sub"));
  EXPECT_FALSE(IsPlainFile(dir + "/missing"));
  EXPECT_FALSE(IsPlainFile(""));
}

TEST_F(FileUtilTest, CopyPlainFileHonoursFailIfExistsAndKeepsMode) {
  Write("src.sh", "new");
  chmod((dir + "/src.sh").c_str(), 0755);
  Write("dst.sh", "old");
  EXPECT_FALSE(CopyPlainFile(dir + "/src.sh", dir + "/dst.sh", true));
  EXPECT_EQ(Read("dst.sh"), "old");
  EXPECT_TRUE(CopyPlainFile(dir + "/src.sh", dir + "/dst.sh", false));
  EXPECT_EQ(Read("dst.sh"), "new");
  EXPECT_TRUE(CopyPlainFile(dir + "\\src.sh", dir + "/fresh.sh", true));
  struct stat st {};
  ASSERT_EQ(stat((dir + "/fresh.sh").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_FALSE(CopyPlainFile(dir + "/missing", dir + "/x", false));
  EXPECT_FALSE(CopyPlainFile(dir, dir + "/y", false));  // a folder is not copied
  EXPECT_EQ(RemoveStaleTempFiles(dir + "/dst.sh"), 0);  // no temporary file left behind
}

TEST_F(FileUtilTest, FileSizeOfIsSixtyFourBit) {
  Write("small", "12345");
  EXPECT_EQ(FileSizeOf(dir + "/small"), 5);
  EXPECT_EQ(FileSizeOf(dir + "/missing"), 0);
  // A sparse file of 3 GiB costs no disk space.
  ASSERT_EQ(truncate((Write("big", ""), dir + "/big").c_str(), 3ll << 30), 0);
  EXPECT_EQ(FileSizeOf(dir + "/big"), 3ll << 30);
}

TEST(PathTextTest, FileNameAndParentFolder) {
  EXPECT_EQ(FileNameOf("C:\\game\\data\\a.dat"), "a.dat");
  EXPECT_EQ(FileNameOf("/game/data/a.dat"), "a.dat");
  EXPECT_EQ(FileNameOf("a.dat"), "a.dat");
  EXPECT_EQ(GetParentFolder("/game/data/a.dat"), "/game/data");
  EXPECT_EQ(GetParentFolder("game\\data\\a.dat"), "game\\data");
  EXPECT_EQ(GetParentFolder("a.dat"), "");
}

TEST(PathTextTest, ModulePathNamesThisTest) {
  EXPECT_STREQ(GetModuleNamePart(), "file_util_test");
  char real[4096];
  ASSERT_NE(realpath("/proc/self/exe", real), nullptr);
  EXPECT_EQ(std::string(GetModuleFolder()) + "/" + GetModuleNamePart(), real);
}

TEST_F(FileUtilTest, CreateFolderPathReportsWhetherDeepestWasNew) {
  EXPECT_TRUE(CreateFolderPath(dir + "/a/b/c"));
  EXPECT_TRUE(FileExists(dir + "/a/b/c"));
  EXPECT_FALSE(CreateFolderPath(dir + "/a/b/c"));
  EXPECT_TRUE(CreateFolderPath(dir + "\\a\\b\\d"));
  EXPECT_TRUE(FileExists(dir + "/a/b/d"));
}

TEST_F(FileUtilTest, CreateParentFoldersLeavesLastComponent) {
  EXPECT_TRUE(CreateParentFolders(dir + "/x/y/file.txt"));
  EXPECT_TRUE(FileExists(dir + "/x/y"));
  EXPECT_FALSE(FileExists(dir + "/x/y/file.txt"));
}

TEST_F(FileUtilTest, DeleteFolderContentsKeepsDesktopIniAndItsFolders) {
  Write("desktop.ini", "top");
  Write("a.txt", "a");
  Write("sub/DESKTOP.INI", "nested");
  Write("sub/b.txt", "b");
  Write("gone/c.txt", "c");
  chmod((dir + "/a.txt").c_str(), 0444);
  EXPECT_TRUE(DeleteFolderContents(dir, false, false));
  EXPECT_TRUE(FileExists(dir + "/desktop.ini"));
  EXPECT_TRUE(FileExists(dir + "/sub/DESKTOP.INI"));
  EXPECT_FALSE(FileExists(dir + "/sub/b.txt"));
  EXPECT_FALSE(FileExists(dir + "/a.txt"));
  EXPECT_FALSE(FileExists(dir + "/gone"));
  EXPECT_TRUE(FileExists(dir));
  EXPECT_TRUE(DeleteFolderContents(dir, true, false));
  EXPECT_FALSE(FileExists(dir + "/sub"));
  EXPECT_FALSE(DeleteFolderContents(dir + "/missing", true, false));
}

TEST_F(FileUtilTest, DeleteFolderContentsDoesNotFollowLinks) {
  Write("outside/keep.txt", "k");
  Write("inside/x", "x");
  ASSERT_EQ(symlink((dir + "/outside").c_str(), (dir + "/inside/link").c_str()), 0);
  EXPECT_TRUE(DeleteFolderContents(dir + "/inside", true, false));
  EXPECT_EQ(Read("outside/keep.txt"), "k");
  EXPECT_FALSE(FileExists(dir + "/inside/x"));
}

TEST_F(FileUtilTest, WipeFileBodyZeroesPastSixtyFourBytes) {
  std::string body(64, 'h');
  Write("index.dat", body + std::string(20000, 'x'));
  EXPECT_TRUE(WipeFileBody(dir, "index.dat"));
  EXPECT_EQ(Read("index.dat"), body + std::string(20000, '\0'));
  Write("short", "tiny");
  EXPECT_TRUE(WipeFileBody(dir, "short"));
  EXPECT_EQ(Read("short"), "tiny");
  EXPECT_FALSE(WipeFileBody(dir, "missing"));
}

TEST_F(FileUtilTest, OpenFileForWriteMakesFoldersAndTruncates) {
  Write("p/q/out.bin", "long old content");
  FILE* f = OpenFileForWrite(dir + "/p\\q/out.bin");
  ASSERT_NE(f, nullptr);
  fputs("new", f);
  fclose(f);
  EXPECT_EQ(Read("p/q/out.bin"), "new");
  f = OpenFileForWrite(dir + "/n1/n2/n3.bin");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_TRUE(IsPlainFile(dir + "/n1/n2/n3.bin"));
}

TEST_F(FileUtilTest, ReadFirstLineSkipsEmptyLinesAndByteOrderMark) {
  Write("blank", "\n\nthird\nfourth");
  EXPECT_EQ(ReadFirstLine(dir + "/blank"), "third");
  Write("bom", "\xEF\xBB\xBFversion 7\r\nnext");
  EXPECT_EQ(ReadFirstLine(dir + "/bom"), "version 7\r");  // the CR stays
  Write("long", std::string(600, 'z') + "\nrest");
  EXPECT_EQ(ReadFirstLine(dir + "/long"), std::string(511, 'z'));
  Write("empty", "");
  EXPECT_EQ(ReadFirstLine(dir + "/empty"), "");
  EXPECT_EQ(ReadFirstLine(dir + "/missing"), "");
}

TEST_F(FileUtilTest, ListFolderFlagsAndFilter) {
  Write("logs/2026-03-07.log", "");
  Write("logs/2026-03-08.log", "");
  Write("logs/old/x.txt", "");
  std::vector<std::string> files;
  EXPECT_EQ(ListFolder(dir + "/logs", files, 2), 1);
  EXPECT_EQ(files, (std::vector<std::string>{dir + "/logs", dir + "/logs/2026-03-07.log",
                                             dir + "/logs/2026-03-08.log"}));
  std::vector<std::string> all;
  EXPECT_EQ(ListFolder(dir + "/logs", all, 3, ".txt"), 1);
  EXPECT_EQ(all, (std::vector<std::string>{dir + "/logs/old", dir + "/logs/old/x.txt"}));
  EXPECT_EQ(ListFolder(dir + "/logs/2026-03-07.log", all, 2), -1);
  EXPECT_EQ(ListFolder(dir + "/none", all, 2), 0);
  EXPECT_EQ(ListFolder("", all, 2), 0);
}

TEST_F(FileUtilTest, WriteFileAtomicallyReplacesWholeFile) {
  Write("list.xml", "old");
  EXPECT_TRUE(WriteFileAtomically(dir + "/list.xml", "new content"));
  EXPECT_EQ(Read("list.xml"), "new content");
  EXPECT_FALSE(WriteFileAtomically(dir + "/no/such/folder/list.xml", "x"));
  // A child that has exited and been reaped stands for a crashed writer.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  const std::string stale = "list.xml.tmp-" + std::to_string(gone);
  const std::string live = "list.xml.tmp-" + std::to_string(getpid()) + "-7";
  Write(stale + "-1", "stale");
  Write(stale + "-2/folder/file", "a stale folder goes with what it holds");
  Write(live, "still being written");
  Write("other.tmp-1-1", "not ours");
  std::vector<std::string> removed;
  EXPECT_EQ(RemoveStaleTempFiles(dir + "/list.xml", &removed), 2);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{stale + "-1", stale + "-2"}));
  EXPECT_FALSE(FileExists(dir + "/" + stale + "-2"));
  EXPECT_TRUE(FileExists(dir + "/" + live));
  EXPECT_TRUE(FileExists(dir + "/other.tmp-1-1"));
}

TEST_F(FileUtilTest, ReadWholeFileKeepsToItsBound) {
  const std::string bytes("a\0b\r\nc", 6);
  Write("six.bin", bytes);
  Write("empty", "");
  std::string out = "left over";
  EXPECT_TRUE(ReadWholeFile(dir + "/six.bin", 6, &out));
  EXPECT_EQ(out, bytes);
  EXPECT_TRUE(ReadWholeFile(dir + "/empty", 0, &out));
  EXPECT_EQ(out, "");
  // One byte over the bound, a folder, a missing file: nothing is read.
  out = "left over";
  EXPECT_FALSE(ReadWholeFile(dir + "/six.bin", 5, &out));
  EXPECT_EQ(out, "");
  out = "left over";
  EXPECT_FALSE(ReadWholeFile(dir, 1 << 20, &out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(ReadWholeFile(dir + "/missing", 1 << 20, &out));
  // A file that reports size 0 but holds more (as /proc files do, or one
  // that grows while it is read) is held to the bound by what is read.
  EXPECT_TRUE(ReadWholeFile("/proc/self/status", 1 << 20, &out));
  EXPECT_GT(out.size(), 16u);
  EXPECT_FALSE(ReadWholeFile("/proc/self/status", 16, &out));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(ReadWholeFile("/dev/null", 1 << 20, &out)) << "not a plain file";
  chmod((dir + "/six.bin").c_str(), 0);
  if (geteuid() != 0) {
    EXPECT_FALSE(ReadWholeFile(dir + "/six.bin", 6, &out)) << "unreadable";
  }
}

TEST_F(FileUtilTest, RemoveMoveAndMakeExecutable) {
  Write("gone.txt", "x");
  Write("folder/kept.txt", "x");
  EXPECT_TRUE(RemoveFileIfPresent(dir + "/gone.txt"));
  EXPECT_FALSE(FileExists(dir + "/gone.txt"));
  EXPECT_TRUE(RemoveFileIfPresent(dir + "/gone.txt")) << "absent counts as removed";
  EXPECT_FALSE(RemoveFileIfPresent(dir + "/folder")) << "never a folder";
  EXPECT_TRUE(FileExists(dir + "/folder/kept.txt"));
  // A link goes, not what it points to.
  ASSERT_EQ(symlink((dir + "/folder").c_str(), (dir + "/link").c_str()), 0);
  EXPECT_TRUE(RemoveFileIfPresent(dir + "/link"));
  EXPECT_TRUE(FileExists(dir + "/folder/kept.txt"));

  // Same file system: a rename over the old target.
  Write("fetched", "new");
  Write("target", "old");
  EXPECT_TRUE(MoveIntoPlace(dir + "/fetched", dir + "/target"));
  EXPECT_EQ(Read("target"), "new");
  EXPECT_FALSE(FileExists(dir + "/fetched"));
  EXPECT_FALSE(MoveIntoPlace(dir + "/fetched", dir + "/target")) << "no source";
  EXPECT_FALSE(MoveIntoPlace(dir + "/folder", dir + "/target")) << "a folder is no file";
  EXPECT_EQ(Read("target"), "new");
  // Another file system (tmpfs here, usually): copied into place.
  char shm[] = "/dev/shm/kestrava-util-XXXXXX";
  const int fd = mkstemp(shm);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WriteAll(fd, "other fs", 8));
  close(fd);
  struct stat from {
  }, to{};
  stat(shm, &from);
  stat(dir.c_str(), &to);
  EXPECT_TRUE(MoveIntoPlace(shm, dir + "/target"));
  EXPECT_EQ(Read("target"), "other fs");
  EXPECT_EQ(FileExists(shm), from.st_dev != to.st_dev) << "a copy leaves its source";
  unlink(shm);

  chmod((dir + "/target").c_str(), 0640);
  EXPECT_TRUE(MakeExecutable(dir + "/target"));
  struct stat st {};
  ASSERT_EQ(stat((dir + "/target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_FALSE(MakeExecutable(dir + "/missing"));
}

}  // namespace
