#include "update/chunk_map.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "tests/test_files.h"
#include "util/testing/scratch_dir.h"

namespace {

using testfiles::RandomBytes;

struct Cut {
  int64_t offset;
  size_t length;
  uint64_t hash;
};

std::vector<Cut> Cuts(const std::string& data) {
  std::vector<Cut> cuts;
  ForEachChunk(ChunkParams{}, data.data(), data.size(), [&](int64_t at, const char* p, size_t n) {
    cuts.push_back({at, n, FastChunkHash(p, n)});
  });
  return cuts;
}

std::multiset<uint64_t> Hashes(const std::vector<Cut>& cuts) {
  std::multiset<uint64_t> out;
  for (const Cut& c : cuts) out.insert(c.hash);
  return out;
}

// How many chunks of `changed` are not chunks of `original`.
size_t NewChunks(const std::vector<Cut>& original, const std::vector<Cut>& changed) {
  std::multiset<uint64_t> known = Hashes(original);
  size_t fresh = 0;
  for (const Cut& c : changed) fresh += known.count(c.hash) == 0;
  return fresh;
}

TEST(ChunkMap, CutsAreDeterministicSizedAndStableUnderEdits) {
  const ChunkParams p;
  const std::string data = RandomBytes(8 << 20, 1);
  const std::vector<Cut> cuts = Cuts(data);
  EXPECT_EQ(cuts.size(), Cuts(data).size());
  int64_t covered = 0;
  for (size_t i = 0; i < cuts.size(); ++i) {
    EXPECT_EQ(cuts[i].offset, covered);
    EXPECT_LE(cuts[i].length, p.maxSize);
    if (i + 1 < cuts.size()) {
      EXPECT_GE(cuts[i].length, p.minSize);
    }
    covered += static_cast<int64_t>(cuts[i].length);
  }
  EXPECT_EQ(covered, static_cast<int64_t>(data.size()));
  const double mean = static_cast<double>(data.size()) / static_cast<double>(cuts.size());
  EXPECT_GT(mean, 40 * 1024.0);
  EXPECT_LT(mean, 110 * 1024.0);

  // An insertion, a deletion, an overwrite and an append each change only
  // the chunks around them; everything after them is found again.
  std::string inserted = data;
  inserted.insert(3 << 20, RandomBytes(1000, 2));
  EXPECT_LE(NewChunks(cuts, Cuts(inserted)), 3u);
  std::string deleted = data;
  deleted.erase(5 << 20, 70000);
  EXPECT_LE(NewChunks(cuts, Cuts(deleted)), 3u);
  std::string overwritten = data;
  overwritten.replace(1 << 20, 4096, RandomBytes(4096, 3));
  EXPECT_LE(NewChunks(cuts, Cuts(overwritten)), 2u);
  EXPECT_LE(NewChunks(cuts, Cuts(data + RandomBytes(300000, 4))), 7u);

  // The file reader cuts exactly where the cutter over memory does.
  ScratchDir dir("chunks");
  const std::string path = dir / "big.bin";
  std::ofstream(path, std::ios::binary) << inserted;
  std::vector<Cut> fromFile;
  ASSERT_TRUE(ForEachChunkOfFile(path, p, [&](int64_t at, const char* d, size_t n) {
    fromFile.push_back({at, n, FastChunkHash(d, n)});
    return true;
  }));
  const std::vector<Cut> fromMemory = Cuts(inserted);
  ASSERT_EQ(fromFile.size(), fromMemory.size());
  for (size_t i = 0; i < fromFile.size(); ++i) EXPECT_EQ(fromFile[i].hash, fromMemory[i].hash);
}

TEST(ChunkMap, MapsRoundTripAndAnythingMalformedIsRefused) {
  ScratchDir dir("chunkmap");
  const std::string path = dir / "file.bin";
  const std::string data = RandomBytes(3 << 20, 5);
  std::ofstream(path, std::ios::binary) << data;
  ChunkMap map;
  ASSERT_TRUE(BuildChunkMap(path, ChunkParams{}, &map));
  EXPECT_EQ(map.fileSize, static_cast<int64_t>(data.size()));
  EXPECT_EQ(map.md5, testfiles::Md5Of(data));
  EXPECT_EQ(map.chunks.front().sha256, ChunkSha256(data.data(), map.chunks.front().length));

  const std::string bytes = SerializeChunkMap(map);
  EXPECT_LT(bytes.size(), data.size() / 1000) << "well under 1 % of the file";
  ChunkMap back;
  std::string error;
  ASSERT_TRUE(ParseChunkMap(bytes, &back, &error)) << error;
  EXPECT_EQ(back.md5, map.md5);
  ASSERT_EQ(back.chunks.size(), map.chunks.size());
  EXPECT_EQ(back.chunks.back().fastHash, map.chunks.back().fastHash);
  EXPECT_EQ(back.chunks.back().sha256, map.chunks.back().sha256);

  auto refused = [&](std::string bad) {
    ChunkMap m;
    std::string why;
    return !ParseChunkMap(bad, &m, &why) && !why.empty();
  };
  EXPECT_TRUE(refused(""));
  EXPECT_TRUE(refused("KSTCMAP2" + bytes.substr(8)));
  EXPECT_TRUE(refused(bytes.substr(0, bytes.size() - 1)));
  EXPECT_TRUE(refused(bytes + "x"));
  std::string longer = bytes;
  longer[20] = static_cast<char>(longer[20] + 1);  // the file size no longer adds up
  EXPECT_TRUE(refused(longer));
  std::string huge = bytes;
  huge[48 + 3] = 0x7f;  // the first chunk's length far past the maximum
  EXPECT_TRUE(refused(huge));
  std::string small = bytes;
  small[8] = 0;  // minimum chunk size 0
  small[9] = 0;
  EXPECT_TRUE(refused(small));
}

}  // namespace
