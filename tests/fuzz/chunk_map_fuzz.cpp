// Fuzzes the chunk map of a big game file (LauncherConfig/delta/<path>.map),
// which steers which bytes of an old copy the launcher keeps and which
// ranges it asks the server for. Checked: a map that parses writes back to
// the same bytes, its chunks are non-empty, within the maximum and add up to
// the file size, and the plan of a delta from any choice of chunks the old
// copy holds and any block hashes covers the file exactly: what it copies
// lies inside the old copy, every chunk found is copied, and the ranges it
// fetches are in order, inside the file and add up to what it says.
#include "tests/fuzz/fuzz_support.h"
#include "update/chunk_map.h"
#include "update/delta_plan.h"

namespace {

// Runs of more blocks than this get no hashes (the fuzzer's memory).
constexpr uint64_t kMostBlocks = 4096;

void CheckPlan(const ChunkMap& map, const std::string& bytes) {
  // The fast hashes make an arbitrary but input-driven choice; a chunk the
  // old copy holds is where it is in the new file.
  std::vector<int64_t> local(map.chunks.size(), -1);
  int64_t offset = 0;
  for (size_t i = 0; i < local.size(); ++i) {
    if ((map.chunks[i].fastHash & 1) == 0) local[i] = offset;
    offset += map.chunks[i].length;
  }
  const std::vector<MissingRun> runs = FindMissingRuns(map, local, map.fileSize);
  std::vector<std::string> hashes;
  for (const MissingRun& run : runs) {
    std::string entries;
    for (uint64_t b = 0; run.blockCount <= kMostBlocks && b < run.blockCount; ++b) {
      entries.append(8, static_cast<char>(bytes[b % bytes.size()] & 3));
    }
    hashes.push_back(entries);
  }
  const std::vector<DeltaPiece> pieces =
      PlanPieces(map, local, runs, hashes, [](int64_t at, uint32_t, uint64_t* h) {
        *h = static_cast<uint64_t>(at / 4096 % 4) * 0x0101010101010101ULL;
        return at % 3 != 0;
      });
  int64_t at = 0;
  size_t chunk = 0;
  int64_t chunkEnd = map.chunks.empty() ? 0 : map.chunks[0].length;
  for (const DeltaPiece& p : pieces) {
    FUZZ_CHECK(p.length > 0);
    FUZZ_CHECK(p.from < 0 || p.from + p.length <= map.fileSize);
    for (int64_t end = at + p.length; at < end;) {
      while (at >= chunkEnd && chunk + 1 < map.chunks.size()) chunkEnd += map.chunks[++chunk].length;
      FUZZ_CHECK(local[chunk] < 0 || p.from >= 0);  // a chunk found is never fetched
      at = std::min(end, chunkEnd);
    }
  }
  FUZZ_CHECK(at == map.fileSize);
  int64_t end = 0, fetched = 0;
  for (const HttpRange& r : FetchedRanges(pieces)) {
    FUZZ_CHECK(r.from >= end && r.to >= r.from && r.to < map.fileSize);
    end = r.to + 1;
    fetched += r.to - r.from + 1;
  }
  FUZZ_CHECK(fetched == FetchedBytes(pieces));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  ChunkMap map;
  std::string error;
  if (!ParseChunkMap(bytes, &map, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(SerializeChunkMap(map) == bytes);
  FUZZ_CHECK(map.md5.size() == 32);
  int64_t total = 0;
  for (const ChunkEntry& c : map.chunks) {
    FUZZ_CHECK(c.length > 0 && c.length <= map.params.maxSize);
    total += c.length;
  }
  FUZZ_CHECK(total == map.fileSize);
  CheckPlan(map, bytes);
  return 0;
}
