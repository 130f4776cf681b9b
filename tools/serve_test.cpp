#include "tools/serve.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>
#include <thread>

#include "diag/log.h"
#include "tests/test_files.h"
#include "tools/publish.h"
#include "update/archive.h"
#include "update/md5.h"

namespace fs = std::filesystem;

namespace {

using testfiles::ReadAll;
const auto& WriteText = testfiles::WriteAll;

std::string Text(size_t size, int salt) {
  std::string s;
  for (int i = 0; s.size() < size; ++i) s += std::to_string(i * salt) + " kestrava\n";
  return s.substr(0, size);
}

// Runs curl as the launcher's transfers would be made and returns the HTTP
// status; the body goes to `out`.
int Curl(const std::string& url, const std::string& out, const std::string& range = "") {
  std::string cmd = "curl -s -o '" + out + "' -w '%{http_code}' --path-as-is";
  if (!range.empty()) cmd += " -H 'RANGE: bytes=" + range + "'";
  cmd += " '" + url + "'";
  FILE* p = popen(cmd.c_str(), "r");
  char code[8] = {0};
  size_t n = fread(code, 1, sizeof(code) - 1, p);
  pclose(p);
  return n > 0 ? std::atoi(code) : 0;
}

// A release published from a small game folder, served on a free port.
class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/serve_test.XXXXXX";
    root_ = mkdtemp(pattern);
    SetLogFile(root_ + "/test.log");
    std::string game = root_ + "/game";
    WriteText(game + "/Kestrava.exe", Text(200000, 3));
    WriteText(game + "/data/a b.dat", Text(3000, 7));
    WriteText(game + "/data/tiny", "t");
    WriteText(game + "/Launcher.exe", "launcher");
    WriteText(game + "/Launcher.dat", "tool");
    PublishOptions o;
    o.gameDir = game;
    o.releaseDir = root_ + "/release";
    o.version = std::string("7");  // a literal makes GCC 12 -O3 warn falsely (-Wrestrict)
    o.level = 1;
    std::string error;
    ASSERT_TRUE(Publish(o, nullptr, nullptr, &error)) << error;
    server_ = std::make_unique<StaticServer>(o.releaseDir);
    ASSERT_TRUE(server_->Bind("127.0.0.1", 0));
    thread_ = std::thread([this] { server_->Run(false); });
    base_ = "http://127.0.0.1:" + std::to_string(server_->port()) + "/";
  }
  void TearDown() override {
    if (server_) server_->Stop();
    if (thread_.joinable()) thread_.join();
    fs::remove_all(root_);
  }

  std::string root_;
  std::string base_;
  std::unique_ptr<StaticServer> server_;
  std::thread thread_;
};

TEST_F(ServeTest, EveryListedFileIsFetchedAndMatches) {
  std::string got = root_ + "/got";
  ASSERT_EQ(Curl(base_ + "LauncherConfig/client.md5.7z?time=12081530", got), 200);
  std::string md5;
  ASSERT_TRUE(ExtractToFolder(got, root_ + "/cfg/", &md5));
  ASSERT_EQ(Curl(base_ + "LauncherConfig/update.xml", got), 200);
  pugi::xml_document update;
  ASSERT_TRUE(update.load_file(got.c_str()));
  EXPECT_EQ(md5, update.child("Filelist").child("Files").last_child().attribute("Code").value());

  pugi::xml_document list;
  ASSERT_TRUE(list.load_file((root_ + "/cfg/client.md5").c_str()));
  int files = 0;
  for (pugi::xml_node f : list.child("Filelist").child("Files").children("File")) {
    std::string path = f.attribute("Path").value();
    SCOPED_TRACE(path);
    bool packed = f.attribute("Zip").as_int() == 2;
    std::string url = base_ + path + (packed ? ".7z" : "");
    for (size_t i = 0; i < url.size(); ++i) {
      if (url[i] == ' ') url.replace(i, 1, "%20");
    }
    ASSERT_EQ(Curl(url, got), 200);
    std::string final = got;
    if (packed) {
      EXPECT_EQ(fs::file_size(got), f.attribute("zipSize").as_ullong());
      final = root_ + "/unpacked";
      ASSERT_TRUE(ExtractSingleFile(got, final, nullptr));
    }
    EXPECT_EQ(Md5OfFile(final), f.attribute("Code").value());
    EXPECT_EQ(fs::file_size(final), f.attribute("Size").as_ullong());
    ++files;
  }
  EXPECT_EQ(files, 3);
}

TEST_F(ServeTest, RangesResumeAndPathsStayInsideTheRelease) {
  std::string whole = ReadAll(root_ + "/release/Kestrava.exe.7z");
  std::string got = root_ + "/got";
  EXPECT_EQ(Curl(base_ + "Kestrava.exe.7z", got, "0-"), 206);
  EXPECT_EQ(ReadAll(got), whole);
  EXPECT_EQ(Curl(base_ + "Kestrava.exe.7z", got, "100-"), 206);
  EXPECT_EQ(ReadAll(got), whole.substr(100));

  WriteText(root_ + "/secret", "no");
  EXPECT_EQ(Curl(base_ + "../secret", got), 404);
  EXPECT_EQ(Curl(base_ + "%2e%2e/secret", got), 404);
  EXPECT_EQ(Curl(base_ + "data", got), 404);
  EXPECT_EQ(Curl(base_ + "missing", got), 404);
}

}  // namespace
