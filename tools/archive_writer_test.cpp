#include "tools/archive_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "diag/log.h"
#include "tests/test_files.h"
#include "update/archive.h"
#include "util/testing/scratch_dir.h"

namespace fs = std::filesystem;

namespace {

using testfiles::FilesBelow;
using testfiles::Md5Of;
using testfiles::ReadAll;

// Bytes that compress, but not to nothing.
std::string Sample(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>("kestrava"[(i * seed) % 8] + i % 7);
  return s;
}

std::vector<std::string> Names(const std::vector<ExtractedFile>& files) {
  std::vector<std::string> out;
  for (auto& f : files) out.push_back(f.name);
  std::sort(out.begin(), out.end());
  return out;
}

// What the publisher writes, the 7-Zip tool and the launcher's reader both
// take: the two sides must never drift apart.
TEST(ArchiveWriter, PackedArchivesAreReadByTheSevenZipToolAndByUs) {
  ScratchDir root("archive_writer");
  const std::string dest = root / "dest/";
  SetLogFile(root / "test.log");
  root.Write("in/big.bin", Sample(2 << 20, 9));
  std::atomic<int64_t> bytes{0};
  std::string error;
  std::string archive = root / "out/pack.7z";
  ASSERT_TRUE(PackSevenZip(archive,
                           {{"LauncherConfig/update/data.7z.md5", "", "<Filelist/>"},
                            {"bin/big.bin", root / "in/big.bin", ""},
                            {"中文/空.txt", "", ""}},
                           5, &bytes, &error))
      << error;
  EXPECT_EQ(bytes.load(), (2 << 20) + 11);
  std::string listing = root / "listing.txt";
  ASSERT_EQ(std::system(("7zz t -slt '" + archive + "' > '" + listing + "'").c_str()), 0);
  EXPECT_NE(ReadAll(listing).find("LZMA2"), std::string::npos);

  std::vector<ExtractedFile> written;
  ASSERT_TRUE(ExtractPackage(archive, dest, &written, nullptr));
  EXPECT_EQ(Names(written), (std::vector<std::string>{"bin/big.bin", "中文/空.txt"}));
  EXPECT_EQ(ReadAll(dest + "bin/big.bin"), ReadAll(root / "in/big.bin"));
  std::string md5;
  ASSERT_TRUE(ExtractToFolder(archive, dest + "first/", &md5));
  EXPECT_EQ(md5, Md5Of("<Filelist/>"));

  // A source that vanished fails the whole archive and leaves the old one.
  EXPECT_FALSE(PackSevenZip(archive, {{"x", root / "in/missing", ""}}, 5, nullptr, &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
  ASSERT_TRUE(ExtractPackage(archive, dest, nullptr, nullptr));
  EXPECT_EQ(FilesBelow(root / "out"), std::vector<std::string>{"pack.7z"});
}

}  // namespace
