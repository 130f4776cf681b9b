// The transfer paths against a real nginx on loopback.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "diag/log.h"
#include "tests/e2e/nginx_server.h"
#include "tests/test_files.h"
#include "update/downloader.h"
#include "update/md5.h"
#include "update/worker_pool.h"

namespace {

using testfiles::Md5Of;
using testfiles::ReadAll;
using testfiles::WriteAll;

namespace fs = std::filesystem;

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) ^ (i >> 9));
  return s;
}

class TransferE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Load()) << "run through ctest: the nginx fixture is missing";
    install_ = testfiles::MakeTempFolder("kestrava-e2e");
    SetLogFile(install_ + "test.log");
    engine_ = std::make_unique<CVXDlownloader>(install_);
  }
  void TearDown() override {
    engine_.reset();
    fs::remove_all(install_);
  }

  NginxServer server_;
  std::string install_;
  std::unique_ptr<CVXDlownloader> engine_;
};

TEST_F(TransferE2eTest, WorkersFetchPlainAndPackedFilesOfARelease) {
  std::string rel = server_.FreshFolder("transfer-release");
  engine_->SetReleaseBaseUrl(server_.Url("transfer-release/"));
  std::vector<FileEntry> entries;
  for (int i = 0; i < 6; ++i) {
    std::string path = "data/f" + std::to_string(i) + ".bin";
    std::string body = Pattern(100000 + i * 777, i);
    WriteAll(rel + path, body);
    entries.push_back(
        {path, Md5Of(body), static_cast<int64_t>(body.size()), ZipValueOf(TaskKind::Plain), 0});
  }
  std::string packed = Pattern(300000, 99);
  WriteAll(install_ + "src/packed.dat", packed);
  std::string cmd = "cd '" + install_ + "src' && 7zz a -bd -y '" + rel +
                    "data/packed.dat.7z' packed.dat >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  entries.push_back({"data/packed.dat", Md5Of(packed), static_cast<int64_t>(packed.size()),
                     ZipValueOf(TaskKind::SevenZip),
                     static_cast<int64_t>(fs::file_size(rel + "data/packed.dat.7z"))});

  const size_t logMark = ReadAll(server_.accessLog).size();
  for (const FileEntry& e : entries) engine_->AddDownloadTask(e, 0);
  engine_->CreateDownloadPool();
  CDownloaderThreadPool* pool = engine_->pool();
  for (const DownloadTask& t : engine_->downloadTasks()) pool->AddTask(t, true);
  int handedOn = 0;
  pool->ApplyEachFinished([&](const DownloadTask&) { ++handedOn; });

  EXPECT_EQ(handedOn, 7);
  for (const FileEntry& e : entries) {
    EXPECT_TRUE(server_.AwaitLogged("/transfer-release/" + e.path, logMark)) << e.path;
  }
  EXPECT_EQ(ReadAll(install_ + "data/packed.dat"), packed);
  EXPECT_EQ(ReadAll(install_ + "LauncherConfig/update/data/f3.bin"), ReadAll(rel + "data/f3.bin"));
  int64_t total = 0;
  for (const DownloadTask& t : engine_->downloadTasks()) total += t.ExpectedSize();
  EXPECT_EQ(engine_->ReadProgress().downloadedBytes, total);
  EXPECT_NE(server_.LogLinesFor("/transfer-release/data/f0.bin").find("range=bytes=0-"),
            std::string::npos);
  // Each worker keeps its connection open between tasks: seven requests
  // over at most four connections.
  std::istringstream lines(ReadAll(server_.accessLog).substr(logMark));
  std::set<std::string> connections;
  int requests = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("/transfer-release/") == std::string::npos) continue;
    connections.insert(line.substr(line.find(" conn=")));
    ++requests;
  }
  EXPECT_EQ(requests, 7);
  EXPECT_LE(connections.size(), 4u);
}

// Sizes and offsets past 4 GiB, with sparse files on both sides.
TEST_F(TransferE2eTest, SingleFileResumesPastFourGibibytes) {
  std::string rel = server_.FreshFolder("transfer-huge");
  const int64_t size = (int64_t{5} << 30) + 123;
  const std::string tail = Pattern(1000, 7);
  {
    std::ofstream(rel + "huge.bin", std::ios::binary).close();
    fs::resize_file(rel + "huge.bin", size - 1000);
    std::ofstream(rel + "huge.bin", std::ios::binary | std::ios::app) << tail;
  }
  std::string local = install_ + "huge.bin";
  std::ofstream(local, std::ios::binary).close();
  fs::resize_file(local, size - 1000);

  EXPECT_EQ(engine_->QueryRemoteFileSize(server_.Url("transfer-huge/huge.bin")), size);
  EXPECT_EQ(engine_->DownloadFile(server_.Url("transfer-huge/huge.bin"), local, nullptr),
            Transfer_Complete);
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(local)), size);
  std::ifstream in(local, std::ios::binary);
  in.seekg(size - 1000);
  std::string got(1000, '\0');
  in.read(got.data(), 1000);
  EXPECT_EQ(got, tail);
  EXPECT_NE(server_.LogLinesFor("/transfer-huge/huge.bin")
                .find("range=bytes=" + std::to_string(size - 1000) + "-"),
            std::string::npos);
  fs::remove_all(rel);
}

TEST_F(TransferE2eTest, CheckNetConnectsToTheServer) {
  EXPECT_EQ(engine_->CheckNet(server_.Url("")), 1);
  engine_->SetTimeouts({}, {1000, 1, 1000}, 500);
  EXPECT_EQ(engine_->CheckNet("http://127.0.0.1:1/"), 0);
}

}  // namespace
