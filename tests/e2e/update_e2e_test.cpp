// The update command against releases published by kestrava-patcher and
// served by nginx on loopback: first install, next release, repair, full
// download, damaged and cut transfers, a killed updater, self-update.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <pugixml.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "platform/testing/fault_server_process.h"
#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace e2e;

namespace {

const std::string kLauncherScript =
    "#!/bin/sh\n"
    "# launcher %VERSION%\n"
    "cd \"$(dirname \"$0\")\"\n"
    "\"%PATCHER%\" update . --url \"$(cat release-url.txt)\" >> launcher.out 2>&1\n"
    "echo \"%VERSION% $?\" >> runs.txt\n";

std::string LauncherScript(const std::string& version) {
  std::string s = kLauncherScript;
  for (size_t p; (p = s.find("%VERSION%")) != std::string::npos;) s.replace(p, 9, version);
  s.replace(s.find("%PATCHER%"), 9, Patcher());
  return s;
}

struct PackageRef {
  std::string name;
  int64_t size;
};

// The first-download packages a release folder names in its index.
std::vector<PackageRef> PackagesOf(const std::string& releaseDir) {
  std::vector<PackageRef> packages;
  std::istringstream in(ReadFile(releaseDir + "/LauncherConfig/update/firstdownload"));
  for (std::string line; std::getline(in, line);) {
    const size_t comma = line.rfind(',');
    if (comma == std::string::npos) continue;
    packages.push_back({line.substr(0, comma), std::stoll(line.substr(comma + 1))});
  }
  return packages;
}

// Those of them still lying in the installation folder.
std::vector<std::string> PackagesLeft(const std::string& releaseDir, const std::string& install) {
  std::vector<std::string> left;
  for (const PackageRef& p : PackagesOf(releaseDir)) {
    if (fs::exists(install + p.name)) left.push_back(p.name);
  }
  return left;
}

class UpdateE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Load()) << "run under the nginx CTest fixture";
    name_ = std::string("upd-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    base_ = server_.FreshFolder(name_);
    work_ = fs::temp_directory_path().string() + "/kst-e2e-" + std::to_string(getpid()) + "-" +
            name_ + "/";
    fs::remove_all(work_);
    fs::create_directories(work_);
    install_ = work_ + "install/";
    fs::create_directories(install_);
    SkipFourDayCheck(install_);
  }
  void TearDown() override {
    if (!HasFailure()) {
      fs::remove_all(work_);
      fs::remove_all(base_);
    }
  }

  // Writes game files plus the launcher's own files and publishes them as
  // release `rel`; returns its address.
  // The real update tool is published only where a case needs it.
  std::string PublishGame(const Game& game, const std::string& rel,
                          const std::string& launcher = "#!/bin/sh\nexit 0\n",
                          bool realTool = false) {
    std::string dir = work_ + "game-" + rel;
    WriteGame(dir, game);
    WriteFile(dir + "/Launcher.exe", launcher);
    WriteFile(dir + "/Launcher.dat", "#!/bin/sh\nexit 1\n");
    if (realTool) {
      fs::copy_file(BinDir() + "/updatetool", dir + "/Launcher.dat",
                    fs::copy_options::overwrite_existing);
    }
    EXPECT_EQ(Publish(dir, base_ + rel, rel), 0) << ReadFile(base_ + rel + ".publish.out");
    return server_.Url(name_ + "/" + rel + "/");
  }
  // The two releases most cases share: published once per build.
  static Game V1() { return SampleGame(1); }
  static Game V2() {
    Game v2 = V1();
    v2["data/map3.dds"] = TextBytes(33, 5000);
    v2["bin/lib1.dll"] = RandomBytes(34, 6000);
    v2["scripts/new.cs"] = TextBytes(35, 700);  // new, of a fetched type
    v2["data/new.dds"] = TextBytes(36, 800);    // new, left to the game
    v2.erase("data/sound/s2.ogg");
    v2.erase("data/map5.dds");
    return v2;
  }
  std::string Shared(const std::string& version) {
    const std::string name = "upd-shared-" + version;
    EXPECT_TRUE(SharedRelease(server_.root, name, version == "v1" ? V1() : V2(), work_))
        << ReadFile(server_.root + "/" + name + ".publish.out");
    return server_.Url(name + "/");
  }
  // Where the access log ends now: RequestsFor counts what follows.
  size_t LogMark() { return ReadFile(server_.accessLog).size(); }
  // Requests for one file of a release (plain or packed) after mark.
  int RequestsFor(const std::string& release, const std::string& path, size_t mark) {
    std::string log = ReadFile(server_.accessLog).substr(mark);
    int n = 0;
    for (const std::string& uri :
         {"/" + release + "/" + path + " ", "/" + release + "/" + path + ".7z "}) {
      for (size_t at = log.find(uri); at != std::string::npos; at = log.find(uri, at + 1)) ++n;
    }
    return n;
  }
  std::string Output() { return ReadFile(work_ + "update.out"); }

  NginxServer server_;
  std::string name_, base_, work_, install_;
};

TEST_F(UpdateE2e, EmptyFolderThenNextReleaseThenRepairAndFullDownload) {
  std::string url1 = Shared("v1"), url2 = Shared("v2");
  ASSERT_EQ(Update(install_, url1), 0) << Output();
  EXPECT_EQ(Differences(V1(), install_), std::vector<std::string>{});
  // Every package was unpacked and recorded: none is kept beside its files.
  ASSERT_GE(PackagesOf(server_.root + "/upd-shared-v1").size(), 2u);
  EXPECT_EQ(PackagesLeft(server_.root + "/upd-shared-v1", install_), std::vector<std::string>{});

  Game v2 = V2();
  size_t mark = LogMark();
  ASSERT_EQ(Update(install_, url2), 0) << Output();
  for (const char* p : {"data/map3.dds", "bin/lib1.dll", "scripts/new.cs"}) {
    EXPECT_EQ(ReadFile(install_ + p), v2[p]) << p;
    EXPECT_TRUE(server_.AwaitLogged("/upd-shared-v2/" + std::string(p), mark)) << p;
    EXPECT_EQ(RequestsFor("upd-shared-v2", p, mark), 1) << p;
  }
  EXPECT_FALSE(fs::exists(install_ + "data/new.dds"));
  EXPECT_EQ(RequestsFor("upd-shared-v2", "data/new.dds", mark), 0);
  // A size query reads a small answer to its end, so that the GET after it
  // goes over the same connection instead of a new one.
  std::istringstream listLines(server_.LogLinesFor("/upd-shared-v2/LauncherConfig/client.md5.7z"));
  std::set<std::string> listConnections;
  int listRequests = 0;
  for (std::string line; std::getline(listLines, line); ++listRequests) {
    listConnections.insert(line.substr(line.find(" conn=")));
  }
  EXPECT_GE(listRequests, 2);
  EXPECT_EQ(listConnections.size(), 1u);
  EXPECT_FALSE(fs::exists(install_ + "data/sound/s2.ogg"));
  EXPECT_FALSE(fs::exists(install_ + "data/map5.dds"));
  for (const char* p : {"data/map1.dds", "big/world.pak", "Kestrava.exe", "data/sound/s7.ogg"}) {
    EXPECT_EQ(RequestsFor("upd-shared-v2", p, mark), 0) << p << " was unchanged";
  }

  // Repair restores a corrupted and a deleted file.
  std::string corrupt = ReadFile(install_ + "data/map1.dds");
  corrupt[10] ^= 0x55;
  WriteFile(install_ + "data/map1.dds", corrupt);
  fs::remove(install_ + "data/sound/s1.ogg");
  ASSERT_EQ(Update(install_, url2, "repair"), 0) << Output();
  EXPECT_EQ(ReadFile(install_ + "data/map1.dds"), v2["data/map1.dds"]);
  EXPECT_EQ(ReadFile(install_ + "data/sound/s1.ogg"), v2["data/sound/s1.ogg"]);

  // Full download fetches what the local list does not have as published.
  std::string list = ReadFile(install_ + "LauncherConfig/localclient.md5");
  size_t at = list.find("Path=\"bin/lib2.dll\"");
  ASSERT_NE(at, std::string::npos);
  size_t code = list.find("Code=\"", at) + 6;
  list.replace(code, 32, std::string(32, '0'));
  WriteFile(install_ + "LauncherConfig/localclient.md5", list);
  fs::remove(install_ + "bin/lib2.dll");
  ASSERT_EQ(Update(install_, url2, "full"), 0) << Output();
  EXPECT_EQ(ReadFile(install_ + "bin/lib2.dll"), v2["bin/lib2.dll"]);
  // Unlike a normal pass, a full download also fetches new files of any type.
  EXPECT_EQ(Differences(v2, install_), std::vector<std::string>{});
}

TEST_F(UpdateE2e, DamagedDownloadIsNotRecordedAndTheNextPassFixesIt) {
  std::string url1 = Shared("v1");
  ASSERT_EQ(Update(install_, url1), 0) << Output();
  Shared("v2");
  // A private copy of the next release whose changed file is damaged.
  ASSERT_EQ(e2e::Run("cp -a '" + server_.root + "/upd-shared-v2/.' '" + base_ + "rel2'"), 0);
  std::string url2 = server_.Url(name_ + "/rel2/");
  const std::string served = base_ + "rel2/bin/lib1.dll";
  ASSERT_TRUE(fs::exists(served));
  const std::string good = ReadFile(served);
  WriteFile(served, RandomBytes(78, good.size()));  // right size, wrong bytes
  // Not complete: the update says so (7) instead of "更新完成".
  ASSERT_EQ(Update(install_, url2), 7) << Output();
  EXPECT_EQ(ReadFile(install_ + "bin/lib1.dll"), V1()["bin/lib1.dll"]);

  WriteFile(served, good);
  ASSERT_EQ(Update(install_, url2), 0) << Output();
  EXPECT_EQ(ReadFile(install_ + "bin/lib1.dll"), V2()["bin/lib1.dll"]);
}

// A first install that fails part-way is finished by a later pass, which
// then ends with every file in place; no pass reports "更新完成" with files
// missing.
TEST_F(UpdateE2e, AnUnfinishedFirstInstallIsFinishedByALaterPass) {
  Shared("v1");
  const std::string rel = base_ + "rel/";
  ASSERT_EQ(e2e::Run("cp -a '" + server_.root + "/upd-shared-v1/.' '" + rel + "'"), 0);
  const std::string url = server_.Url(name_ + "/rel/");
  const std::string index = rel + "LauncherConfig/update/firstdownload";
  for (const std::string mode : {"normal", "repair"}) {
    SCOPED_TRACE(mode);
    // No first-download index: the same pass fetches every file by itself.
    fs::remove_all(install_);
    SkipFourDayCheck(install_);
    fs::rename(index, index + ".hidden");
    ASSERT_EQ(Update(install_, url), 0) << Output();
    EXPECT_EQ(Differences(V1(), install_), std::vector<std::string>{});
    fs::rename(index + ".hidden", index);

    // A package cut short and one of its files not to be had alone either:
    // the pass fails, and the next one, with the server mended, finishes.
    fs::remove_all(install_);
    SkipFourDayCheck(install_);
    const std::string package = ReadFile(rel + "data2.7z");
    WriteFile(rel + "data2.7z", package.substr(0, package.size() / 2));
    fs::rename(rel + "big/world.pak", rel + "big/world.pak.hidden");
    EXPECT_EQ(Update(install_, url), 7) << Output();
    EXPECT_FALSE(fs::exists(install_ + "big/world.pak"));
    // The package cut short stays; the whole ones went once recorded.
    EXPECT_EQ(PackagesLeft(rel, install_), std::vector<std::string>{"data2.7z"});
    WriteFile(rel + "data2.7z", package);
    fs::rename(rel + "big/world.pak.hidden", rel + "big/world.pak");
    ASSERT_EQ(Update(install_, url, mode), 0) << Output();
    EXPECT_EQ(Differences(V1(), install_), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(install_ + "LauncherConfig/install.unfinished"));
  }
}

TEST_F(UpdateE2e, HttpsReleaseNeedsATrustedCertificate) {
  Shared("v1");
  ASSERT_GT(server_.tlsPort, 0);
  const std::string url = server_.TlsUrl("upd-shared-v1/");
  // A certificate nobody vouches for: nothing is fetched, nothing recorded.
  ASSERT_NE(Update(install_, url), 0) << Output();
  EXPECT_FALSE(fs::exists(install_ + "LauncherConfig/localclient.md5"));
  EXPECT_FALSE(fs::exists(install_ + "Kestrava.exe"));

  ASSERT_EQ(setenv("KESTRAVA_CA_BUNDLE", server_.caFile.c_str(), 1), 0);
  int rc = Update(install_, url);
  unsetenv("KESTRAVA_CA_BUNDLE");
  ASSERT_EQ(rc, 0) << Output();
  EXPECT_EQ(Differences(V1(), install_), std::vector<std::string>{});
}

TEST_F(UpdateE2e, ConnectionsCutAfterOneMiBCompleteByResuming) {
  Shared("v1");
  FaultServerProcess faults;  // stopped when the case ends, passed or not
  ASSERT_TRUE(faults.Start(server_.root));
  const std::string url = faults.Url("cut-1048576/upd-shared-v1/");
  ASSERT_EQ(Update(install_, url), 0) << Output();
  EXPECT_EQ(Differences(V1(), install_), std::vector<std::string>{});
  // A package larger than a connection's share was resumed, not restarted,
  // and, once recorded, removed.
  const std::string release = server_.root + "/upd-shared-v1";
  int cutPackages = 0;
  for (const PackageRef& p : PackagesOf(release)) {
    if (p.size <= (1 << 20)) continue;
    ++cutPackages;
    EXPECT_GE(LogCount(install_, "@@@@" + url + p.name + "---"), 2) << p.name;
  }
  EXPECT_GE(cutPackages, 1);
  EXPECT_GE(LogCount(install_, "Status_Download_Goon"), 1);
  EXPECT_EQ(PackagesLeft(release, install_), std::vector<std::string>{});
}

// Requests that have reached the fault server (Stats lines).
int RequestsSeen(const FaultServerProcess& server) {
  const std::string stats = server.Stats();
  return static_cast<int>(std::count(stats.begin(), stats.end(), '\n')) + !stats.empty();
}

// Each round kills a first installation while it waits for an answer, after
// a random number of its requests, checks what the killed run left, and lets
// the next run finish the folder. The release comes through the fault server
// with every answer delayed, so the run is always still going at the kill.
TEST_F(UpdateE2e, KilledUpdaterConvergesOnTheNextRun) {
  const std::string url1 = Shared("v1");
  FaultServerProcess slow;
  ASSERT_TRUE(slow.Start(server_.root));
  const std::string slowUrl = slow.Url("delay-300/upd-shared-v1/");
  // How many requests a whole first installation makes.
  SkipFourDayCheck(work_ + "counted/");
  ASSERT_EQ(Update(work_ + "counted/", slowUrl), 0) << Output();
  const int requests = RequestsSeen(slow);
  ASSERT_GT(requests, 3);

  std::mt19937 gen(::testing::UnitTest::GetInstance()->random_seed());
  const std::string out = work_ + "killed.out";
  for (int round = 0; round < 3; ++round) {
    const int killAfter = 1 + static_cast<int>(gen() % (requests - 1));
    SCOPED_TRACE("round " + std::to_string(round) + ", kill after request " +
                 std::to_string(killAfter) + " of " + std::to_string(requests));
    fs::remove_all(install_);
    SkipFourDayCheck(install_);
    slow.ResetStats();
    const std::string dir = install_;
    const char* argv[] = {"kestrava-patcher", "update", dir.c_str(), "--url",
                          slowUrl.c_str(),    nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid;
    const std::string patcher = Patcher();
    ASSERT_EQ(posix_spawn(&pid, patcher.c_str(), &fa, nullptr, const_cast<char**>(argv), environ),
              0);
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_TRUE(WaitFor([&] { return RequestsSeen(slow) >= killAfter; }, 120));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "it ended by itself";
    // Whatever moment it died at, a local list on disk is whole.
    const std::string list = install_ + "LauncherConfig/localclient.md5";
    if (fs::exists(list)) {
      pugi::xml_document doc;
      EXPECT_TRUE(doc.load_file(list.c_str()));
    }
    ASSERT_EQ(Update(install_, url1), 0) << Output();
    EXPECT_EQ(Differences(V1(), install_), std::vector<std::string>{});
  }
}

TEST_F(UpdateE2e, SelfUpdateReplacesTheLauncherAndRestartsIt) {
  Game v1 = SampleGame(5);
  v1.erase("big/world.pak");  // the launcher is what this case is about
  std::string url1 = PublishGame(v1, "rel1", LauncherScript("v1"), true);
  WriteFile(install_ + "Launcher.exe", LauncherScript("v1"));
  fs::permissions(install_ + "Launcher.exe", fs::perms::owner_all, fs::perm_options::add);
  WriteFile(install_ + "release-url.txt", url1);
  ASSERT_EQ(e2e::Run("'" + install_ + "Launcher.exe'"), 0);
  EXPECT_EQ(ReadFile(install_ + "runs.txt"), "v1 0\n") << ReadFile(install_ + "launcher.out");
  EXPECT_TRUE(fs::exists(install_ + "Launcher.dat"));  // the tool came with the first pass

  std::string url2 = PublishGame(v1, "rel2", LauncherScript("v2"), true);
  WriteFile(install_ + "release-url.txt", url2);
  ASSERT_EQ(e2e::Run("'" + install_ + "Launcher.exe'"), 0);
  for (int i = 0; i < 600 && ReadFile(install_ + "runs.txt").find("v2") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(ReadFile(install_ + "runs.txt"), "v1 0\nv1 0\nv2 0\n")
      << ReadFile(install_ + "launcher.out");
  EXPECT_EQ(ReadFile(install_ + "Launcher.exe"), LauncherScript("v2"));
  EXPECT_FALSE(fs::exists(install_ + "Launcher.exe.7z"));
}

}  // namespace
