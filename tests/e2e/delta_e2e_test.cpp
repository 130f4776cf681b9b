// Delta updates end to end: releases made by kestrava-patcher publish
// (with their chunk maps), served by nginx on loopback, installed and
// updated by kestrava-patcher update. The bytes each file cost are read
// from nginx's access log ($body_bytes_sent).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "platform/testing/fault_server_process.h"
#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

constexpr size_t kMiB = size_t{1} << 20;

// Each case has a folder of its own on the server and on disk.
// Thread-safety: the test's thread only.
class DeltaE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Load()) << "run under the nginx CTest fixture";
    name_ = std::string("delta-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    base_ = server_.FreshFolder(name_);
    work_ = fs::temp_directory_path().string() + "/kst-e2e-" + std::to_string(getpid()) + "-" +
            name_ + "/";
    fs::remove_all(work_);
    fs::create_directories(work_);
    install_ = work_ + "install";
    fs::create_directories(install_);
  }
  void TearDown() override {
    unsetenv("KESTRAVA_RELEASE_KEYS");
    if (!HasFailure()) {
      fs::remove_all(work_);
      fs::remove_all(base_);
    }
  }

  // Version 1 of a game with big files of random bytes, like packed game
  // archives, beside the small files of the sample game.
  static Game FirstVersion() {
    Game game = SampleGame(7);
    game["data/edit.pak"] = RandomBytes(11, 4 * kMiB);
    game["data/insert.pak"] = RandomBytes(12, 4 * kMiB);
    game["data/append.pak"] = RandomBytes(13, 3 * kMiB);
    game["data/trunc.pak"] = RandomBytes(14, 4 * kMiB);
    game["data/same.pak"] = RandomBytes(15, 2 * kMiB);
    return game;
  }
  // Version 2: scattered edits, an insertion that shifts the rest, an
  // append and a truncation.
  static Game SecondVersion(Game game) {
    std::string& edit = game["data/edit.pak"];
    for (int i = 0; i < 8; ++i) edit.replace(i * 500000 + 1234, 4096, RandomBytes(20 + i, 4096));
    game["data/insert.pak"].insert(kMiB + 777, RandomBytes(30, 100000));
    game["data/append.pak"] += RandomBytes(31, kMiB);
    game["data/trunc.pak"].resize(5 * kMiB / 2);
    return game;
  }

  std::string Publish(const Game& game, const std::string& rel, const std::string& extra) {
    const std::string dir = work_ + "game-" + rel;
    WriteGame(dir, game);
    WriteFile(dir + "/Launcher.exe", "#!/bin/sh\nexit 0\n");
    WriteFile(dir + "/Launcher.dat", "#!/bin/sh\nexit 1\n");
    EXPECT_EQ(e2e::Publish(dir, base_ + rel, rel, extra), 0)
        << ReadFile(base_ + rel + ".publish.out");
    return server_.Url(name_ + "/" + rel + "/");
  }
  // Bytes nginx sent for requests of `uriPart` after log offset `from`;
  // *ranges counts the closed ranges asked for, *requests the requests
  // that asked for them.
  int64_t SentFor(const std::string& uriPart, size_t from, int* ranges = nullptr,
                  int* requests = nullptr) {
    const std::string log = ReadFile(server_.accessLog).substr(from);
    std::istringstream lines(log);
    std::string line;
    int64_t sent = 0;
    static const std::regex kSent(" sent=(\\d+)");
    static const std::regex kRange(" range=bytes=(\\d+-\\d+,?)+ ");
    while (std::getline(lines, line)) {
      if (line.find(uriPart + " ") == std::string::npos) continue;
      std::smatch m;
      if (std::regex_search(line, m, kSent)) sent += std::stoll(m[1]);
      if (ranges && std::regex_search(line, m, kRange)) {
        const std::string asked = m[0];
        *ranges += 1 + static_cast<int>(std::count(asked.begin(), asked.end(), ','));
        if (requests) ++*requests;
      }
    }
    return sent;
  }
  size_t LogSize() { return ReadFile(server_.accessLog).size(); }
  void AwaitLogged(const std::string& uriPart, size_t from) {
    EXPECT_TRUE(server_.AwaitLogged(uriPart + " ", from)) << uriPart;
  }
  std::string Uri(const std::string& rel, const std::string& path) {
    return "/" + name_ + "/" + rel + "/" + path;
  }
  std::string Out() { return ReadFile(work_ + "update.out"); }

  NginxServer server_;
  std::string name_, base_, work_, install_;
};

TEST_F(DeltaE2e, AnUpdateAndARepairFetchOnlyTheChangedBlocks) {
  const Game one = FirstVersion();
  const Game two = SecondVersion(one);
  ASSERT_EQ(Update(install_, Publish(one, "r1", "")), 0) << Out();
  ASSERT_TRUE(Differences(one, install_).empty());
  const std::string url2 = Publish(two, "r2", "--previous '" + base_ + "r1'");
  ASSERT_TRUE(fs::exists(base_ + "r2/LauncherConfig/delta/data/edit.pak.map"));

  const size_t before = LogSize();
  ASSERT_EQ(Update(install_, url2), 0) << Out();
  EXPECT_EQ(Differences(two, install_), std::vector<std::string>{});
  // trunc.pak's last chunk is found block by block in the old copy: of it,
  // only the map and the blocks file are asked for.
  for (const char* path : {"data/edit.pak", "data/insert.pak", "data/append.pak",
                           "LauncherConfig/delta/data/trunc.pak.blocks",
                           "LauncherConfig/delta/data/edit.pak.map"}) {
    AwaitLogged(Uri("r2", path), before);
  }
  int ranges = 0, requests = 0;
  const int64_t edit = SentFor(Uri("r2", "data/edit.pak"), before, &ranges, &requests);
  EXPECT_GT(edit, 8 * 4096);
  EXPECT_LE(edit, 8 * 3 * 4096) << "8 edits of 4 KiB in a 4 MiB file, each within 3 blocks";
  EXPECT_GE(ranges, 8) << "closed ranges on the published file";
  EXPECT_EQ(requests, 1) << "all of them in one request\n" << DayLog(install_ + "/");
  EXPECT_LT(SentFor(Uri("r2", "data/insert.pak"), before), kMiB) << "100 kB inserted";
  EXPECT_LT(SentFor(Uri("r2", "data/append.pak"), before), kMiB + kMiB / 2) << "1 MiB appended";
  EXPECT_EQ(SentFor(Uri("r2", "data/trunc.pak"), before), 0) << "cut at 2.5 MiB";
  const int64_t blocks = SentFor(Uri("r2", "LauncherConfig/delta/data/edit.pak.blocks"), before);
  EXPECT_GT(blocks, 32);
  EXPECT_LT(blocks, 8 * 2 * 1024) << "the hashes of the blocks of about 8 to 16 chunks";
  EXPECT_EQ(SentFor(Uri("r2", "data/same.pak"), before), 0);
  EXPECT_GT(SentFor(Uri("r2", "LauncherConfig/delta/data/edit.pak.map"), before), 0);

  // A repair of a file with three damaged sectors fetches about six blocks.
  {
    std::string damaged = ReadFile(install_ + "/data/edit.pak");
    for (size_t at : {kMiB / 2, 3 * kMiB / 2, 3 * kMiB}) damaged.replace(at, 4096, 4096, '\0');
    WriteFile(install_ + "/data/edit.pak", damaged);
  }
  const size_t beforeRepair = LogSize();
  ASSERT_EQ(Update(install_, url2, "repair"), 0) << Out();
  EXPECT_EQ(Differences(two, install_), std::vector<std::string>{});
  AwaitLogged(Uri("r2", "data/edit.pak"), beforeRepair);
  const int64_t repaired = SentFor(Uri("r2", "data/edit.pak"), beforeRepair);
  EXPECT_GT(repaired, 3 * 4096);
  EXPECT_LE(repaired, 3 * 3 * 4096) << "three sectors, each within 3 blocks";
}

TEST_F(DeltaE2e, ATamperedMapOrChunkIsRefusedAndTheFileStillEndsRight) {
  const std::string key = work_ + "release.pem";
  const std::string pub = work_ + "release.pub";
  ASSERT_EQ(e2e::Run(Patcher() + " keygen '" + key + "' > '" + pub + "'"), 0);
  std::string keys = ReadFile(pub);
  keys.pop_back();
  setenv("KESTRAVA_RELEASE_KEYS", keys.c_str(), 1);
  const Game one = FirstVersion();
  const Game two = SecondVersion(one);
  ASSERT_EQ(Update(install_, Publish(one, "r1", "--sign-key '" + key + "'")), 0) << Out();
  // trunc.pak (2.5 MiB) gets no map at this threshold, and release.sig says
  // so: no request is made for it.
  const std::string url2 = Publish(
      two, "r2", "--sign-key '" + key + "' --previous '" + base_ + "r1' --delta-min-size 3");

  // A map changed after signing is refused: the file comes whole.
  const std::string map = base_ + "r2/LauncherConfig/delta/data/edit.pak.map";
  std::string bytes = ReadFile(map);
  bytes[bytes.size() - 1] ^= 1;
  WriteFile(map, bytes);
  // A chunk changed on the server (the inserted part of insert.pak, which
  // must be fetched): refused as it arrives; the whole file then has the
  // wrong MD5 too, so the pass fails, and succeeds once the server is right.
  const std::string served = base_ + "r2/data/insert.pak";
  const std::string good = ReadFile(served);
  std::string bad = good;
  bad[kMiB + 777 + 5000] ^= 1;
  WriteFile(served, bad);

  const size_t before = LogSize();
  EXPECT_NE(Update(install_, url2), 0) << Out();
  AwaitLogged(Uri("r2", "data/edit.pak"), before);
  EXPECT_GE(SentFor(Uri("r2", "data/edit.pak"), before), 4 * kMiB - 1) << "fetched whole";
  EXPECT_FALSE(fs::exists(base_ + "r2/LauncherConfig/delta/data/trunc.pak.map"));
  EXPECT_EQ(ReadFile(server_.accessLog).find(Uri("r2", "LauncherConfig/delta/data/trunc.pak.map")),
            std::string::npos);
  EXPECT_GT(SentFor(Uri("r2", "data/trunc.pak"), before), 0);
  WriteFile(served, good);
  ASSERT_EQ(Update(install_, url2), 0) << Out();
  EXPECT_EQ(Differences(two, install_), std::vector<std::string>{});
  EXPECT_EQ(
      LogCount(install_ + "/", "Delta Not Used For edit.pak: release.sig refuses its chunk map"), 1)
      << DayLog(install_ + "/");
  EXPECT_EQ(LogCount(install_ + "/", "Delta Not Used For insert.pak: chunk"), 1);
}

TEST_F(DeltaE2e, OneRangeARequestNoRangesAtAllAndAKillInTheMiddleOfADeltaStillEndRight) {
  const Game one = FirstVersion();
  const Game two = SecondVersion(one);
  const std::string url1 = Publish(one, "r1", "");
  ASSERT_EQ(Update(install_, url1), 0) << Out();
  const std::string url2 = Publish(two, "r2", "--previous '" + base_ + "r1'");

  FaultServerProcess faults;
  ASSERT_TRUE(faults.Start(server_.root));
  const std::string dir = install_ + "/";
  // A CDN edge that serves one range per request (416 for several, as
  // Varnish answers): the deltas ask again one range at a time.
  ASSERT_EQ(Update(install_, faults.Url("onerange/" + name_ + "/r2/")), 0) << Out();
  EXPECT_EQ(Differences(two, install_), std::vector<std::string>{});
  EXPECT_EQ(LogCount(dir, "Delta For edit.pak: Several Ranges In One Request Not Served (Status "
                          "416), Asking For One At A Time"),
            1)
      << DayLog(dir);
  EXPECT_EQ(LogCount(dir, "Delta Not Used"), 0) << DayLog(dir);

  // A server (or a proxy) that answers a range with the whole file: each
  // delta gives up at its first answer, and the file comes whole.
  ASSERT_EQ(Update(install_, url1), 0) << Out();
  ASSERT_EQ(Update(install_, faults.Url("norange/" + name_ + "/r2/")), 0) << Out();
  EXPECT_EQ(Differences(two, install_), std::vector<std::string>{});
  EXPECT_EQ(LogCount(dir, "Delta Not Used For edit.pak: the server ignores ranges"), 1)
      << DayLog(dir);

  // Back to release 1, then killed with SIGKILL while the deltas to
  // release 2 arrive (slowed so that they are still running): the next
  // run ends right and leaves no temporary file.
  ASSERT_EQ(Update(install_, url1), 0) << Out();
  ASSERT_EQ(Differences(one, install_), std::vector<std::string>{});
  const int deltas = LogCount(dir, "Delta For ");
  const std::string pidFile = work_ + "update.pid";
  ASSERT_EQ(e2e::Run(Patcher() + " update '" + install_ + "' --url '" + url2 +
                     "' --limit-rate 512K >> '" + work_ + "update.out' 2>&1 & echo $! > '" +
                     pidFile + "'"),
            0);
  const pid_t pid = std::stoi(ReadFile(pidFile));
  ASSERT_TRUE(WaitFor([&] { return LogCount(dir, "Delta For ") > deltas; }));
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  // Gone, or a zombie no one has reaped yet: it holds nothing any more.
  ASSERT_TRUE(WaitFor([&] {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
  }));
  EXPECT_FALSE(Differences(two, install_).empty()) << "the update ended before it was killed";
  ASSERT_EQ(Update(install_, url2), 0) << Out();
  EXPECT_EQ(Differences(two, install_), std::vector<std::string>{});
  for (const auto& e : fs::recursive_directory_iterator(install_)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
  }
}

}  // namespace
