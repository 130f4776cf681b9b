// Chunk maps: how a published file is cut into content-defined chunks, and
// the small file that lists them, so that a launcher holding an older copy
// fetches only the chunks it does not already have.
//
// Chunk boundaries come from a rolling gear hash over the content (FastCDC
// with normalised chunking): a boundary depends only on the bytes just
// before it, so an insertion or a deletion moves the boundaries around it
// and leaves every other chunk as it was. The publisher and the launcher
// cut with the same parameters, which the map records.
//
// A map ("LauncherConfig/delta/<path>.map" in the release) is binary and
// little-endian:
//   "KSTCMAP1"                       8 bytes
//   min, average, max chunk size     3 x u32
//   file size                        u64
//   MD5 of the whole file            16 bytes
//   chunk count                      u32
//   per chunk: length u32, fast hash u64, SHA-256 32 bytes
// 44 bytes per chunk: a 1 GiB file cut at 64 KiB on average needs about
// 720 KB, 0.07 % of it.
//
// The fast hash finds which chunks of the old copy may be reused (the MD5
// of the assembled file then proves the whole); the SHA-256 checks every
// chunk fetched, so that a map covered by a signed release vouches for each
// byte the launcher takes from the network.
//
// Thread-safety: pure functions; a Chunker is used by one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ChunkParams {
  uint32_t minSize = 16 * 1024;
  uint32_t averageSize = 64 * 1024;
  uint32_t maxSize = 256 * 1024;
};

// Files smaller than this get no map: their whole transfer costs little.
constexpr int64_t kDeltaMinFileSize = int64_t{1} << 20;
// The largest map the launcher reads (a 64 GiB file's map is about 45 MB).
constexpr int64_t kChunkMapLimit = int64_t{64} << 20;

// The length of the chunk that starts at data[0]: a content-defined cut at
// or after minSize, at the latest at maxSize. `size` bytes are available;
// unless `atEnd`, at least maxSize of them must be (fewer at the end of the
// file make the rest one chunk).
size_t NextChunkLength(const ChunkParams& params, const uint8_t* data, size_t size, bool atEnd);

// Cuts a file into chunks, reading it once in large blocks from offset
// `from` (0: the whole file; elsewhere the first cut is as if the file began
// there) to its end, and calls `onChunk` with each chunk's offset in the file
// and its bytes (valid during the call). False when the file cannot be read
// or `onChunk` returns false.
bool ForEachChunkOfFile(const std::string& path, const ChunkParams& params,
                        const std::function<bool(int64_t, const char*, size_t)>& onChunk,
                        int64_t from = 0);
// The same over bytes in memory.
void ForEachChunk(const ChunkParams& params, const char* data, size_t size,
                  const std::function<void(int64_t, const char*, size_t)>& onChunk);

// A 64-bit hash of a chunk, many times faster than a cryptographic one.
uint64_t FastChunkHash(const char* data, size_t size);

struct ChunkEntry {
  uint32_t length = 0;
  uint64_t fastHash = 0;
  std::array<uint8_t, 32> sha256{};
};

struct ChunkMap {
  ChunkParams params;
  int64_t fileSize = 0;
  std::string md5;  // 32 lowercase hex digits
  std::vector<ChunkEntry> chunks;
};

// Cuts the file and takes every chunk's hashes and the whole file's MD5,
// and, unless `blockHashes` is null, the hash of every block of every chunk
// for the blocks file.
bool BuildChunkMap(const std::string& path, const ChunkParams& params, ChunkMap* map,
                   std::vector<uint64_t>* blockHashes = nullptr);

std::string SerializeChunkMap(const ChunkMap& map);
// False, with the reason in *error, for anything that is not a well-formed
// map: a wrong magic or size, parameters out of range, chunk lengths that do
// not add up to the file size or pass the maximum.
bool ParseChunkMap(const std::string& bytes, ChunkMap* map, std::string* error);

// The SHA-256 of a chunk as the map stores it.
std::array<uint8_t, 32> ChunkSha256(const char* data, size_t size);

// Beside each map, "LauncherConfig/delta/<path>.blocks" gives the fast hash
// of every 4 KiB block of every chunk, so that a launcher missing a chunk
// fetches only the blocks its old copy lacks. Little-endian:
//   "KSTBLKS1"                       8 bytes
//   block size                       u32 (kBlockSize)
//   zero                             u32
//   MD5 of the whole file            16 bytes
//   per chunk in map order, per block of it from the chunk's start (the
//   last one may be shorter): fast hash u64
// A launcher reads only the entries of the chunks it misses, with range
// requests. The file needs no signature: every chunk of the new file that
// is not wholly found in the old copy is checked against the map's SHA-256
// once assembled, whatever its blocks came from.
constexpr uint32_t kBlockSize = 4096;
constexpr int64_t kBlockHashesHeaderSize = 32;
constexpr int64_t kBlockHashSize = 8;

inline uint64_t BlocksInChunk(uint32_t length) { return (length + kBlockSize - 1) / kBlockSize; }

// The header and the entries of a blocks file.
std::string SerializeBlockHashes(const std::string& md5, const std::vector<uint64_t>& hashes);
// `count` entries as the blocks file holds them.
std::string SerializeBlockEntries(const uint64_t* hashes, size_t count);
// False, with the reason in *error, unless `header` is the header of the
// blocks file of the file whose MD5 is `md5`, in kBlockSize blocks.
bool CheckBlockHashesHeader(const std::string& header, const std::string& md5, std::string* error);
// Entry i of a run of entries read from a blocks file.
uint64_t BlockHashAt(const std::string& entries, size_t i);
