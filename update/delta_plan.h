// Planning a delta: where each byte of the new file comes from. Chunks the
// old copy has are copied from it; the chunks it lacks come in runs of
// adjacent ones, and the old version of a run most likely lies between the
// old copies of its neighbours. With the blocks file's hashes for a run,
// each of its blocks is looked for there, aligned from the gap's start (an
// overwrite, or what precedes an insertion) and from its end (what follows
// an insertion or a deletion); only the blocks found in neither place are
// fetched.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/http.h"

struct ChunkMap;

// A stretch of the new file: copied from `from` in the old copy, or, when
// `from` is -1, fetched.
struct DeltaPiece {
  int64_t length = 0;
  int64_t from = -1;
};

// Adjacent chunks of the new file that the old copy has not.
struct MissingRun {
  size_t firstChunk = 0, chunkCount = 0;
  int64_t offset = 0, length = 0;  // in the new file
  int64_t gapFrom = 0, gapTo = 0;  // in the old copy; gapTo <= gapFrom when there is none
  uint64_t firstBlock = 0, blockCount = 0;  // its entries in the blocks file
};

// local[i] is where chunk i of the new file starts in the old copy, -1 for
// the chunks to fetch; `oldSize` the old copy's size.
std::vector<MissingRun> FindMissingRuns(const ChunkMap& map, const std::vector<int64_t>& local,
                                        int64_t oldSize);

// Reads the old copy's bytes [at, at + length) and gives their fast hash;
// false when they cannot be read.
using OldBlockHash = std::function<bool(int64_t at, uint32_t length, uint64_t* hash)>;

// The parts of the blocks file worth reading: its header (range 0), then
// the entries of each run whose old version may lie in the old copy, up to
// 4 MiB in all (the entries of 2 GiB of missing chunks; the runs past that
// are fetched whole). rangeOfRun[r] is the range of run r's entries, 0 for
// none. Empty when no run has a gap to look in.
std::vector<HttpRange> BlockHashRanges(const std::vector<MissingRun>& runs,
                                       std::vector<size_t>* rangeOfRun);

// The entries of `run` as the blocks file holds them, from the hashes of
// all blocks of the file in order (as BuildChunkMap gives them).
std::string RunEntries(const std::vector<uint64_t>& blockHashes, const MissingRun& run);

// The bytes the ranges cover.
int64_t BytesOf(const std::vector<HttpRange>& ranges);

// The fast hashes of blocks of a file on disk.
// Thread-safety: one thread.
class FileBlocks {
 public:
  explicit FileBlocks(const std::string& path);
  ~FileBlocks();
  FileBlocks(const FileBlocks&) = delete;
  FileBlocks& operator=(const FileBlocks&) = delete;

  bool Hash(int64_t at, uint32_t length, uint64_t* hash);

 private:
  int fd_;
  std::vector<char> block_;
};

// The pieces of the new file in order, adjacent ones joined. runHashes[r]
// holds the block hashes of runs[r] (as read from the blocks file) or is
// empty when none are known; every block of a run without them is fetched.
std::vector<DeltaPiece> PlanPieces(const ChunkMap& map, const std::vector<int64_t>& local,
                                   const std::vector<MissingRun>& runs,
                                   const std::vector<std::string>& runHashes,
                                   const OldBlockHash& oldBlockHash);

// The ranges of the new file to fetch, in order, one per fetched piece.
std::vector<HttpRange> FetchedRanges(const std::vector<DeltaPiece>& pieces);
int64_t FetchedBytes(const std::vector<DeltaPiece>& pieces);
