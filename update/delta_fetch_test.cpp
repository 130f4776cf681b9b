#include "update/delta_fetch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "diag/log.h"
#include "platform/testing/fake_http.h"
#include "tests/test_files.h"
#include "update/chunk_map.h"
#include "update/testing/fake_install_state.h"

namespace {

using testfiles::Md5Of;
using testfiles::RandomBytes;
using testfiles::ReadAll;
using testfiles::WriteAll;

// One big file in two versions, the old one installed, the new one and its
// chunk map on the fake server.
class DeltaFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogFile(dir_ + "test.log");
    old_ = RandomBytes(2 << 20, 1);
    new_ = old_;
    new_.replace(1 << 20, 4096, RandomBytes(4096, 2));
    new_.insert(300 << 10, RandomBytes(50 << 10, 3));
    WriteAll(dir_ + "big.pak", old_);
    Publish(new_);
    Serve(new_, map_);
    task_.TaskKind = TaskKind::Plain;
    task_.downloadUrl = kBase + std::string("big.pak");
    task_.downloadPath = dir_ + "LauncherConfig/update/big.pak";
    task_.targetPath = dir_ + "big.pak";
    task_.size = static_cast<int64_t>(new_.size());
    task_.code = Md5Of(new_);
    task_.deltaMap = "LauncherConfig/delta/big.pak.map";
    task_.deltaMapUrl = kBase + task_.deltaMap;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The map and blocks file the publisher writes for `content`.
  std::string MapOf(const std::string& content, std::vector<uint64_t>* blocks = nullptr) {
    WriteAll(dir_ + "map-source", content);
    ChunkMap map;
    std::vector<uint64_t> hashes;
    EXPECT_TRUE(BuildChunkMap(dir_ + "map-source", ChunkParams{}, &map, &hashes));
    std::filesystem::remove(dir_ + "map-source");
    if (blocks) *blocks = hashes;
    return SerializeChunkMap(map);
  }
  void Publish(const std::string& content) {
    std::vector<uint64_t> blocks;
    map_ = MapOf(content, &blocks);
    blocks_ = SerializeBlockHashes(Md5Of(content), blocks);
  }
  void Serve(const std::string& file, const std::string& map, bool ranges = true) {
    FakeResource f{200, file};
    f.honourRange = ranges;
    server_.Put(kBase + std::string("big.pak"), f);
    if (!map.empty())
      server_.Put(kBase + std::string("LauncherConfig/delta/big.pak.map"), {200, map});
    FakeResource b{200, blocks_};
    b.honourRange = ranges;
    server_.Put(kBase + std::string("LauncherConfig/delta/big.pak.blocks"), b);
  }
  DeltaOutcome Fetch(std::string* md5) {
    FakeHttpClient http(&server_);
    DeltaFetch delta(&state_, &http, &timeouts_, [this] { return state_.CancelRequested(); });
    return delta.Fetch(task_, md5);
  }
  // Fetch that falls back, with the reason in the log.
  void ExpectUnused(const std::string& why) {
    std::string md5;
    EXPECT_EQ(Fetch(&md5), DeltaOutcome::kUnused) << why;
    EXPECT_NE(ReadAll(dir_ + "test.log").find(why + ", Fetching The Whole File"), std::string::npos)
        << why;
    EXPECT_FALSE(std::filesystem::exists(task_.downloadPath)) << why;
  }
  int64_t RangeBytes() {
    int64_t n = 0;
    for (const FakeRequest& r : server_.Requests())
      if (r.rangeTo >= 0) n += r.rangeTo - r.rangeFrom + 1;
    return n;
  }

  static constexpr const char* kBase = "http://fake/rel/";
  std::string dir_ = testfiles::MakeTempFolder("kestrava-delta");
  FakeHttpServer server_;
  FakeInstallState state_{dir_};
  HttpTimeouts timeouts_;
  std::string old_, new_, map_, blocks_;
  DownloadTask task_;
};

TEST_F(DeltaFetchTest, OnlyTheChangedChunksTravelAndTheFileIsAssembledExactly) {
  std::string md5;
  ASSERT_EQ(Fetch(&md5), DeltaOutcome::kComplete) << ReadAll(dir_ + "test.log");
  EXPECT_EQ(md5, task_.code);
  EXPECT_EQ(ReadAll(task_.downloadPath), new_);
  EXPECT_EQ(ReadAll(task_.targetPath), old_) << "the installed copy is replaced by the apply loop";
  const int64_t ranges = RangeBytes();
  EXPECT_GT(ranges, 50 << 10);
  EXPECT_LT(ranges, (50 << 10) + 5 * 4096) << "an insertion and an overwrite cost a few blocks";
  for (const FakeRequest& r : server_.Requests()) {
    if (r.url == task_.downloadUrl) {
      EXPECT_GE(r.rangeTo, 0) << "no whole-file request";
    }
  }
  const auto progress = state_.Counters().Read();
  EXPECT_EQ(progress.downloadedBytes, ranges + static_cast<int64_t>(map_.size()));

  // Without the blocks file, the whole chunks around each edit.
  server_.Put(kBase + std::string("LauncherConfig/delta/big.pak.blocks"), {404, "not here"});
  ASSERT_EQ(Fetch(&md5), DeltaOutcome::kComplete);
  EXPECT_EQ(ReadAll(task_.downloadPath), new_);
  EXPECT_GT(RangeBytes() - ranges, ranges + (64 << 10));
  EXPECT_NE(ReadAll(dir_ + "test.log").find("No Block Hashes (status 404 for a range)"),
            std::string::npos);
}

// A big old copy is probed before it is cut: one edit leaves plenty in
// common, a new build of a packed archive nothing, and that one is fetched
// whole without being hashed through. The copy is cut by two threads, one
// per half, and the edit sits where they meet.
TEST_F(DeltaFetchTest, ABigFileThatChangedThroughoutIsFetchedWholeWithoutBeingCut) {
  old_ = RandomBytes(40 << 20, 4);
  WriteAll(task_.targetPath, old_);
  new_ = old_;
  new_.replace(20 << 20, 4096, RandomBytes(4096, 5));
  map_ = MapOf(new_);
  Serve(new_, map_);
  task_.size = static_cast<int64_t>(new_.size());
  task_.code = Md5Of(new_);
  std::string md5;
  ASSERT_EQ(Fetch(&md5), DeltaOutcome::kComplete) << ReadAll(dir_ + "test.log");
  EXPECT_EQ(md5, task_.code);
  EXPECT_LT(RangeBytes(), 1 << 20);

  WriteAll(task_.targetPath, RandomBytes(40 << 20, 6));
  ExpectUnused("no part of the old copy is in the new file");
}

TEST_F(DeltaFetchTest, EveryFaultFallsBackToTheWholeFileWithItsReason) {
  Serve(new_, map_, false);
  ExpectUnused("the server ignores ranges");

  std::string tampered = new_;
  tampered[(300 << 10) + 1000] ^= 1;  // inside the inserted part, which must be fetched
  Serve(tampered, map_);
  ExpectUnused("does not match its map");

  Serve(new_, MapOf(old_));
  ExpectUnused("the chunk map describes another file");

  Serve(new_, "KSTCMAP1 and then nothing of a map");
  ExpectUnused("not a chunk map");

  server_.Put(task_.deltaMapUrl, {404, "not here"});
  ExpectUnused("no chunk map (status 404)");

  // A blocks file that claims the old bytes where the overwrite is (past
  // the insertion): the chunk assembled from them fails its SHA-256.
  ChunkMap map;
  std::string error;
  ASSERT_TRUE(ParseChunkMap(map_, &map, &error));
  std::string lying = blocks_;
  int64_t at = 0, entry = 0;
  for (const ChunkEntry& c : map.chunks) {
    for (uint32_t in = 0; in < c.length; in += kBlockSize, ++entry) {
      const uint32_t n = std::min(kBlockSize, c.length - in);
      const int64_t edit = (1 << 20) + (50 << 10);
      if (at + n > edit && at < edit + 4096) {
        const uint64_t h = FastChunkHash(old_.data() + at - (50 << 10), n);
        for (int i = 0; i < 8; ++i) lying[kBlockHashesHeaderSize + entry * 8 + i] = char(h >> 8 * i);
      }
      at += n;
    }
  }
  std::swap(lying, blocks_);
  Serve(new_, map_);
  ExpectUnused("does not match its map");
  std::swap(lying, blocks_);

  Serve(new_, map_);
  state_.SetSigned(true, false);
  ExpectUnused("release.sig refuses its chunk map");
  state_.SetSigned(false, true);

  // Nothing in common: the old copy is given up before it is cut to its end.
  WriteAll(task_.targetPath, RandomBytes(2 << 20, 9));
  std::string md5;
  EXPECT_EQ(Fetch(&md5), DeltaOutcome::kUnused);
  EXPECT_NE(ReadAll(dir_ + "test.log").find("it would fetch more than 60 % of its"),
            std::string::npos);

  WriteAll(task_.targetPath, old_);
  state_.SetCancel(true);
  EXPECT_EQ(Fetch(&md5), DeltaOutcome::kStopped);
  state_.SetCancel(false);
  EXPECT_EQ(Fetch(&md5), DeltaOutcome::kComplete);
  EXPECT_EQ(ReadAll(task_.downloadPath), new_);
}

}  // namespace
