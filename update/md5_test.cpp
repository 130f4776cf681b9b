#include "update/md5.h"

#include <gtest/gtest.h>

#include "diag/log.h"
#include "update/md5_lanes.h"
#include "util/testing/scratch_dir.h"

namespace {

// How often `what` occurs in `text`.
int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string Digest(const std::string& text) {
  Md5Context md5;
  md5.Update(text.data(), text.size());
  return md5.HexDigest();
}

TEST(Md5ContextTest, Rfc1321TestSuite) {
  EXPECT_EQ(Digest(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Digest("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Digest("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Digest("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Digest("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Digest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Digest("1234567890123456789012345678901234567890123456789012345678901234567890"
                   "1234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5ContextTest, PieceBoundariesDoNotMatter) {
  std::string data;
  for (int i = 0; i < 5000; ++i) data += static_cast<char>(i * 131 + 7);
  const std::string whole = Digest(data);
  // Pieces that straddle, fill and exactly match the 64-byte block.
  for (size_t piece : {1, 3, 55, 56, 63, 64, 65, 1000}) {
    Md5Context md5;
    for (size_t at = 0; at < data.size(); at += piece) {
      md5.Update(data.data() + at, std::min(piece, data.size() - at));
    }
    md5.Update(data.data(), 0);
    EXPECT_EQ(md5.HexDigest(), whole) << "piece " << piece;
  }
}

TEST(Md5ContextTest, DigestIsStableAndInitRestarts) {
  Md5Context md5;
  md5.Update("abc", 3);
  EXPECT_EQ(md5.HexDigest(), md5.HexDigest());
  md5.Init();
  EXPECT_EQ(md5.HexDigest(), "d41d8cd98f00b204e9800998ecf8427e");
}

// Padding lengths around 56 bytes modulo 64 take the extra block or not.
TEST(Md5ContextTest, PaddingEdges) {
  EXPECT_EQ(Digest(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Digest(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Digest(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

class Md5FileTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogFile(dir + "/log.txt"); }
  std::string Write(const std::string& name, const std::string& data) {
    return scratch.Write(name, data);
  }
  std::string Log() { return scratch.Read("log.txt"); }
  ScratchDir scratch{"md5"};
  const std::string dir = scratch.path();
};

TEST_F(Md5FileTest, EmptyFileAndExactly1024Bytes) {
  EXPECT_TRUE(CheckFileMD5("d41d8cd98f00b204e9800998ecf8427e", Write("empty", "")));
  std::string kilo(1024, '\x5a');
  EXPECT_EQ(Md5OfFile(Write("kilo", kilo)), Digest(kilo));
  EXPECT_EQ(Md5OfFile(dir + "/missing"), "");
}

TEST_F(Md5FileTest, LargerThanReadBuffer) {
  std::string data(600 * 1024 + 17, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  const std::string path = Write("big", data);
  EXPECT_EQ(Md5OfFile(path), Digest(data));
  // Checked through a stream (its own thread, or lanes shared with other
  // streams), the file is read in turns into the stream's two buffers.
  auto lanes = Md5LaneHasher::StartIfWorthwhile();
  for (Md5LaneHasher* shared : {static_cast<Md5LaneHasher*>(nullptr), lanes.get()}) {
    BackgroundMd5 stream(shared);
    EXPECT_TRUE(CheckFileMD5(Digest(data), path, &stream));
    EXPECT_TRUE(CheckFileMD5(Digest(""), Write("empty", ""), &stream));
    EXPECT_FALSE(CheckFileMD5(Digest(data), dir + "/missing", &stream));
  }
}

TEST_F(Md5FileTest, MatchIsExactAndSilent) {
  std::string path = Write("data/a.dat", "abc");
  EXPECT_TRUE(CheckFileMD5("900150983cd24fb0d6963f7d28e17f72", path));
  EXPECT_FALSE(CheckFileMD5("900150983CD24FB0D6963F7D28E17F72", path));
  EXPECT_FALSE(IsFileMD5Equal("900150983CD24FB0D6963F7D28E17F72", path));
  EXPECT_FALSE(IsFileMD5Equal("", path));
  EXPECT_TRUE(IsFileMD5Equal("900150983cd24fb0d6963f7d28e17f72", path));
  // Only the uppercase CheckFileMD5 call above logged.
  std::string log = Log();
  EXPECT_EQ(Count(log, "Error ! MD5"), 1) << log;
}

TEST_F(Md5FileTest, LogLinesNameOnlyTheFile) {
  std::string path = Write("data/a.dat", "abc");
  EXPECT_FALSE(CheckFileMD5("00000000000000000000000000000000", path));
  EXPECT_FALSE(CheckFileMD5("00000000000000000000000000000000", dir + "/data/gone.dat"));
  EXPECT_FALSE(IsFileMD5Equal("00000000000000000000000000000000", dir + "/data/gone.dat"));
  std::string log = Log();
  EXPECT_NE(log.find("] Error ! MD5 Of a.dat Error, RightMD5:00000000000000000000000000000000, "
                     "ErrorMD5:900150983cd24fb0d6963f7d28e17f72, FileSize:3"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("] Error! Check The MD5 Of gone.dat Fail, Can Not Open The File"),
            std::string::npos)
      << log;
  EXPECT_EQ(Count(log, "Check The MD5"), 1) << log;
}

TEST_F(Md5FileTest, ExactNameComparesOnlyTheLastName) {
  Write("Data/Model.PAK", "x");
  EXPECT_TRUE(FileExistsWithExactName(dir + "/Data/Model.PAK"));
  EXPECT_TRUE(FileExistsWithExactName(dir + "\\Data\\Model.PAK"));
  EXPECT_FALSE(FileExistsWithExactName(dir + "/Data/model.pak"));
  EXPECT_FALSE(FileExistsWithExactName(dir + "/Data/missing"));
}

}  // namespace
