// The update command given several release addresses: two Varnish edges in
// front of the nginx origin, and a third edge in front of an origin that
// still holds the previous release. Edges die, answer 503 and recover while
// a 200 MiB first install and then an update run; each pass must end with
// every file right and nothing of the previous release in it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"
#include "tests/e2e/varnish_edge.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

constexpr int kFiles = 40;
constexpr size_t kFileBytes = 5 << 20;  // 200 MiB in all, random: nothing packs smaller

Game BigGame() {
  Game g = SampleGame(19);
  for (int i = 0; i < kFiles; ++i) {
    g["data/big/chunk" + std::to_string(i) + ".pak"] = RandomBytes(1900 + i, kFileBytes);
  }
  return g;
}

int64_t BytesBelow(const std::string& folder) {
  int64_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) total += static_cast<int64_t>(it->file_size(ec));
  }
  return total;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class MirrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Load()) << "run through ctest: needs the nginx fixture";
    // The releases live in memory; the served folder only links to them.
    shm_ = "/dev/shm/kestrava-mirrors-" + std::to_string(getpid());
    fs::remove_all(shm_);
    name_ = "mirrors-" + std::to_string(getpid());
    work_ = server_.FreshFolder(name_);
    game_ = BigGame();
    ASSERT_TRUE(PublishInMemory(game_, "new", "2.0"));
    ASSERT_TRUE(PublishInMemory(SampleGame(7), "old", "1.0"));
    edgeA_ = std::make_unique<VarnishEdge>(shm_ + "/edge-a", server_.port);
    edgeB_ = std::make_unique<VarnishEdge>(shm_ + "/edge-b", server_.port);
    // Whatever release it is asked for, its origin has only the old one.
    edgeC_ = std::make_unique<VarnishEdge>(shm_ + "/edge-c", server_.port,
                                           "^/" + name_ + "/[a-z]+/", "/" + name_ + "/old/");
    ASSERT_TRUE(edgeA_->Start());
    ASSERT_TRUE(edgeB_->Start());
    ASSERT_TRUE(edgeC_->Start());
  }
  void TearDown() override {
    edgeA_.reset();
    edgeB_.reset();
    edgeC_.reset();
    fs::remove_all(shm_);
    fs::remove_all(work_);
  }

  bool PublishInMemory(const Game& game, const std::string& name, const std::string& version) {
    const std::string gameDir = shm_ + "/game-" + name;
    WriteGame(gameDir, game);
    WriteFile(gameDir + "/Launcher.exe", "#!/bin/sh\nexit 0\n");
    WriteFile(gameDir + "/Launcher.dat", "#!/bin/sh\nexit 1\n");
    // Stored, not packed: random bytes do not shrink.
    const std::string release = shm_ + "/" + name;
    if (e2e::Run(Patcher() + " publish '" + gameDir + "' '" + release + "' --version " + version +
                 " --package-size 10 --level 0 > '" + release + ".publish.out' 2>&1") != 0) {
      return false;
    }
    fs::remove_all(gameDir);
    std::error_code ec;
    fs::create_directory_symlink(shm_ + "/" + name, work_ + name, ec);
    return !ec;
  }
  std::string Release(const VarnishEdge& edge, const std::string& name) const {
    return edge.Url(name_ + "/" + name + "/");
  }

  // Starts `kestrava-patcher update` in the background; Finished() tells
  // when it is done and ExitCode() its code.
  void StartUpdate(const std::string& dir, const std::string& urls, const std::string& extra) {
    dir_ = dir;
    fs::create_directories(dir);
    SkipFourDayCheck(dir);
    fs::remove(dir + ".rc");
    e2e::Run("(KESTRAVA_MIRROR_COOL_DOWN_MS=200 " + Patcher() + " update '" + dir + "' --url '" +
             urls + "' " + extra + " > '" + dir + ".out' 2>&1; echo $? > '" + dir +
             ".rc.tmp'; mv '" + dir + ".rc.tmp' '" + dir + ".rc') &");
  }
  bool Finished() const { return fs::exists(dir_ + ".rc"); }
  int ExitCode() const { return std::stoi(ReadFile(dir_ + ".rc")); }
  std::string DayLog() const {
    std::string all;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_ + "/launcherlog", ec))
      all += ReadFile(e.path());
    return all;
  }
  // What the origin was asked for below the previous release other than
  // its update.xml.
  std::string OldReleaseFilesServed() const {
    std::istringstream lines(server_.LogLinesFor(name_ + "/old/"));
    std::string served;
    for (std::string line; std::getline(lines, line);) {
      if (line.find("LauncherConfig/update.xml ") == std::string::npos) served += line + "\n";
    }
    return served;
  }

  // One pass's log: the lagging edge was skipped once and served nothing,
  // and the files came from a until it failed, then from b.
  static void ExpectFailoverFromAToB(const std::string& log, const std::string& a,
                                     const std::string& lagging, const std::string& b) {
    EXPECT_EQ(Count(log, "Release address " + lagging + " skipped for this pass: it announces"), 1u)
        << log;
    EXPECT_EQ(log.find("Release files now come from " + lagging), std::string::npos) << log;
    EXPECT_NE(log.find("Release files now come from " + a), std::string::npos) << log;
    const size_t failed = log.find("Release address " + a + " failed");
    EXPECT_NE(failed, std::string::npos) << log;
    EXPECT_LT(failed, log.find("Release files now come from " + b)) << log;
  }

  NginxServer server_;
  std::string name_, shm_, work_, dir_;
  Game game_;
  std::unique_ptr<VarnishEdge> edgeA_, edgeB_, edgeC_;
};

TEST_F(MirrorsTest, EdgesThatDieLagOrAnswer503LeaveEveryFileRight) {
  const std::string lagging = Release(*edgeC_, "new");
  const std::string a = Release(*edgeA_, "new");
  const std::string b = Release(*edgeB_, "new");

  // 1. Edge A, the first choice, is killed a third of the way in; a
  // limit keeps the install long enough to be cut.
  // The lagging edge comes second: if it were admitted, it would serve
  // once A is gone.
  StartUpdate(shm_ + "/install1", a + " " + lagging + " " + b, "--limit-rate 40M");
  const int64_t total = static_cast<int64_t>(kFiles * kFileBytes);
  ASSERT_TRUE(WaitFor([&] { return BytesBelow(dir_) > total / 3 || Finished(); }, 300));
  EXPECT_FALSE(Finished()) << "the install ended before the edge could be killed";
  edgeA_->Stop();
  ASSERT_TRUE(WaitFor([&] { return Finished(); }, 300));
  std::string log = DayLog();
  EXPECT_EQ(ExitCode(), 0) << ReadFile(dir_ + ".out") << log;
  EXPECT_TRUE(Differences(game_, dir_).empty());
  ExpectFailoverFromAToB(log, a, lagging, b);

  // 1b. An update of that install to a release with half its big files
  // changed, A killed again once a few of them are in. A quarter are new
  // throughout; the others have two edits, which come as deltas: the edges
  // answer several ranges in one request with 416, so each is asked again
  // one range at a time.
  const std::string installed = dir_;
  Game newer = game_;
  for (int i = 0; i < kFiles; i += 2) {
    std::string& file = newer["data/big/chunk" + std::to_string(i) + ".pak"];
    if (i % 4 == 0) {
      file = RandomBytes(2900 + i, kFileBytes);
    } else {
      for (size_t at : {size_t{1} << 20, size_t{4} << 20}) {
        file.replace(at, 4096, RandomBytes(static_cast<uint32_t>(at) + i, 4096));
      }
    }
  }
  ASSERT_TRUE(PublishInMemory(newer, "newer", "2.1"));
  ASSERT_TRUE(edgeA_->Start());
  const std::string a2 = Release(*edgeA_, "newer");
  const std::string b2 = Release(*edgeB_, "newer");
  const std::string lagging2 = Release(*edgeC_, "newer");
  const size_t before = log.size();
  StartUpdate(installed, a2 + " " + lagging2 + " " + b2, "--limit-rate 40M");
  ASSERT_TRUE(WaitFor(
      [&] { return Count(DayLog().substr(before), "down load file success") >= 4 || Finished(); },
      300));
  EXPECT_FALSE(Finished()) << "the update ended before the edge could be killed";
  edgeA_->Stop();
  ASSERT_TRUE(WaitFor([&] { return Finished(); }, 300));
  log = DayLog().substr(before);
  EXPECT_EQ(ExitCode(), 0) << ReadFile(dir_ + ".out") << log;
  EXPECT_TRUE(Differences(newer, dir_).empty());
  ExpectFailoverFromAToB(log, a2, lagging2, b2);
  EXPECT_EQ(OldReleaseFilesServed(), "");
  EXPECT_GT(Count(log, "Several Ranges In One Request Not Served (Status 416), Asking For One At "
                       "A Time"),
            0)
      << log;
  EXPECT_GT(Count(log, ": Fetching "), 0) << "deltas through the edges\n" << log;

  // 2. Edge A is back and preferred. A quarter of the way in it loses its
  // origin and answers 503 to everything; once it has failed it recovers,
  // and after its rest it serves again.
  ASSERT_TRUE(edgeA_->Start());
  StartUpdate(shm_ + "/install2", a + " " + b, "--limit-rate 40M");
  ASSERT_TRUE(WaitFor([&] { return BytesBelow(dir_) > total / 4 || Finished(); }, 300));
  ASSERT_TRUE(edgeA_->Fail());
  ASSERT_TRUE(WaitFor(
      [&] {
        return DayLog().find("Release address " + a + " failed") != std::string::npos || Finished();
      },
      300));
  ASSERT_TRUE(edgeA_->Recover());
  ASSERT_TRUE(WaitFor([&] { return Finished(); }, 300));
  log = DayLog();
  EXPECT_EQ(ExitCode(), 0) << ReadFile(dir_ + ".out") << log;
  EXPECT_TRUE(Differences(game_, dir_).empty());
  const size_t failed = log.find("Release address " + a + " failed (a server error)");
  ASSERT_NE(failed, std::string::npos) << log;
  EXPECT_LT(log.find("Release files now come from " + a), failed) << log;
  const size_t toB = log.find("Release files now come from " + b, failed);
  EXPECT_NE(toB, std::string::npos) << log;
  EXPECT_NE(log.find("Release files now come from " + a, toB), std::string::npos) << log;

  // 3. Every address down: the status of one address that is down.
  edgeA_->Stop();
  edgeB_->Stop();
  StartUpdate(shm_ + "/install3", a, "");
  ASSERT_TRUE(WaitFor([&] { return Finished(); }, 300));
  const int alone = ExitCode();
  EXPECT_NE(alone, 0);
  StartUpdate(shm_ + "/install4", a + " " + b, "");
  ASSERT_TRUE(WaitFor([&] { return Finished(); }, 300));
  EXPECT_EQ(ExitCode(), alone) << DayLog();
}

}  // namespace
