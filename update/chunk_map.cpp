#include "update/chunk_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "platform/crypto.h"
#include "update/md5.h"

namespace {

// The gear table: one fixed pseudo-random 64-bit value per byte value, the
// same in every program that cuts (publisher and launcher must agree).
constexpr std::array<uint64_t, 256> MakeGearTable() {
  std::array<uint64_t, 256> table{};
  uint64_t state = 0x4B455354524156ULL;  // "KESTRAV"
  for (uint64_t& entry : table) {
    state += 0x9E3779B97F4A7C15ULL;  // splitmix64
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    entry = z ^ (z >> 31);
  }
  return table;
}
constexpr std::array<uint64_t, 256> kGear = MakeGearTable();

int Log2(uint32_t v) {
  int bits = 0;
  while ((uint32_t{1} << (bits + 1)) <= v) ++bits;
  return bits;
}

// The top `bits` bits: the shift ages every byte out of the fingerprint
// after 64 steps, and the top bits mix the most recent bytes best.
uint64_t TopBits(int bits) {
  return bits <= 0 ? 0 : ~uint64_t{0} << (64 - bits);
}

}  // namespace

size_t NextChunkLength(const ChunkParams& params, const uint8_t* data, size_t size, bool atEnd) {
  (void)atEnd;  // the caller provides maxSize bytes unless the file ends
  const size_t limit = std::min<size_t>(size, params.maxSize);
  if (limit <= params.minSize) return limit;
  const int bits = Log2(params.averageSize);
  // Normalised chunking: harder to cut before the average size, easier
  // after it, so that chunk sizes gather around the average.
  const uint64_t hard = TopBits(bits + 2);
  const uint64_t easy = TopBits(bits - 2);
  const size_t normal = std::min<size_t>(params.averageSize, limit);
  uint64_t fp = 0;
  size_t i = params.minSize;
  for (; i < normal; ++i) {
    fp = (fp << 1) + kGear[data[i]];
    if ((fp & hard) == 0) return i + 1;
  }
  for (; i < limit; ++i) {
    fp = (fp << 1) + kGear[data[i]];
    if ((fp & easy) == 0) return i + 1;
  }
  return limit;
}

void ForEachChunk(const ChunkParams& params, const char* data, size_t size,
                  const std::function<void(int64_t, const char*, size_t)>& onChunk) {
  size_t at = 0;
  while (at < size) {
    const size_t n =
        NextChunkLength(params, reinterpret_cast<const uint8_t*>(data + at), size - at, true);
    onChunk(static_cast<int64_t>(at), data + at, n);
    at += n;
  }
}

bool ForEachChunkOfFile(const std::string& path, const ChunkParams& params,
                        const std::function<bool(int64_t, const char*, size_t)>& onChunk,
                        int64_t from) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  if (from > 0 && lseek(fd, from, SEEK_SET) != from) {
    close(fd);
    return false;
  }
  std::vector<char> buffer(std::max<size_t>(size_t{4} << 20, size_t{2} * params.maxSize));
  size_t start = 0, have = 0;
  int64_t offset = from;
  bool atEnd = false, ok = true;
  while (ok && (have > 0 || !atEnd)) {
    if (!atEnd && have < params.maxSize) {
      std::memmove(buffer.data(), buffer.data() + start, have);
      start = 0;
      const ssize_t n = read(fd, buffer.data() + have, buffer.size() - have);
      if (n < 0) ok = false;
      if (n <= 0) atEnd = true;
      have += n > 0 ? static_cast<size_t>(n) : 0;
      continue;
    }
    const size_t len = NextChunkLength(
        params, reinterpret_cast<const uint8_t*>(buffer.data() + start), have, atEnd);
    ok = onChunk(offset, buffer.data() + start, len);
    offset += static_cast<int64_t>(len);
    start += len;
    have -= len;
  }
  close(fd);
  return ok;
}

uint64_t FastChunkHash(const char* data, size_t size) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ size;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, data + i, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
    h ^= h >> 32;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, data + i, size - i);
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ULL;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  return h ^ (h >> 33);
}

std::array<uint8_t, 32> ChunkSha256(const char* data, size_t size) {
  platform::Sha256 sha;
  sha.Update(data, size);
  const std::string hex = sha.HexDigest();
  std::array<uint8_t, 32> raw{};
  for (size_t i = 0; i < raw.size(); ++i) {
    raw[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  }
  return raw;
}

// The MD5 is taken by a second thread reading the file beside the cutting
// one (the second read comes from the page cache): on two cores a big file
// costs the longer of the two passes instead of both.
bool BuildChunkMap(const std::string& path, const ChunkParams& params, ChunkMap* map,
                   std::vector<uint64_t>* blockHashes) {
  map->params = params;
  map->chunks.clear();
  if (blockHashes) blockHashes->clear();
  std::string md5;
  std::thread digest;
  try {
    digest = std::thread([&] { md5 = Md5OfFile(path); });
  } catch (const std::system_error&) {
    md5 = Md5OfFile(path);  // no second thread to be had: one read after the other
  }
  int64_t total = 0;
  const bool read = ForEachChunkOfFile(path, params, [&](int64_t, const char* data, size_t n) {
    ChunkEntry e;
    e.length = static_cast<uint32_t>(n);
    e.fastHash = FastChunkHash(data, n);
    e.sha256 = ChunkSha256(data, n);
    map->chunks.push_back(e);
    for (size_t at = 0; blockHashes && at < n; at += kBlockSize) {
      blockHashes->push_back(FastChunkHash(data + at, std::min<size_t>(kBlockSize, n - at)));
    }
    total += static_cast<int64_t>(n);
    return true;
  });
  if (digest.joinable()) digest.join();
  map->fileSize = total;
  map->md5 = md5;
  return read && !md5.empty();
}

// ---- The file format ----

namespace {

constexpr char kMagic[] = "KSTCMAP1";
constexpr size_t kHeaderSize = 8 + 12 + 8 + 16 + 4;
constexpr size_t kEntrySize = 4 + 8 + 32;

template <typename T>
void Put(std::string* out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

template <typename T>
T Get(const std::string& in, size_t* at) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<uint8_t>(in[*at + i])) << (8 * i);
  }
  *at += sizeof(T);
  return value;
}

bool HexToBytes(const std::string& hex, uint8_t* out, size_t n) {
  if (hex.size() != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    char* end = nullptr;
    const std::string pair = hex.substr(2 * i, 2);
    out[i] = static_cast<uint8_t>(std::strtoul(pair.c_str(), &end, 16));
    if (end != pair.c_str() + 2) return false;
  }
  return true;
}

std::string BytesToHex(const uint8_t* data, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < n; ++i) {
    hex.push_back(kDigits[data[i] >> 4]);
    hex.push_back(kDigits[data[i] & 15]);
  }
  return hex;
}

bool ParamsAreSane(const ChunkParams& p) {
  return p.minSize >= 64 && p.minSize <= p.averageSize && p.averageSize <= p.maxSize &&
         p.maxSize <= (uint32_t{64} << 20);
}

}  // namespace

std::string SerializeChunkMap(const ChunkMap& map) {
  std::string out(kMagic, 8);
  Put<uint32_t>(&out, map.params.minSize);
  Put<uint32_t>(&out, map.params.averageSize);
  Put<uint32_t>(&out, map.params.maxSize);
  Put<uint64_t>(&out, static_cast<uint64_t>(map.fileSize));
  uint8_t md5[16] = {};
  HexToBytes(map.md5, md5, sizeof md5);
  out.append(reinterpret_cast<const char*>(md5), sizeof md5);
  Put<uint32_t>(&out, static_cast<uint32_t>(map.chunks.size()));
  for (const ChunkEntry& e : map.chunks) {
    Put<uint32_t>(&out, e.length);
    Put<uint64_t>(&out, e.fastHash);
    out.append(reinterpret_cast<const char*>(e.sha256.data()), e.sha256.size());
  }
  return out;
}

bool ParseChunkMap(const std::string& bytes, ChunkMap* map, std::string* error) {
  if (bytes.size() < kHeaderSize || bytes.compare(0, 8, kMagic) != 0) {
    *error = "not a chunk map";
    return false;
  }
  size_t at = 8;
  map->params.minSize = Get<uint32_t>(bytes, &at);
  map->params.averageSize = Get<uint32_t>(bytes, &at);
  map->params.maxSize = Get<uint32_t>(bytes, &at);
  const uint64_t fileSize = Get<uint64_t>(bytes, &at);
  map->md5 = BytesToHex(reinterpret_cast<const uint8_t*>(bytes.data() + at), 16);
  at += 16;
  const uint32_t count = Get<uint32_t>(bytes, &at);
  if (!ParamsAreSane(map->params) || fileSize > (uint64_t{1} << 50)) {
    *error = "chunk parameters or file size out of range";
    return false;
  }
  if (bytes.size() != kHeaderSize + size_t{count} * kEntrySize) {
    *error = "the chunk count does not match the map's size";
    return false;
  }
  map->fileSize = static_cast<int64_t>(fileSize);
  map->chunks.assign(count, ChunkEntry{});
  uint64_t total = 0;
  for (ChunkEntry& e : map->chunks) {
    e.length = Get<uint32_t>(bytes, &at);
    e.fastHash = Get<uint64_t>(bytes, &at);
    std::memcpy(e.sha256.data(), bytes.data() + at, e.sha256.size());
    at += e.sha256.size();
    if (e.length == 0 || e.length > map->params.maxSize) {
      *error = "a chunk is empty or longer than the maximum";
      return false;
    }
    total += e.length;
  }
  if (total != fileSize) {
    *error = "the chunk lengths do not add up to the file size";
    return false;
  }
  return true;
}

namespace {
constexpr char kBlocksMagic[] = "KSTBLKS1";
}  // namespace

std::string SerializeBlockHashes(const std::string& md5, const std::vector<uint64_t>& hashes) {
  std::string out(kBlocksMagic, 8);
  Put<uint32_t>(&out, kBlockSize);
  Put<uint32_t>(&out, 0);
  uint8_t raw[16] = {};
  HexToBytes(md5, raw, sizeof raw);
  out.append(reinterpret_cast<const char*>(raw), sizeof raw);
  return out + SerializeBlockEntries(hashes.data(), hashes.size());
}

std::string SerializeBlockEntries(const uint64_t* hashes, size_t count) {
  std::string out;
  out.reserve(count * kBlockHashSize);
  for (size_t i = 0; i < count; ++i) Put<uint64_t>(&out, hashes[i]);
  return out;
}

bool CheckBlockHashesHeader(const std::string& header, const std::string& md5, std::string* error) {
  if (header.size() != kBlockHashesHeaderSize || header.compare(0, 8, kBlocksMagic) != 0) {
    *error = "not a blocks file";
    return false;
  }
  size_t at = 8;
  if (Get<uint32_t>(header, &at) != kBlockSize) {
    *error = "another block size";
    return false;
  }
  at += 4;
  if (BytesToHex(reinterpret_cast<const uint8_t*>(header.data() + at), 16) != md5) {
    *error = "the blocks file describes another file";
    return false;
  }
  return true;
}

uint64_t BlockHashAt(const std::string& entries, size_t i) {
  size_t at = i * kBlockHashSize;
  return Get<uint64_t>(entries, &at);
}
