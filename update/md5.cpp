#include "update/md5.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include "diag/log.h"
#include "update/md5_lanes.h"
#include "util/file_util.h"
#include "util/text_util.h"

namespace {

inline uint32_t Rotl(uint32_t x, int s) {
  return (x << s) | (x >> (32 - s));
}

inline uint32_t LoadLe(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

// The round functions. Each step adds the message word and the constant
// first: they do not depend on the previous step, so the processor can add
// them while it still waits for b. G is split into two additions of
// disjoint bit sets for the same reason.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, x, t, s) \
  a += (x) + (t);                        \
  a += f(b, c, d);                       \
  a = Rotl(a, s) + (b)
#define MD5_STEP_G(a, b, c, d, x, t, s) \
  a += (x) + (t);                       \
  a += ~(d) & (c);                      \
  a += (d) & (b);                       \
  a = Rotl(a, s) + (b)

// Reads whole chunks until end of file or a read error; 256 KiB keeps system
// calls rare without leaving the cache.
constexpr size_t kReadPiece = 256 * 1024;

// Digests an open file; false when reading failed part way.
bool DigestFd(int fd, Md5Context& md5) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadPiece]);
  for (;;) {
    ssize_t n = read(fd, buffer.get(), kReadPiece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    md5.Update(buffer.get(), static_cast<size_t>(n));
  }
}

// DigestFd through the stream's two buffers: the next piece is read while
// the last one is digested.
bool DigestFdIn(int fd, BackgroundMd5& stream) {
  for (int turn = 0;; turn ^= 1) {
    char* piece = stream.Buffer(turn);
    ssize_t n;
    do {
      n = read(fd, piece, BackgroundMd5::kBufferSize);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n == 0;
    stream.Feed(piece, static_cast<size_t>(n));
  }
}

// The digest of a file, "" when it cannot be opened; through `stream`
// when one is given.
std::string DigestOfFile(const std::string& path, BackgroundMd5* stream = nullptr) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::string hex;
  if (stream) {
    stream->Start();
    DigestFdIn(fd, *stream);
    hex = stream->Finish();
  } else {
    Md5Context md5;
    DigestFd(fd, md5);
    hex = md5.HexDigest();
  }
  close(fd);
  return hex;
}

}  // namespace

void Md5InitialState(uint32_t state[4]) {
  state[0] = 0x67452301;
  state[1] = 0xefcdab89;
  state[2] = 0x98badcfe;
  state[3] = 0x10325476;
}

void Md5Context::Init() {
  Md5InitialState(state);
  bitCount[0] = bitCount[1] = 0;
  finalized = 0;
}

void Md5Context::Update(const void* data, size_t size) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  size_t used = HeldBytes();
  CountBytes(size);
  if (used > 0) {
    size_t take = 64 - used;
    if (size < take) {
      memcpy(block + used, in, size);
      return;
    }
    memcpy(block + used, in, take);
    Transform(block, 1);
    in += take;
    size -= take;
  }
  if (size >= 64) {
    Transform(in, size / 64);
    in += size & ~size_t{63};
    size &= 63;
  }
  if (size > 0) memcpy(block, in, size);
}

void Md5Context::CountBytes(uint64_t bytes) {
  const uint64_t bits = (static_cast<uint64_t>(bitCount[1]) << 32 | bitCount[0]) + (bytes << 3);
  bitCount[0] = static_cast<uint32_t>(bits);
  bitCount[1] = static_cast<uint32_t>(bits >> 32);
  finalized = 0;
}

void Md5Context::UpdateSideBySide(Md5Context* const contexts[], const uint8_t* const data[],
                                  const size_t sizes[], size_t count) {
  constexpr size_t kMost = Md5Batch::kLanes;
  const size_t worthFrom = Md5LanesWorthFrom();
  if (count > kMost || worthFrom == 0 || count < worthFrom) {
    for (size_t i = 0; i < count; ++i) contexts[i]->Update(data[i], sizes[i]);
    return;
  }
  // Each context first completes the block it holds part of; the whole
  // blocks after it go through the lanes, and the rest is held as usual.
  uint32_t* states[kMost];
  const uint8_t* middle[kMost];
  size_t blocks[kMost];
  for (size_t i = 0; i < count; ++i) {
    Md5Context* md5 = contexts[i];
    const size_t held = md5->HeldBytes();
    const size_t head = held == 0 ? 0 : std::min(64 - held, sizes[i]);
    md5->Update(data[i], head);
    states[i] = md5->state;
    middle[i] = data[i] + head;
    blocks[i] = (sizes[i] - head) / 64;
  }
  Md5BlocksSideBySide(states, middle, blocks, count);
  for (size_t i = 0; i < count; ++i) {
    // The blocks digested above count as updated bytes too.
    Md5Context* md5 = contexts[i];
    md5->CountBytes(64 * static_cast<uint64_t>(blocks[i]));
    const size_t done = (middle[i] - data[i]) + 64 * blocks[i];
    md5->Update(data[i] + done, sizes[i] - done);
  }
}

void Md5Context::Finalize() {
  uint8_t length[8];
  for (int i = 0; i < 4; ++i) {
    length[i] = static_cast<uint8_t>(bitCount[0] >> (8 * i));
    length[4 + i] = static_cast<uint8_t>(bitCount[1] >> (8 * i));
  }
  size_t used = (bitCount[0] >> 3) & 63;
  static const uint8_t kPadding[64] = {0x80};
  Update(kPadding, used < 56 ? 56 - used : 120 - used);
  Update(length, 8);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (8 * j));
  }
  finalized = 1;
}

const uint8_t* Md5Context::Digest() {
  if (!finalized) Finalize();
  return digest;
}

std::string Md5Context::HexDigest() {
  return Md5HexOf(Digest());
}

std::string Md5HexOf(const uint8_t digest[16]) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 15];
  }
  return text;
}

void Md5Context::Transform(const uint8_t* data, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, data += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLe(data + 4 * i);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

    MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
    MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
    MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
    MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
    MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
    MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
    MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
    MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
    MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
    MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
    MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
    MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
    MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
    MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
    MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
    MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

    MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

    MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

std::string Md5OfFile(const std::string& path) {
  return DigestOfFile(path);
}

BackgroundMd5::BackgroundMd5(Md5LaneHasher* lanes) : lanes_(lanes) {
  if (lanes_) return;
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (const std::system_error&) {
    // Each piece is then hashed where it is fed.
  }
}

BackgroundMd5::~BackgroundMd5() {
  // A piece still with the shared helper points into this object.
  if (lanes_) lanes_->Await(&md5_);
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BackgroundMd5::Start() {
  Wait();
  md5_.Init();
}

void BackgroundMd5::Feed(const char* data, size_t size) {
  if (lanes_ && size >= kInlineHashBytes) {
    Wait();
    lanes_->Submit(&md5_, data, size);
    return;
  }
  if (!thread_.joinable() || size < kInlineHashBytes) {
    Wait();
    md5_.Update(data, size);
    return;
  }
  Wait();
  {
    std::lock_guard<std::mutex> hold(lock_);
    pending_ = data;
    size_ = size;
  }
  wake_.notify_all();
}

std::string BackgroundMd5::Finish() {
  Wait();
  return md5_.HexDigest();
}

void BackgroundMd5::Wait() {
  if (lanes_) {
    lanes_->Await(&md5_);
    return;
  }
  std::unique_lock<std::mutex> hold(lock_);
  wake_.wait(hold, [this] { return pending_ == nullptr; });
}

void BackgroundMd5::Loop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return pending_ != nullptr || stop_; });
    if (!pending_) return;
    hold.unlock();
    md5_.Update(pending_, size_);
    hold.lock();
    pending_ = nullptr;
    wake_.notify_all();
  }
}

bool DigestFile(const std::string& path, std::string* hex, int* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0;
  if (ok) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Md5Context md5;
    ok = DigestFd(fd, md5);
    int readError = errno;
    close(fd);
    errno = readError;
    if (ok) *hex = md5.HexDigest();
  }
  if (!ok && error != nullptr) *error = errno;
  return ok;
}

bool IsFileMD5Equal(std::string expected, std::string path) {
  std::string actual = AnsiToWide(DigestOfFile(path));
  return !actual.empty() && actual == expected;
}

bool CheckFileMD5(std::string expected, std::string path, BackgroundMd5* stream) {
  std::string actual = AnsiToWide(DigestOfFile(path, stream));
  if (actual.empty()) {
    WriteLog("Error! Check The MD5 Of %s Fail, Can Not Open The File", FileNameOf(path).c_str());
    return false;
  }
  if (actual == expected) return true;
  // The size is printed in full; a 32-bit field would misreport files of 2 GiB
  // and more.
  WriteLog("Error ! MD5 Of %s Error, RightMD5:%s, ErrorMD5:%s, FileSize:%lld",
           FileNameOf(path).c_str(), expected.c_str(), actual.c_str(),
           static_cast<long long>(FileSizeOf(path)));
  return false;
}

namespace {

// Whether the folder has an entry spelled exactly `name`.
bool FolderHasExactName(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* e = readdir(dir)) {
    if (name == e->d_name) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

std::string SwapCase(std::string text) {
  for (char& c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (isupper(u))
      c = static_cast<char>(tolower(u));
    else if (islower(u))
      c = static_cast<char>(toupper(u));
  }
  return text;
}

}  // namespace

bool FileExistsWithExactName(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  // On a case-sensitive file system the lookup succeeding is the answer.
  // Only when the other-case spelling reaches the same file does the
  // folder have to be searched for the exact name.
  std::string name = FileNameOf(path);
  std::string folder = path.substr(0, path.size() - name.size());
  std::string swapped = SwapCase(name);
  struct stat other {};
  if (swapped == name || stat((folder + swapped).c_str(), &other) != 0 ||
      other.st_ino != st.st_ino || other.st_dev != st.st_dev) {
    return true;
  }
  return FolderHasExactName(folder, name);
}
