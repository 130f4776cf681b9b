#include "ui/zip_package.h"

#include <gtest/gtest.h>

#include <fstream>

#include "skin/skin_resources.h"
#include "ui/paint_manager.h"
#include "ui/ui_test_util.h"
#include "util/testing/scratch_dir.h"

namespace SkinUI {
namespace {

std::unique_ptr<CZipPackage> OpenBytes(const std::string& bytes, std::string* error = nullptr) {
  return CZipPackage::Open(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                           error);
}

TEST(ZipPackage, FindsShippedSkinFilesWhateverTheLetterCase) {
  auto zip = CZipPackage::Open(skin::SkinZipData(), skin::SkinZipSize(), nullptr);
  ASSERT_TRUE(zip);
  std::string xml, png, error;
  ASSERT_TRUE(zip->Extract("MAINFRAME.XML", &xml, &error)) << error;
  EXPECT_NE(xml.find("<Window"), std::string::npos);
  ASSERT_TRUE(zip->Extract("launcher_bj.PNG", &png, &error)) << error;
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_TRUE(zip->Extract("vxmessagebox.xml", &xml, &error));
}

TEST(ZipPackage, ReportsEachFailureByItsText) {
  testing::ZipWriter w;
  w.Add("empty.png", "");
  w.Add("big.png", std::string(CZipPackage::kMaxFileSize + 1, 'x'));
  w.Add("limit.png", std::string(CZipPackage::kMaxFileSize, 'y'));
  w.Add("sub\\name.xml", "<Window/>");
  const std::string bytes = w.Finish();
  auto zip = OpenBytes(bytes);
  ASSERT_TRUE(zip);
  std::string out, error;
  EXPECT_FALSE(zip->Extract("missing.png", &out, &error));
  EXPECT_EQ(error, "Could not find ziped file");
  EXPECT_FALSE(zip->Extract("empty.png", &out, &error));
  EXPECT_EQ(error, "File is empty");
  EXPECT_FALSE(zip->Extract("big.png", &out, &error));
  EXPECT_EQ(error, "File too large");
  EXPECT_TRUE(zip->Extract("limit.png", &out, &error)) << "exactly 4 MiB is allowed";
  EXPECT_TRUE(zip->Extract("SUB/name.xml", &out, &error)) << "backslashes read as slashes";
}

TEST(ZipPackage, RejectsDamagedArchivesWithoutReadingPastThem) {
  std::string error;
  EXPECT_FALSE(OpenBytes("not a zip at all, just text", &error));
  EXPECT_EQ(error, "Error opening zip file");
  EXPECT_FALSE(OpenBytes("", &error));

  testing::ZipWriter w;
  w.Add("a.xml", "<Window><Control/></Window>");
  std::string bytes = w.Finish();
  // Corrupt the stored data: the checksum no longer matches.
  bytes[30 + 5 + 3] ^= 0x55;
  auto zip = OpenBytes(bytes);
  ASSERT_TRUE(zip);
  std::string out;
  EXPECT_FALSE(zip->Extract("a.xml", &out, &error));
  EXPECT_EQ(error, "Could not unzip file");
  // A directory that points past the end.
  std::string cut = w.Finish();
  cut.resize(cut.size() - 30);
  EXPECT_FALSE(OpenBytes(cut));
}

TEST(ResourceLookup, NeverFallsBackFromThePackageToTheDisk) {
  ScratchDir dir("beside");
  const std::string folder = dir.path() + "/";
  std::ofstream(folder + "beside.xml") << "<Window><Control/></Window>";
  std::string data, error;
  {
    testing::TestPackage disk;
    CPaintManagerUI::SetResourcePath(folder);
    ASSERT_TRUE(CPaintManagerUI::LoadFile("beside.xml", &data, &error)) << "no package: disk";
    EXPECT_FALSE(CPaintManagerUI::LoadFile("nothing-here.xml", &data, &error));
    EXPECT_EQ(error, "Error opening file");
  }

  testing::ZipWriter w;
  w.Add("other.xml", "<Window/>");
  const std::string bytes = w.Finish();
  testing::TestPackage zipped;
  CPaintManagerUI::SetResourcePath(folder);
  zipped.UseZip(bytes);
  EXPECT_FALSE(CPaintManagerUI::LoadFile("beside.xml", &data, &error));
  EXPECT_EQ(error, "Could not find ziped file");
}

TEST(ResourceLookup, InstancePathIsTheProgramsFolder) {
  testing::TestPackage package;
  EXPECT_EQ(CPaintManagerUI::GetInstancePath(), "") << "none before SetInstance";
  CPaintManagerUI::SetInstance("/opt/game/Launcher.exe");
  EXPECT_EQ(CPaintManagerUI::GetInstancePath(), "/opt/game/");
  CPaintManagerUI::SetInstance();
  const std::string path = CPaintManagerUI::GetInstancePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.back(), '/');
  EXPECT_TRUE(std::ifstream(path + "zip_package_test").good());
}

TEST(ResourceLookup, TheFirstPackageSetFromMemoryStays) {
  testing::ZipWriter first, second;
  first.Add("one.xml", "1");
  second.Add("two.xml", "2");
  const std::string a = first.Finish(), b = second.Finish();
  testing::TestPackage package;
  package.UseZip(a);
  CPaintManagerUI::SetResourceZip(reinterpret_cast<const unsigned char*>(b.data()), b.size());
  std::string data;
  EXPECT_TRUE(CPaintManagerUI::LoadFile("one.xml", &data, nullptr));
  EXPECT_FALSE(CPaintManagerUI::LoadFile("two.xml", &data, nullptr));
  EXPECT_EQ(CPaintManagerUI::GetResourceZip(), "membuffer");
}

// Each package is the program's own: one going away takes nothing of
// another with it, and nothing stays in use after it.
TEST(ResourceLookup, PackagesShareNothing) {
  testing::ZipWriter w;
  w.Add("one.xml", "1");
  const std::string bytes = w.Finish();
  std::string data;
  {
    testing::TestPackage first;
    first.UseZip(bytes);
    CPaintManagerUI::SetInstance("/opt/game/Launcher.exe");
    ASSERT_TRUE(CPaintManagerUI::LoadFile("one.xml", &data, nullptr));
  }
  EXPECT_EQ(CPaintManagerUI::GetSkinPackage(), nullptr);
  EXPECT_FALSE(CPaintManagerUI::LoadFile("one.xml", &data, nullptr));
  testing::TestPackage second;
  EXPECT_EQ(CPaintManagerUI::GetResourceZip(), "");
  EXPECT_EQ(CPaintManagerUI::GetInstancePath(), "");
  EXPECT_FALSE(CPaintManagerUI::LoadFile("one.xml", &data, nullptr));
}

}  // namespace
}  // namespace SkinUI
