#include "update/delta_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/test_files.h"
#include "update/chunk_map.h"

namespace {

using testfiles::RandomBytes;

// The map and block hashes the publisher would write for `content`.
struct Published {
  ChunkMap map;
  std::vector<uint64_t> blocks;
};

Published Publish(const std::string& content) {
  const std::string dir = testfiles::MakeTempFolder("kestrava-plan");
  testfiles::WriteAll(dir + "file", content);
  Published p;
  EXPECT_TRUE(BuildChunkMap(dir + "file", ChunkParams{}, &p.map, &p.blocks));
  std::filesystem::remove_all(dir);
  return p;
}

// Where each chunk of the new file lies in the old copy, as the launcher
// finds it by cutting the copy.
std::vector<int64_t> LocalOffsets(const ChunkMap& map, const std::string& old) {
  std::map<std::pair<size_t, uint64_t>, int64_t> found;
  ForEachChunk(ChunkParams{}, old.data(), old.size(), [&](int64_t at, const char* d, size_t n) {
    found.emplace(std::make_pair(n, FastChunkHash(d, n)), at);
  });
  std::vector<int64_t> local;
  for (const ChunkEntry& c : map.chunks) {
    auto it = found.find({c.length, c.fastHash});
    local.push_back(it == found.end() ? -1 : it->second);
  }
  return local;
}

// What the blocks file holds for each run.
std::vector<std::string> RunHashes(const std::vector<MissingRun>& runs,
                                   const std::vector<uint64_t>& blocks) {
  std::vector<std::string> out;
  for (const MissingRun& r : runs) out.push_back(RunEntries(blocks, r));
  return out;
}

struct Outcome {
  std::string assembled;
  int64_t fetched = 0;
  size_t pieces = 0;
};

// Plans the delta from `old` to `now` and assembles it in memory, the
// fetched pieces taken from `now`.
Outcome Delta(const std::string& old, const std::string& now, bool withBlocks) {
  const Published p = Publish(now);
  const std::vector<int64_t> local = LocalOffsets(p.map, old);
  const std::vector<MissingRun> runs =
      FindMissingRuns(p.map, local, static_cast<int64_t>(old.size()));
  const std::vector<DeltaPiece> pieces = PlanPieces(
      p.map, local, runs, withBlocks ? RunHashes(runs, p.blocks) : std::vector<std::string>{},
      [&old](int64_t at, uint32_t n, uint64_t* hash) {
        *hash = FastChunkHash(old.data() + at, n);
        return true;
      });
  Outcome o;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const DeltaPiece& piece = pieces[i];
    const int64_t at = static_cast<int64_t>(o.assembled.size());
    o.assembled += piece.from < 0 ? now.substr(at, piece.length) : old.substr(piece.from, piece.length);
    if (i > 0) {
      const DeltaPiece& prev = pieces[i - 1];
      EXPECT_FALSE(prev.from < 0 && piece.from < 0) << "adjacent fetched pieces are one range";
      EXPECT_FALSE(prev.from >= 0 && prev.from + prev.length == piece.from) << "one copy";
    }
  }
  o.fetched = FetchedBytes(pieces);
  o.pieces = pieces.size();
  int64_t ranged = 0;
  for (const HttpRange& r : FetchedRanges(pieces)) ranged += r.to - r.from + 1;
  EXPECT_EQ(ranged, o.fetched);
  return o;
}

// Scattered overwrites, an insertion, a deletion, an append and a changed
// start: with the block hashes each costs its own few blocks, without them
// the chunks around it; either way the plan rebuilds the new file exactly.
TEST(DeltaPlan, OnlyTheChangedBlocksOfAMissingChunkAreFetched) {
  const std::string old = RandomBytes(4 << 20, 1);
  std::string now = old;
  for (int i = 1; i <= 8; ++i) now.replace(i * 400000 + 123, 4096, RandomBytes(4096, 10 + i));
  now.insert(3500000, RandomBytes(20000, 30));
  now.erase(3800000, 30000);
  now += RandomBytes(50000, 31);
  now.replace(0, 100, RandomBytes(100, 32));

  const Outcome blocks = Delta(old, now, true);
  ASSERT_EQ(blocks.assembled, now);
  // Each 4 KiB overwrite straddles two blocks; the insertion costs itself
  // and a block at each end; the deletion and the start one block or two.
  const int64_t most = 8 * 2 * 4096 + 20000 + 2 * 4096 + 2 * 4096 + 50000 + 4096 + 4096;
  EXPECT_LE(blocks.fetched, most);
  EXPECT_GE(blocks.fetched, 8 * 4096 + 20000 + 50000 + 100);

  const Outcome chunks = Delta(old, now, false);
  ASSERT_EQ(chunks.assembled, now);
  EXPECT_GT(chunks.fetched, 3 * blocks.fetched) << "whole chunks around every edit";

  const Outcome same = Delta(old, old, true);
  EXPECT_EQ(same.fetched, 0);
  EXPECT_EQ(same.pieces, 1u) << "one copy of the whole old file";

  // Hashes that lie only make blocks be fetched; nothing wrong is copied.
  const Published p = Publish(now);
  const std::vector<int64_t> local = LocalOffsets(p.map, old);
  const std::vector<MissingRun> runs = FindMissingRuns(p.map, local, old.size());
  std::vector<std::string> lies = RunHashes(runs, p.blocks);
  for (std::string& h : lies) {
    for (char& c : h) c = static_cast<char>(c ^ 0x5a);
  }
  const std::vector<DeltaPiece> pieces = PlanPieces(
      p.map, local, runs, lies, [&old](int64_t at, uint32_t n, uint64_t* hash) {
        *hash = FastChunkHash(old.data() + at, n);
        return true;
      });
  EXPECT_EQ(FetchedBytes(pieces), chunks.fetched);
}

}  // namespace
