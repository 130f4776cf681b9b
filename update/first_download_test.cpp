#include "update/first_download.h"

#include "update/engine_test_util.h"
#include "util/text_util.h"

namespace {

TEST(PackageIndex, SizeAfterTheLastCommaAndBadLinesSkipped) {
  std::vector<PackageRef> p = ParsePackageIndex(
      "\xEF\xBB\xBF"
      "data.7z,100\r\nweird,name.7z,7\nno comma\n,5\n../evil.7z,1\n\n");
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].name, "data.7z");
  EXPECT_EQ(p[0].size, 100);
  EXPECT_EQ(p[1].name, "weird,name.7z");
  EXPECT_EQ(p[1].size, 7);
}

class FirstDownloadTest : public EngineFixture {
 protected:
  static std::string PackageList(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string xml = "<Filelist><Number>1</Number><Files>";
    for (const auto& [path, content] : files) {
      xml += "<File Path=\"" + path + "\" Code=\"" + Md5(content) + "\" Size=\"" +
             std::to_string(content.size()) + "\" Zip=\"0\"/>";
    }
    return xml + "</Files></Filelist>";
  }
};

TEST_F(FirstDownloadTest, RecordsDescribedAndIntactFilesOfEveryPackage) {
  std::string one = Pack7z({{"LauncherConfig/update/data.7z.md5", "",
                             PackageList({{"a.dat", "A"}, {"d/b.dat", "B"}, {"c.dat", "C"}})},
                            {"a.dat", "", "A"},
                            {"d/b.dat", "", "B"},
                            {"c.dat", "", "damaged"},
                            {"extra.dat", "", "not listed"}});
  std::string two =
      Pack7z({{"LauncherConfig/update/font.7z.md5", "", PackageList({{"f.ttf", "F"}})},
              {"f.ttf", "", "F"}});
  std::string three =
      Pack7z({{"LauncherConfig/update/short.7z.md5", "", PackageList({{"s.dat", "S"}, {"t", "T"}})},
              {"s.dat", "", "S"}});
  Serve("data.7z", one);
  Serve("font.7z", two);
  Serve("short.7z", three);
  Serve("LauncherConfig/update/firstdownload" + TimeStampQuery(),
        "data.7z," + std::to_string(one.size()) + "\nfont.7z," + std::to_string(two.size()) +
            "\nshort.7z," + std::to_string(three.size()) + "\n");
  EXPECT_EQ(engine_->FirstDownload(), Status_Ready);
  EXPECT_EQ(engine_->ReadProgress().totalBytes,
            1 + int64_t(one.size() + two.size() + three.size()));

  std::string list = ReadFile(install_ + "LauncherConfig/localclient.md5");
  for (const char* recorded : {"\"a.dat\"", "\"d/b.dat\"", "\"f.ttf\"", "\"s.dat\""}) {
    EXPECT_NE(list.find(recorded), std::string::npos) << recorded;
  }
  EXPECT_EQ(list.find("c.dat"), std::string::npos);      // content does not match its list
  EXPECT_EQ(list.find("extra.dat"), std::string::npos);  // not described
  EXPECT_TRUE(Exists("extra.dat"));
  EXPECT_FALSE(Exists("LauncherConfig/update/data.7z.md5"));  // read, then deleted
  // A package whose files are all recorded only took space; one with a file
  // missing or damaged stays.
  EXPECT_FALSE(Exists("font.7z"));
  EXPECT_TRUE(Exists("data.7z"));
  EXPECT_TRUE(Exists("short.7z"));
}

TEST_F(FirstDownloadTest, NoIndexQueuesNothingButLeavesAnEmptyLocalList) {
  EXPECT_EQ(engine_->FirstDownload(), Status_FirstDownloadFailed);
  // The comparison that follows must not report the local list broken.
  EXPECT_EQ(engine_->IsFirstLogin(), Status_Ready);
}

TEST_F(FirstDownloadTest, FailedPackageEndsTheLoopWithoutRecords) {
  Serve("LauncherConfig/update/firstdownload" + TimeStampQuery(), "gone.7z,10\n");
  EXPECT_EQ(engine_->FirstDownload(), Status_Ready);
  EXPECT_EQ(ReadFile(install_ + "LauncherConfig/localclient.md5").find("File "), std::string::npos);
}

}  // namespace
