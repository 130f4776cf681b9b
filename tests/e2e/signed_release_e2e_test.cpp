// Signed releases end to end: kestrava-patcher keygen and publish
// --sign-key, served by nginx on loopback, installed and updated by
// kestrava-patcher update trusting the keys it is given. One release is
// published per key and version; every tampering case is a copy of it with
// one change, installed into an empty folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "platform/crypto.h"
#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"
#include "tools/archive_writer.h"
#include "update/archive.h"
#include "update/file_list.h"
#include "update/md5.h"
#include "update/release_sig.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

// A key made by kestrava-patcher keygen.
struct KeyPair {
  std::string file;     // the private key
  std::string public_;  // base64, as keygen prints it
};

// Each case has a folder of its own on the server and on disk, and passes
// keys to the update command through its environment. Thread-safety: the
// test's thread only.
class SignedReleaseE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Load()) << "run under the nginx CTest fixture";
    name_ = std::string("sig-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    base_ = server_.FreshFolder(name_);
    work_ = fs::temp_directory_path().string() + "/kst-e2e-" + std::to_string(getpid()) + "-" +
            name_ + "/";
    fs::remove_all(work_);
    fs::create_directories(work_);
  }
  void TearDown() override {
    unsetenv("KESTRAVA_RELEASE_KEYS");
    if (!HasFailure()) {
      fs::remove_all(work_);
      fs::remove_all(base_);
    }
  }

  KeyPair Keygen(const std::string& name) {
    KeyPair k{work_ + name + ".pem", ""};
    const std::string out = work_ + name + ".pub";
    EXPECT_EQ(e2e::Run(Patcher() + " keygen '" + k.file + "' > '" + out + "'"), 0);
    k.public_ = ReadFile(out);
    if (!k.public_.empty()) k.public_.pop_back();  // the line feed
    EXPECT_EQ(fs::status(k.file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    return k;
  }
  // Publishes `game` as release `rel` under this case's folder; extra
  // options such as --sign-key go to the publish command.
  std::string PublishGame(const Game& game, const std::string& rel, const std::string& extra) {
    const std::string dir = work_ + "game-" + rel;
    WriteGame(dir, game);
    WriteFile(dir + "/Launcher.exe", "#!/bin/sh\nexit 0\n");
    WriteFile(dir + "/Launcher.dat", "#!/bin/sh\nexit 1\n");
    WriteFile(dir + "/url.xml", "<serverlist><server name=\"" + rel + "\"/></serverlist>\n");
    EXPECT_EQ(Publish(dir, base_ + rel, rel, extra), 0) << ReadFile(base_ + rel + ".publish.out");
    return Url(rel);
  }
  std::string Url(const std::string& rel) { return server_.Url(name_ + "/" + rel + "/"); }
  // kestrava-patcher update trusting `keys` (comma-separated); its exit code.
  int UpdateWithKeys(const std::string& dir, const std::string& url, const std::string& keys) {
    fs::create_directories(dir);
    SkipFourDayCheck(dir);
    setenv("KESTRAVA_RELEASE_KEYS", keys.c_str(), 1);
    return Update(dir, url);
  }
  std::string Output() { return ReadFile(work_ + "update.out"); }

  NginxServer server_;
  std::string name_, base_, work_;
};

Game V1() {
  Game g = SampleGame(7);
  g.erase("big/world.pak");  // small packages are enough here
  g["data/pack/large.bin"] = RandomBytes(70, 300 << 10);
  return g;
}

Game V2() {
  Game g = V1();
  g["data/map3.dds"] = TextBytes(71, 4000);
  g["scripts/new.cs"] = TextBytes(72, 900);
  return g;
}

TEST_F(SignedReleaseE2e, InstallsUpdatesAndFollowsARotatedKeyButRefusesAnUnsignedRelease) {
  const KeyPair a = Keygen("a"), b = Keygen("b");
  const std::string keys = a.public_ + "," + b.public_;
  const std::string url1 = PublishGame(V1(), "r1", "--sign-key '" + a.file + "'");
  EXPECT_NE(ReadFile(base_ + "r1.publish.out").find("signed:   serial 1, key " + a.public_),
            std::string::npos);
  // The next release continues the serial; the one after is signed by the
  // second key the launcher was built with.
  const std::string url2 =
      PublishGame(V2(), "r2", "--sign-key '" + a.file + "' --previous '" + base_ + "r1'");
  const std::string url3 =
      PublishGame(V1(), "r3", "--sign-key '" + b.file + "' --previous '" + base_ + "r2'");
  const std::string url0 = PublishGame(V2(), "r0", "");
  // A serial that does not grow, or a key file that is not a key, publishes
  // nothing.
  const std::string game = work_ + "game-r3";
  EXPECT_NE(Publish(game, base_ + "bad", "bad",
                    "--sign-key '" + a.file + "' --previous '" + base_ + "r3' --serial 3"),
            0);
  EXPECT_NE(ReadFile(base_ + "bad.publish.out")
                .find("publish: --serial 3 must be above the previous release's 3"),
            std::string::npos)
      << ReadFile(base_ + "bad.publish.out");
  EXPECT_NE(Publish(game, base_ + "bad", "bad", "--sign-key '" + game + "/url.xml'"), 0);
  EXPECT_NE(ReadFile(base_ + "bad.publish.out").find("is not an Ed25519 private key"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(base_ + "bad"));

  const std::string install = work_ + "install/";
  ASSERT_EQ(UpdateWithKeys(install, url1, keys), 0) << Output();
  EXPECT_EQ(Differences(V1(), install), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(install + "url.xml"), ReadFile(base_ + "r1/url.xml"));
  EXPECT_EQ(LogCount(install, "release.sig Verified: Version r1, Serial 1"), 1) << DayLog(install);
  ASSERT_EQ(UpdateWithKeys(install, url2, keys), 0) << Output();
  EXPECT_EQ(Differences(V2(), install), std::vector<std::string>{});
  ASSERT_EQ(UpdateWithKeys(install, url3, keys), 0) << Output();
  EXPECT_EQ(Differences(V1(), install), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(install + "LauncherConfig/release.serial"), "3\n");

  // Unsigned: refused before any other file of the release is asked for.
  const size_t mark = ReadFile(server_.accessLog).size();
  const std::string fresh = work_ + "fresh/";
  EXPECT_EQ(UpdateWithKeys(fresh, url0, keys), 4) << Output();
  EXPECT_EQ(LogCount(fresh, "[Error] Can Not Download release.sig, A Signed Release Is Required"),
            1)
      << DayLog(fresh);
  EXPECT_TRUE(server_.AwaitLogged("/" + name_ + "/r0/LauncherConfig/release.sig", mark));
  const std::string requests = ReadFile(server_.accessLog).substr(mark);
  const std::string r0 = "/" + name_ + "/r0/";
  for (size_t at = requests.find(r0); at != std::string::npos; at = requests.find(r0, at + 1)) {
    EXPECT_EQ(requests.compare(at + r0.size(), 26, "LauncherConfig/release.sig"), 0)
        << requests.substr(at, requests.find('\n', at) - at);
  }
  EXPECT_FALSE(fs::exists(fresh + "LauncherConfig/localclient.md5"));

  // Without keys the launcher is the one it always was: the unsigned
  // release installs, and the signed one too, by its MD5s alone.
  EXPECT_EQ(UpdateWithKeys(fresh, url0, ""), 0) << Output();
  EXPECT_EQ(Differences(V2(), fresh), std::vector<std::string>{});
}

// One byte of a file, changed in place (by its lowest bit: a digit stays
// a digit).
void FlipByte(const std::string& path, size_t at) {
  std::string data = ReadFile(path);
  ASSERT_LT(at, data.size()) << path;
  data[at] ^= 1;
  WriteFile(path, data);
}

// Replaces one game file inside a package and its list inside it too, as a
// forger would: the package then agrees with itself. It keeps the size the
// index announces (the archive is padded), so only its content betrays it.
void ForgePackage(const std::string& release, const std::string& package, const std::string& file,
                  const std::string& content) {
  const std::string unpacked = release + ".unpacked/";
  fs::remove_all(unpacked);
  ASSERT_TRUE(ExtractPackage(release + package, unpacked, nullptr, nullptr));
  WriteFile(unpacked + file, content);
  const std::string listName = "LauncherConfig/update/" + package + ".md5";
  FileList list;
  ASSERT_TRUE(ReadFileList(unpacked + listName, kClientListLimit, &list));
  std::vector<PackItem> items = {{listName, "", ""}};
  bool found = false;
  for (FileEntry& e : list.entries) {
    if (e.path == file) {
      e.code = Md5OfFile(unpacked + file);
      e.size = static_cast<int64_t>(content.size());
      found = true;
    }
    items.push_back({e.path, unpacked + e.path, ""});
  }
  ASSERT_TRUE(found) << file << " is not in " << package;
  FileListForm form;
  form.number = true;
  form.zipSize = ZipSizeAttribute::kNever;
  items[0].data = FileListText(list.entries, form);
  if (fs::exists(unpacked + "scope/login.scope")) {
    items.push_back({"scope/login.scope", unpacked + "scope/login.scope", ""});
  }
  std::string why;
  const int64_t size = static_cast<int64_t>(fs::file_size(release + package));
  ASSERT_TRUE(PackSevenZip(release + package, items, 1, nullptr, &why)) << why;
  const int64_t forgedSize = static_cast<int64_t>(fs::file_size(release + package));
  ASSERT_LE(forgedSize, size);
  WriteFile(release + package, ReadFile(release + package) +
                                   std::string(static_cast<size_t>(size - forgedSize), '\0'));
  fs::remove_all(unpacked);
}

// Signs the release's manifest again, with its files as they are now.
void Resign(const std::string& release, const std::string& keyFile) {
  ReleaseManifest m;
  std::string text, why;
  ASSERT_TRUE(ParseManifest(ReadFile(release + kReleaseSigPath), &m, &why)) << why;
  for (auto& [path, file] : m.files) {
    ASSERT_TRUE(platform::Sha256OfFile(release + path, &file.sha256, &file.size)) << path;
  }
  ASSERT_TRUE(SignManifest(m, ReadFile(keyFile), &text, &why)) << why;
  WriteFile(release + kReleaseSigPath, text);
}

TEST_F(SignedReleaseE2e, TamperedOrReplayedReleasesAreRefusedAndNothingOfThemIsKept) {
  const KeyPair a = Keygen("a"), stranger = Keygen("stranger");
  PublishGame(V1(), "r1", "--sign-key '" + a.file + "'");
  PublishGame(V2(), "r2", "--sign-key '" + a.file + "' --previous '" + base_ + "r1'");
  const std::string forged = "forged " + TextBytes(9, 3000);  // in place of data/pack/large.bin
  std::string firstPackage = ReadFile(base_ + "r1/LauncherConfig/update/firstdownload");
  firstPackage = firstPackage.substr(0, firstPackage.find(','));
  ASSERT_FALSE(firstPackage.empty());

  struct Case {
    std::string name;
    std::function<void(const std::string& release)> change;  // on a copy of r1
    int status;                                              // of the update command
    std::string logged;                                      // the day log's line
    std::string installedFirst;                              // a release installed before, or ""
    bool oldLauncher = false;  // the folder has a Launcher.exe the release would replace
  };
  const std::vector<Case> cases = {
      {"update tool archive",
       [](const std::string& r) { FlipByte(r + "ZEPLauncherUpdate/Launcher.dat.7z", 40); }, 9,
       "[Error] ZEPLauncherUpdate/Launcher.dat.7z Refused, It Does Not Match release.sig: its "
       "SHA-256 differs from the signed one",
       ""},
      {"launcher archive",
       [](const std::string& r) { FlipByte(r + "ZEPLauncherUpdate/Launcher.exe.7z", 40); }, 8,
       "[Error] ZEPLauncherUpdate/Launcher.exe.7z Refused, It Does Not Match release.sig", "",
       true},
      {"update list", [](const std::string& r) { FlipByte(r + "LauncherConfig/update.xml", 50); },
       4, "[Error] LauncherConfig/update.xml Refused, It Does Not Match release.sig", ""},
      {"package with its list rewritten",
       [&](const std::string& r) { ForgePackage(r, firstPackage, "data/pack/large.bin", forged); },
       0, "[Error] " + firstPackage + " Refused, It Does Not Match release.sig", ""},
      {"package signed with a list unlike the client list",
       [&](const std::string& r) {
         ForgePackage(r, firstPackage, "data/pack/large.bin", forged);
         Resign(r, a.file);
       },
       0, "[Error] data/pack/large.bin Refused, It Does Not Match The Signed Client List", ""},
      {"server list", [](const std::string& r) { FlipByte(r + "url.xml", 20); }, 0,
       "[Error] url.xml Refused, It Does Not Match release.sig: its SHA-256 differs", ""},
      {"signature file",
       [](const std::string& r) {
         FlipByte(r + kReleaseSigPath, ReadFile(r + kReleaseSigPath).find("serial ") + 7);
       },
       4, "[Error] release.sig Refused: the signature is not by a trusted key", ""},
      {"unknown key", [&](const std::string& r) { Resign(r, stranger.file); }, 4,
       "[Error] release.sig Refused: the signature is not by a trusted key", ""},
      {"older release after a newer one", [](const std::string&) {}, 4,
       "[Error] release.sig Refused: its serial 1 is older than the serial 2 accepted before",
       "r2"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const std::string rel = "t" + std::to_string(i);
    fs::copy(base_ + "r1", base_ + rel, fs::copy_options::recursive);
    c.change(base_ + rel + "/");
    const std::string install = work_ + rel + "/";
    if (!c.installedFirst.empty()) {
      ASSERT_EQ(UpdateWithKeys(install, Url(c.installedFirst), a.public_), 0) << Output();
    }
    if (c.oldLauncher) WriteFile(install + "Launcher.exe", "old launcher");
    const std::string listBefore = ReadFile(install + "LauncherConfig/localclient.md5");
    const int status = UpdateWithKeys(install, Url(rel), a.public_);
    EXPECT_EQ(status, c.status) << Output();
    EXPECT_EQ(LogCount(install, c.logged), 1) << DayLog(install);
    // Nothing forged is kept or recorded, and nothing of the release is
    // run: a refused pass leaves the folder as it found it, and one that
    // went on found every file it kept by the signed list.
    EXPECT_FALSE(fs::exists(install + "Launcher.dat") && c.status == 9);
    EXPECT_FALSE(fs::exists(install + "url.xml") && c.name == "server list");
    if (c.oldLauncher) {
      EXPECT_EQ(ReadFile(install + "Launcher.exe"), "old launcher");
      EXPECT_FALSE(fs::exists(install + "Launcher.exe.7z"));
    }
    Md5Context forgedCode;
    forgedCode.Update(forged.data(), forged.size());
    EXPECT_EQ(ReadFile(install + "LauncherConfig/localclient.md5").find(forgedCode.HexDigest()),
              std::string::npos);
    if (c.status == 0) {
      EXPECT_EQ(Differences(V1(), install), std::vector<std::string>{});
    } else {
      EXPECT_EQ(ReadFile(install + "LauncherConfig/localclient.md5"), listBefore);
      if (c.installedFirst.empty()) {
        EXPECT_EQ(Differences(V1(), install).size(), V1().size());
      } else {
        EXPECT_EQ(Differences(V2(), install), std::vector<std::string>{});
      }
    }
  }
}

}  // namespace
