#include "tools/publish.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <sstream>

#include "diag/log.h"
#include "platform/crypto.h"
#include "tests/test_files.h"
#include "update/archive.h"
#include "update/chunk_map.h"
#include "update/md5.h"
#include "update/release_layout.h"
#include "update/release_sig.h"
#include "util/text_util.h"

namespace fs = std::filesystem;

namespace {

using testfiles::ReadAll;
const auto& WriteText = testfiles::WriteAll;

std::string Noise(size_t size, unsigned seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

std::string Text(size_t size) {
  std::string s;
  for (int i = 0; s.size() < size; ++i) s += "line " + std::to_string(i) + " of the map\n";
  return s.substr(0, size);
}

struct Entry {
  std::string code;
  int64_t size = 0;
  int zip = 0;
  int64_t zipSize = 0;
  bool hasZipSize = false;
};

std::map<std::string, Entry> ReadList(const std::string& path) {
  std::map<std::string, Entry> out;
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_file(path.c_str())) << path;
  for (pugi::xml_node f : doc.child("Filelist").child("Files").children("File")) {
    Entry e{f.attribute("Code").value(), f.attribute("Size").as_llong(),
            f.attribute("Zip").as_int(), f.attribute("zipSize").as_llong(),
            !f.attribute("zipSize").empty()};
    out[f.attribute("Path").value()] = e;
  }
  return out;
}

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/publish_test.XXXXXX";
    root_ = mkdtemp(pattern);
    game_ = root_ + "/game";
    SetLogFile(root_ + "/test.log");
    WriteText(game_ + "/Kestrava.exe", Text(300000));
    WriteText(game_ + "/data/maps/town.mis", Text(50000));
    WriteText(game_ + "/data/sound/noise.ogg", Noise(80000, 1));
    WriteText(game_ + "/data/tiny.ini", "[a]\n");
    WriteText(game_ + "/data/empty.txt", "");
    WriteText(game_ + "/数据/中文.xml", Text(9000));
    // "pack" cannot be packed: its .7z name is taken by another game file.
    WriteText(game_ + "/pack", Text(20000));
    WriteText(game_ + "/pack.7z", Noise(1000, 2));
    WriteText(game_ + "/Launcher.exe", Text(40000) + "exe");
    WriteText(game_ + "/Launcher.dat", Text(30000) + "dat");
    WriteText(game_ + "/scope/login.scope", "Kestrava.exe\ndata/tiny.ini\n");
    WriteText(game_ + "/launcherlog/2026-01-01.log", "old log");
    WriteText(game_ + "/LauncherConfig/localclient.md5", "<Filelist/>");
    WriteText(game_ + "/cache/skip.bin", "x");
    WriteText(game_ + "/data/bad\xffname.bin", "not utf-8");
  }
  void TearDown() override { fs::remove_all(root_); }

  PublishOptions Options(const std::string& release) {
    PublishOptions o;
    o.gameDir = game_;
    o.releaseDir = root_ + "/" + release;
    o.version = "1.0." + release;
    o.excludes = {"cache"};
    o.packageSize = 200000;
    o.level = 1;
    return o;
  }

  std::string root_;
  std::string game_;
};

// Unpacks every first-download package as the launcher does and checks it
// against the list each package carries.
void CheckPackages(const std::string& release, const std::string& install,
                   const std::map<std::string, Entry>& client) {
  std::istringstream index(ReadAll(release + "/LauncherConfig/update/firstdownload"));
  std::string line;
  std::map<std::string, Entry> covered;
  while (std::getline(index, line)) {
    size_t comma = line.rfind(',');
    ASSERT_NE(comma, std::string::npos) << line;
    std::string name = line.substr(0, comma);
    EXPECT_EQ(std::stoll(line.substr(comma + 1)), fs::file_size(release + "/" + name));
    std::vector<ExtractedFile> written;
    ASSERT_TRUE(ExtractPackage(release + "/" + name, install + "/", &written, nullptr));
    auto list = ReadList(install + "/LauncherConfig/update/" + name + ".md5");
    // The first package also carries the start-up file list, outside its list,
    // so that a first install finds it on disk.
    bool first = covered.empty();
    auto scope = std::find_if(written.begin(), written.end(),
                              [](const ExtractedFile& f) { return f.name == "scope/login.scope"; });
    EXPECT_EQ(scope != written.end(), first) << name;
    if (scope != written.end()) {
      EXPECT_EQ(scope->md5, Md5OfFile(release + "/scope/login.scope"));
      EXPECT_FALSE(list.count(scope->name));
      written.erase(scope);
    }
    EXPECT_EQ(list.size(), written.size()) << "the list itself is not reported";
    for (const ExtractedFile& f : written) {
      ASSERT_TRUE(list.count(f.name)) << f.name;
      EXPECT_EQ(list[f.name].code, f.md5);
      EXPECT_EQ(list[f.name].size, f.size);
      covered[f.name] = list[f.name];
    }
  }
  EXPECT_EQ(covered.size(), client.size());
  for (auto& [path, e] : client) EXPECT_EQ(covered[path].code, e.code) << path;
}

TEST_F(PublishTest, EveryPublishedFileMatchesItsListEntry) {
  PublishSummary summary;
  std::string error;
  ASSERT_TRUE(Publish(Options("r1"), &summary, nullptr, &error)) << error;
  std::string r = root_ + "/r1";

  auto client = ReadList(r + "/LauncherConfig/client.md5");
  std::vector<std::string> expected = {"Kestrava.exe",
                                       "data/empty.txt",
                                       "data/maps/town.mis",
                                       "data/sound/noise.ogg",
                                       "data/tiny.ini",
                                       "pack",
                                       "pack.7z",
                                       "数据/中文.xml"};
  std::vector<std::string> listed;
  for (auto& [path, e] : client) listed.push_back(path);
  EXPECT_EQ(listed, expected);
  for (auto& [path, e] : client) {
    SCOPED_TRACE(path);
    EXPECT_EQ(e.code, Md5OfFile(game_ + "/" + path));
    std::string published = r + "/" + path;
    if (e.zip == 2) {
      EXPECT_TRUE(e.hasZipSize);
      EXPECT_EQ(static_cast<int64_t>(fs::file_size(published + ".7z")), e.zipSize);
      EXPECT_LT(e.zipSize, e.size);
      std::string md5;
      ASSERT_TRUE(ExtractSingleFile(published + ".7z", root_ + "/unpacked", &md5));
      EXPECT_EQ(md5, e.code);
      EXPECT_FALSE(fs::exists(published));
    } else {
      EXPECT_EQ(e.zip, 0);
      EXPECT_FALSE(e.hasZipSize);
      EXPECT_EQ(Md5OfFile(published), e.code);
      EXPECT_EQ(static_cast<int64_t>(fs::file_size(published)), e.size);
    }
  }
  EXPECT_EQ(client["Kestrava.exe"].zip, 2);
  EXPECT_EQ(client["data/sound/noise.ogg"].zip, 0) << "noise does not shrink";
  EXPECT_EQ(client["data/tiny.ini"].zip, 0);
  EXPECT_EQ(client["pack"].zip, 0);
  EXPECT_EQ(summary.files, 8);
  EXPECT_EQ(summary.packedFiles, 3);
  ASSERT_EQ(summary.warnings.size(), 3u);  // the bad name; no url.xml, no UpdateServers.qdx
  EXPECT_NE(summary.warnings[0].find("not valid UTF-8"), std::string::npos);

  // The update list announces the client list by its MD5 and the version.
  pugi::xml_document update;
  ASSERT_TRUE(update.load_file((r + "/LauncherConfig/update.xml").c_str()));
  EXPECT_STREQ(update.child("Filelist").child("version").child_value(), "1.0.r1");
  pugi::xml_node last = update.child("Filelist").child("Files").last_child();
  EXPECT_EQ(std::string(last.attribute("Code").value()),
            Md5OfFile(r + "/LauncherConfig/client.md5"));
  std::string md5;
  ASSERT_TRUE(ExtractToFolder(r + "/LauncherConfig/client.md5.7z", root_ + "/cfg/", &md5));
  EXPECT_EQ(md5, last.attribute("Code").value());
  EXPECT_TRUE(fs::exists(root_ + "/cfg/client.md5"));

  CheckPackages(r, root_ + "/install", client);
  EXPECT_GT(summary.packages, 1);

  // Self-update files, also where the repair mode looks for them.
  auto self = ReadList(r + "/ZEPLauncherUpdate/LaunUpdate.xml");
  for (std::string name : {"Launcher.exe", "Launcher.dat"}) {
    ASSERT_TRUE(self.count(name));
    EXPECT_EQ(self[name].code, Md5OfFile(game_ + "/" + name));
    ASSERT_TRUE(ExtractToFolder(r + "/ZEPLauncherUpdate/" + name + ".7z", root_ + "/self/", &md5));
    EXPECT_EQ(md5, self[name].code);
    EXPECT_TRUE(fs::exists(root_ + "/self/" + name));
    EXPECT_EQ(ReadAll(r + "/LauncherUpdate/" + name + ".7z"),
              ReadAll(r + "/ZEPLauncherUpdate/" + name + ".7z"));
  }
  EXPECT_EQ(ReadAll(r + "/scope/login.scope"), ReadAll(game_ + "/scope/login.scope"));
  EXPECT_TRUE(fs::exists(r + "/url.xml"));
  EXPECT_EQ(ReadAll(r + "/LauncherConfig/UpdateServers.qdx"), "1.0.r1\n");
  // The Debian 7z tool reads what we write.
  EXPECT_EQ(std::system(("7zz t -bso0 '" + r + "/Kestrava.exe.7z' >/dev/null").c_str()), 0);
}

TEST_F(PublishTest, IncrementalPublishReusesUnchangedFilesAndPackages) {
  std::string error;
  PublishSummary first;
  ASSERT_TRUE(Publish(Options("r1"), &first, nullptr, &error)) << error;
  WriteText(game_ + "/data/maps/town.mis", Text(50001));  // one file changes
  PublishOptions o = Options("r2");
  o.previousDir = root_ + "/r1";
  PublishSummary second;
  ASSERT_TRUE(Publish(o, &second, nullptr, &error)) << error;

  EXPECT_EQ(second.files, first.files);
  EXPECT_EQ(second.reusedFiles, first.files - 1);
  EXPECT_EQ(second.packages, first.packages);
  EXPECT_EQ(second.reusedPackages, first.packages - 1);
  struct stat a, b;
  ASSERT_EQ(stat((root_ + "/r1/Kestrava.exe.7z").c_str(), &a), 0);
  ASSERT_EQ(stat((root_ + "/r2/Kestrava.exe.7z").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino) << "unchanged packed file is not packed again";

  auto client = ReadList(root_ + "/r2/LauncherConfig/client.md5");
  EXPECT_EQ(client["data/maps/town.mis"].code, Md5OfFile(game_ + "/data/maps/town.mis"));
  CheckPackages(root_ + "/r2", root_ + "/install2", client);
}

// The chunk maps of a release, relative to it.
std::set<std::string> MapsIn(const std::string& release) {
  std::set<std::string> maps;
  std::error_code ec;
  for (auto& e : fs::recursive_directory_iterator(release + "/LauncherConfig/delta", ec)) {
    if (e.is_regular_file()) maps.insert(fs::relative(e.path(), release).generic_string());
  }
  return maps;
}

// Every map parses, describes the published file it names byte for byte, and
// is signed when the release is.
void CheckMaps(const std::string& release, const std::set<std::string>& expected) {
  SCOPED_TRACE(release);
  std::set<std::string> mapsAndBlocks = expected;
  for (const std::string& map : expected) {
    mapsAndBlocks.insert(map.substr(0, map.size() - 4) + ".blocks");
  }
  EXPECT_EQ(MapsIn(release), mapsAndBlocks);
  auto client = ReadList(release + "/LauncherConfig/client.md5");
  ReleaseManifest signedFiles;
  std::string why;
  const bool isSigned = fs::exists(release + "/LauncherConfig/release.sig");
  if (isSigned) {
    ASSERT_TRUE(ParseManifest(ReadAll(release + "/LauncherConfig/release.sig"), &signedFiles, &why))
        << why;
  }
  const std::string prefix = release_layout::kDeltaFolder;
  for (const std::string& mapPath : expected) {
    SCOPED_TRACE(mapPath);
    const std::string path = mapPath.substr(prefix.size(), mapPath.size() - prefix.size() - 4);
    EXPECT_EQ(release_layout::DeltaMapPath(path), mapPath);
    ASSERT_TRUE(client.count(path));
    EXPECT_EQ(client[path].zip, 0);
    const std::string bytes = ReadAll(release + "/" + mapPath);
    ChunkMap parsed, rebuilt;
    ASSERT_TRUE(ParseChunkMap(bytes, &parsed, &why)) << why;
    EXPECT_EQ(parsed.md5, client[path].code);
    std::vector<uint64_t> blocks;
    ASSERT_TRUE(BuildChunkMap(release + "/" + path, ChunkParams{}, &rebuilt, &blocks));
    EXPECT_EQ(SerializeChunkMap(rebuilt), bytes);
    const std::string blocksPath = release_layout::DeltaBlocksPath(path);
    EXPECT_EQ(ReadAll(release + "/" + blocksPath), SerializeBlockHashes(parsed.md5, blocks));
    if (!isSigned) continue;
    EXPECT_FALSE(signedFiles.files.count(blocksPath)) << "checked through the map's chunks";
    ASSERT_TRUE(signedFiles.files.count(mapPath));
    std::string sha256;
    int64_t size = 0;
    ASSERT_TRUE(platform::Sha256OfFile(release + "/" + mapPath, &sha256, &size));
    EXPECT_EQ(signedFiles.files[mapPath].sha256, sha256);
    EXPECT_EQ(signedFiles.files[mapPath].size, size);
  }
}

TEST_F(PublishTest, BigPlainFilesGetChunkMapsThatShrinkTheNextDownload) {
  const std::string original = Noise(3 << 20, 7);
  WriteText(game_ + "/data/big/changing.pak", original);
  WriteText(game_ + "/data/big/steady.pak", Noise(3 << 20, 8));
  WriteText(game_ + "/data/big/story.txt", Text(3 << 20));  // packed: no map
  std::string pem, publicKey, error;
  ASSERT_TRUE(platform::GenerateEd25519Key(&pem, &publicKey));
  const std::string key = root_ + "/release.pem";
  WriteText(key, pem);
  chmod(key.c_str(), 0600);
  PublishOptions o1 = Options("r1");
  o1.signKeyFile = key;
  o1.serial = 4;
  PublishSummary s1;
  ASSERT_TRUE(Publish(o1, &s1, nullptr, &error)) << error;

  std::string changed = original;
  changed.replace(1536 * 1024, 4096, Noise(4096, 9));
  WriteText(game_ + "/data/big/changing.pak", changed);
  WriteText(game_ + "/data/tiny.ini", "[b]\n");
  PublishOptions o2 = Options("r2");
  o2.previousDir = root_ + "/r1";
  o2.signKeyFile = key;
  PublishSummary s2;
  ASSERT_TRUE(Publish(o2, &s2, nullptr, &error)) << error;

  // Only the big plain files: not the small plain noise.ogg, not story.txt.7z.
  const std::set<std::string> big = {"LauncherConfig/delta/data/big/changing.pak.map",
                                     "LauncherConfig/delta/data/big/steady.pak.map"};
  CheckMaps(root_ + "/r1", big);
  CheckMaps(root_ + "/r2", big);
  EXPECT_EQ(ReadList(root_ + "/r2/LauncherConfig/client.md5")["data/big/story.txt"].zip, 2);
  EXPECT_EQ(s1.deltaMaps, 2);
  EXPECT_EQ(s1.reusedDeltaMaps, 0);
  EXPECT_EQ(s2.deltaMaps, 2);
  EXPECT_EQ(s2.reusedDeltaMaps, 1);
  struct stat a, b;
  ASSERT_EQ(stat((root_ + "/r1/LauncherConfig/delta/data/big/steady.pak.map").c_str(), &a), 0);
  ASSERT_EQ(stat((root_ + "/r2/LauncherConfig/delta/data/big/steady.pak.map").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino) << "the unchanged file's map is taken over";
  EXPECT_NE(ReadAll(root_ + "/r1/LauncherConfig/delta/data/big/changing.pak.map"),
            ReadAll(root_ + "/r2/LauncherConfig/delta/data/big/changing.pak.map"));

  // A player on r1 fetches the map, the block hashes of the overwritten
  // chunks and the blocks the overwrite straddles, not 3 MiB.
  EXPECT_FALSE(s1.comparedToPrevious);
  EXPECT_TRUE(DeltaReport(s1, 20).empty());
  ASSERT_EQ(s2.changed.size(), 2u);
  EXPECT_EQ(s2.changed[0].path, "data/big/changing.pak");
  EXPECT_EQ(s2.changed[0].withoutDelta, 3 << 20);
  EXPECT_GT(s2.changed[0].withDelta, 4096);
  EXPECT_LT(s2.changed[0].withDelta, 16 << 10);
  EXPECT_EQ(s2.changed[1].path, "data/tiny.ini");
  EXPECT_EQ(s2.changed[1].withoutDelta, 4);
  EXPECT_EQ(s2.changed[1].withDelta, 4) << "no map: fetched whole";
  EXPECT_EQ(s2.changedWithoutDelta, (3 << 20) + 4);
  EXPECT_EQ(s2.changedWithDelta, s2.changed[0].withDelta + 4);
  const std::string withDelta = FormatSizeText(s2.changedWithDelta);
  EXPECT_EQ(DeltaReport(s2, 20),
            (std::vector<std::string>{
                "changed:  data/big/changing.pak: 3.00 MB, " +
                    FormatSizeText(s2.changed[0].withDelta) + " with deltas",
                "changed:  data/tiny.ini: 4 B, 4 B with deltas",
                "download: 2 changed files from the previous release: 3.00 MB without deltas, " +
                    withDelta + " with deltas (" +
                    std::to_string(s2.changedWithDelta * 100 / s2.changedWithoutDelta) + " %)"}));
  std::vector<std::string> shortReport = DeltaReport(s2, 1);
  ASSERT_EQ(shortReport.size(), 3u);
  EXPECT_EQ(shortReport[1], "changed:  and 1 more");

  // --delta-min-size 0 maps every plain file, the empty one too, also those
  // taken from a previous release without a map; --no-delta maps none.
  PublishOptions o3 = Options("r3");
  o3.deltaMinSize = 0;
  o3.previousDir = root_ + "/r2";
  ASSERT_TRUE(Publish(o3, nullptr, nullptr, &error)) << error;
  std::set<std::string> everyPlain;
  for (auto& [path, e] : ReadList(root_ + "/r3/LauncherConfig/client.md5")) {
    if (e.zip == 0) everyPlain.insert(release_layout::DeltaMapPath(path));
  }
  EXPECT_TRUE(everyPlain.count("LauncherConfig/delta/data/empty.txt.map"));
  CheckMaps(root_ + "/r3", everyPlain);
  PublishOptions o4 = Options("r4");
  o4.delta = false;
  o4.previousDir = root_ + "/r2";
  ASSERT_TRUE(Publish(o4, nullptr, nullptr, &error)) << error;
  EXPECT_FALSE(fs::exists(root_ + "/r4/LauncherConfig/delta"));
}

TEST_F(PublishTest, PackagesAlsoCloseAtTheirFileCount) {
  PublishOptions o = Options("r1");
  o.packageSize = 1LL << 30;
  o.packageFiles = 2;
  PublishSummary summary;
  std::string error;
  ASSERT_TRUE(Publish(o, &summary, nullptr, &error)) << error;
  EXPECT_EQ(summary.packages, (summary.files + 1) / 2);
  for (int n = 1; n <= summary.packages; ++n) {
    std::string name = n == 1 ? "data.7z" : "data" + std::to_string(n) + ".7z";
    std::vector<ExtractedFile> written;
    ASSERT_TRUE(ExtractPackage(root_ + "/r1/" + name, root_ + "/install/", &written, nullptr));
    EXPECT_LE(written.size(), n == 1 ? 3u : 2u) << name << " (the first also has the scope file)";
  }
  CheckPackages(root_ + "/r1", root_ + "/install2",
                ReadList(root_ + "/r1/LauncherConfig/client.md5"));
}

// A big file that cannot shrink is judged from slices of it instead of a
// whole LZMA pass, and goes into a stored package of its own; a republish
// groups it the same way and so reuses both packages.
TEST_F(PublishTest, BigIncompressibleFilesAreJudgedFromSlicesAndStoredApart) {
  const size_t big = 9 << 20;
  WriteText(game_ + "/data/game.pak", Noise(big, 3));
  PublishOptions o = Options("r1");
  o.packageSize = 1LL << 30;
  PublishSummary summary;
  std::string error;
  ASSERT_TRUE(Publish(o, &summary, nullptr, &error)) << error;
  EXPECT_EQ(summary.sampledFiles, 1);
  auto client = ReadList(root_ + "/r1/LauncherConfig/client.md5");
  EXPECT_EQ(client["data/game.pak"].zip, 0);
  ASSERT_EQ(summary.packages, 2);
  std::vector<ExtractedFile> written;
  ASSERT_TRUE(ExtractPackage(root_ + "/r1/data2.7z", root_ + "/apart/", &written, nullptr));
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].name, "data/game.pak");
  EXPECT_LT(fs::file_size(root_ + "/r1/data2.7z"), big + 4096) << "stored, not grown";
  EXPECT_LT(fs::file_size(root_ + "/r1/data.7z"), 300000u) << "the rest is packed";
  CheckPackages(root_ + "/r1", root_ + "/install", client);

  o = Options("r2");
  o.packageSize = 1LL << 30;
  o.previousDir = root_ + "/r1";
  PublishSummary again;
  ASSERT_TRUE(Publish(o, &again, nullptr, &error)) << error;
  EXPECT_EQ(again.reusedPackages, 2);
  EXPECT_EQ(ReadAll(root_ + "/r2/data2.7z"), ReadAll(root_ + "/r1/data2.7z"));
}

TEST_F(PublishTest, LeftoversOfAKilledPublishGoButARunningOnesStay) {
  // A child that has exited and been reaped stands for a killed publish.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  const std::string killed = root_ + "/r1.tmp-" + std::to_string(gone) + "-1";
  const std::string running = root_ + "/r1.tmp-" + std::to_string(getppid()) + "-1";
  WriteText(killed + "/data/half.bin", "half");
  WriteText(running + "/data/busy.bin", "busy");

  PublishSummary summary;
  std::string error;
  ASSERT_TRUE(Publish(Options("r1"), &summary, nullptr, &error)) << error;
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_TRUE(fs::exists(running + "/data/busy.bin"));
  EXPECT_NE(std::find_if(summary.warnings.begin(), summary.warnings.end(),
                         [](const std::string& w) { return w.find("interrupted") != w.npos; }),
            summary.warnings.end());
}

TEST_F(PublishTest, BadInputsFailClearlyAndLeaveNoRelease) {
  std::string error;
  WriteText(root_ + "/busy/keep.txt", "keep");
  EXPECT_FALSE(Publish(Options("busy"), nullptr, nullptr, &error));
  EXPECT_NE(error.find("not empty"), std::string::npos) << error;
  EXPECT_EQ(ReadAll(root_ + "/busy/keep.txt"), "keep");

  fs::remove(game_ + "/Launcher.dat");
  EXPECT_FALSE(Publish(Options("r3"), nullptr, nullptr, &error));
  EXPECT_NE(error.find("Launcher.dat"), std::string::npos) << error;

  PublishOptions o = Options("r4");
  o.launcherDat = game_ + "/Launcher.exe";
  o.scopeFile = root_ + "/no-such.scope";
  EXPECT_FALSE(Publish(o, nullptr, nullptr, &error));
  EXPECT_NE(error.find("no-such.scope"), std::string::npos) << error;

  // Nothing is left behind: no release, no half-built folder beside it.
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(root_)) {
    if (e.path().filename() != "test.log") left.push_back(e.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"busy", "game"}));
}

}  // namespace
