#include "update/delta_plan.h"

#include <fcntl.h>
#include <unistd.h>

#include "update/chunk_map.h"

namespace {

constexpr int64_t kBlockHashesLimit = int64_t{4} << 20;

void AddPiece(std::vector<DeltaPiece>* pieces, int64_t length, int64_t from) {
  if (!pieces->empty()) {
    DeltaPiece& last = pieces->back();
    const bool joins = from < 0 ? last.from < 0 : last.from >= 0 && last.from + last.length == from;
    if (joins) {
      last.length += length;
      return;
    }
  }
  pieces->push_back({length, from});
}

// Where in the old copy the block at `at` of the run (`length` bytes, hash
// `hash`) can be copied from; -1 when neither alignment has it.
int64_t FindBlock(const MissingRun& run, int64_t at, uint32_t length, uint64_t hash,
                  const OldBlockHash& oldBlockHash) {
  const int64_t fromStart = run.gapFrom + (at - run.offset);
  const int64_t fromEnd = run.gapTo - (run.offset + run.length - at);
  auto holds = [&](int64_t candidate) {
    uint64_t found = 0;
    return candidate >= run.gapFrom && candidate + length <= run.gapTo &&
           oldBlockHash(candidate, length, &found) && found == hash;
  };
  if (holds(fromStart)) return fromStart;
  return fromEnd != fromStart && holds(fromEnd) ? fromEnd : -1;
}

void PlanRun(const ChunkMap& map, const MissingRun& run, const std::string& hashes,
             const OldBlockHash& oldBlockHash, std::vector<DeltaPiece>* pieces) {
  const bool known = hashes.size() == run.blockCount * kBlockHashSize && run.gapTo > run.gapFrom;
  if (!known) {
    AddPiece(pieces, run.length, -1);
    return;
  }
  int64_t at = run.offset;
  size_t block = 0;
  for (size_t c = run.firstChunk; c < run.firstChunk + run.chunkCount; ++c) {
    const uint32_t chunkLength = map.chunks[c].length;
    for (uint32_t in = 0; in < chunkLength; in += kBlockSize, ++block) {
      const uint32_t length = std::min(kBlockSize, chunkLength - in);
      const int64_t from = FindBlock(run, at, length, BlockHashAt(hashes, block), oldBlockHash);
      AddPiece(pieces, length, from);
      at += length;
    }
  }
}

}  // namespace

std::vector<MissingRun> FindMissingRuns(const ChunkMap& map, const std::vector<int64_t>& local,
                                        int64_t oldSize) {
  std::vector<MissingRun> runs;
  int64_t offset = 0;
  uint64_t block = 0;
  for (size_t i = 0; i < map.chunks.size(); ++i) {
    const uint32_t length = map.chunks[i].length;
    if (local[i] < 0) {
      if (runs.empty() || runs.back().firstChunk + runs.back().chunkCount != i) {
        MissingRun run;
        run.firstChunk = i;
        run.offset = offset;
        run.firstBlock = block;
        run.gapFrom = i == 0 ? 0 : local[i - 1] + map.chunks[i - 1].length;
        run.gapTo = oldSize;
        runs.push_back(run);
      }
      MissingRun& run = runs.back();
      run.chunkCount += 1;
      run.length += length;
      run.blockCount += BlocksInChunk(length);
    } else if (!runs.empty() && runs.back().firstChunk + runs.back().chunkCount == i) {
      runs.back().gapTo = local[i];
    }
    offset += length;
    block += BlocksInChunk(length);
  }
  return runs;
}

std::vector<DeltaPiece> PlanPieces(const ChunkMap& map, const std::vector<int64_t>& local,
                                   const std::vector<MissingRun>& runs,
                                   const std::vector<std::string>& runHashes,
                                   const OldBlockHash& oldBlockHash) {
  std::vector<DeltaPiece> pieces;
  size_t run = 0;
  for (size_t i = 0; i < map.chunks.size();) {
    if (local[i] >= 0) {
      AddPiece(&pieces, map.chunks[i].length, local[i]);
      ++i;
      continue;
    }
    static const std::string kNone;
    PlanRun(map, runs[run], run < runHashes.size() ? runHashes[run] : kNone, oldBlockHash,
            &pieces);
    i += runs[run++].chunkCount;
  }
  return pieces;
}

std::vector<HttpRange> FetchedRanges(const std::vector<DeltaPiece>& pieces) {
  std::vector<HttpRange> ranges;
  int64_t at = 0;
  for (const DeltaPiece& p : pieces) {
    if (p.from < 0) ranges.push_back({at, at + p.length - 1});
    at += p.length;
  }
  return ranges;
}

int64_t FetchedBytes(const std::vector<DeltaPiece>& pieces) {
  int64_t n = 0;
  for (const DeltaPiece& p : pieces) n += p.from < 0 ? p.length : 0;
  return n;
}

std::vector<HttpRange> BlockHashRanges(const std::vector<MissingRun>& runs,
                                       std::vector<size_t>* rangeOfRun) {
  std::vector<HttpRange> ranges = {{0, kBlockHashesHeaderSize - 1}};
  rangeOfRun->assign(runs.size(), 0);
  int64_t total = kBlockHashesHeaderSize;
  for (size_t r = 0; r < runs.size(); ++r) {
    const int64_t length = static_cast<int64_t>(runs[r].blockCount) * kBlockHashSize;
    if (runs[r].gapTo <= runs[r].gapFrom || total + length > kBlockHashesLimit) continue;
    const int64_t from =
        kBlockHashesHeaderSize + static_cast<int64_t>(runs[r].firstBlock) * kBlockHashSize;
    (*rangeOfRun)[r] = ranges.size();
    ranges.push_back({from, from + length - 1});
    total += length;
  }
  if (ranges.size() == 1) ranges.clear();
  return ranges;
}

std::string RunEntries(const std::vector<uint64_t>& blockHashes, const MissingRun& run) {
  if (run.firstBlock + run.blockCount > blockHashes.size()) return std::string();
  return SerializeBlockEntries(blockHashes.data() + run.firstBlock, run.blockCount);
}

int64_t BytesOf(const std::vector<HttpRange>& ranges) {
  int64_t n = 0;
  for (const HttpRange& r : ranges) n += r.to - r.from + 1;
  return n;
}

FileBlocks::FileBlocks(const std::string& path)
    : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)), block_(kBlockSize) {}

FileBlocks::~FileBlocks() {
  if (fd_ >= 0) close(fd_);
}

bool FileBlocks::Hash(int64_t at, uint32_t length, uint64_t* hash) {
  if (fd_ < 0 || length > block_.size() ||
      pread(fd_, block_.data(), length, at) != static_cast<ssize_t>(length)) {
    return false;
  }
  *hash = FastChunkHash(block_.data(), length);
  return true;
}
