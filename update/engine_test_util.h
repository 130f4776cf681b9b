// A temporary installation folder and an engine wired to an in-process fake
// update server, for the engine step tests.
//
// Thread-safety: one fixture per test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/testing/fake_http.h"
#include "tools/archive_writer.h"
#include "update/archive.h"
#include "update/downloader.h"
#include "update/md5.h"

class EngineFixture : public ::testing::Test {
 protected:
  static constexpr const char* kBase = "http://fake.test/rel/";

  void SetUp() override {
    namespace fs = std::filesystem;
    dir_ = fs::temp_directory_path() /
           ("kst-eng-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    install_ = dir_.string() + "/";
    engine_ = std::make_unique<CVXDlownloader>(install_);
    engine_->SetReleaseBaseUrl(kBase);
    engine_->SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server_));
  }
  void TearDown() override {
    engine_.reset();
    std::filesystem::remove_all(dir_);
  }

  static std::string Md5(const std::string& text) {
    Md5Context c;
    c.Update(text.data(), text.size());
    return c.HexDigest();
  }
  static void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // A 7z archive of the given items, as bytes.
  std::string Pack7z(const std::vector<PackItem>& items) {
    std::string path = install_ + "../" + dir_.filename().string() + "-pack.7z";
    std::string error;
    EXPECT_TRUE(PackSevenZip(path, items, 1, nullptr, &error)) << error;
    std::string bytes = ReadFile(path);
    std::filesystem::remove(path);
    return bytes;
  }
  void Serve(const std::string& relative, const std::string& body) {
    FakeResource r;
    r.body = body;
    server_.Put(kBase + relative, r);
  }
  int Requests(const std::string& relative) { return server_.CountRequests(kBase + relative); }
  bool Exists(const std::string& relative) { return std::filesystem::exists(install_ + relative); }

  std::filesystem::path dir_;
  std::string install_;
  FakeHttpServer server_;
  std::unique_ptr<CVXDlownloader> engine_;
};
