// Fuzzes the chunk map of a big game file (LauncherConfig/delta/<path>.map),
// which steers which bytes of an old copy the launcher keeps and which
// ranges it asks the server for. Checked: a map that parses writes back to
// the same bytes, its chunks are non-empty, within the maximum and add up to
// the file size, and the ranges of any choice of missing chunks lie inside
// the file, in order, and cover exactly the chunks chosen.
#include "tests/fuzz/fuzz_support.h"
#include "update/chunk_map.h"

namespace {

void CheckRanges(const ChunkMap& map) {
  // The fast hashes make an arbitrary but input-driven choice.
  std::vector<bool> missing(map.chunks.size());
  for (size_t i = 0; i < missing.size(); ++i) missing[i] = (map.chunks[i].fastHash & 1) != 0;
  int64_t end = 0;
  size_t chosen = 0, covered = 0;
  for (bool m : missing) chosen += m;
  for (const FetchRange& r : CoalesceMissing(map, missing)) {
    FUZZ_CHECK(r.length > 0 && r.chunkCount > 0 && r.offset >= end);
    FUZZ_CHECK(r.offset + r.length <= map.fileSize);
    FUZZ_CHECK(r.firstChunk + r.chunkCount <= map.chunks.size());
    for (size_t i = r.firstChunk; i < r.firstChunk + r.chunkCount; ++i) FUZZ_CHECK(missing[i]);
    end = r.offset + r.length;
    covered += r.chunkCount;
  }
  FUZZ_CHECK(covered == chosen);
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
  CheckRanges(map);
  return 0;
}
