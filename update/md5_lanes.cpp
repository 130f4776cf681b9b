#include "update/md5_lanes.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "update/md5.h"

namespace {

// Appends MD5's padding and bit length after `size` bytes; returns the
// number of 64-byte blocks the padded message fills.
size_t Pad(uint8_t* message, size_t size) {
  const size_t blocks = (size + 8) / 64 + 1;
  std::memset(message + size, 0, blocks * 64 - size);
  message[size] = 0x80;
  const uint64_t bits = static_cast<uint64_t>(size) << 3;
  for (int i = 0; i < 8; ++i) message[blocks * 64 - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  return blocks;
}

// The digest bytes of a final state: its words, low byte first.
std::string HexOfState(const uint32_t state[4]) {
  uint8_t digest[16];
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(state[i / 4] >> (8 * (i % 4)));
  return Md5HexOf(digest);
}

#if defined(__x86_64__)

// The kernel is written once in the compiler's generic vectors and compiled
// twice: for AVX2, and for AVX-512VL, whose rotate and three-input logic
// instructions make each step about 1.6 times as fast. Nothing here is
// called outside a function compiled for one of the two.
using Words = uint32_t __attribute__((vector_size(32)));
using Counts = int32_t __attribute__((vector_size(32)));

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

enum class Round { kF, kG, kH, kI };

#define KST_LANES_INLINE __attribute__((always_inline)) inline

// Round R's function of b, c and d, added to f. (Vectors pass by reference
// here: passing them by value outside a vector target changes the ABI.)
template <Round R>
KST_LANES_INLINE void AddMix(const Words& b, const Words& c, const Words& d, Words& f) {
  if constexpr (R == Round::kF) {
    f += d ^ (b & (c ^ d));
  } else if constexpr (R == Round::kG) {
    f += c ^ (d & (b ^ c));
  } else if constexpr (R == Round::kH) {
    f += b ^ c ^ d;
  } else {
    f += c ^ (b | ~d);
  }
}

// Word i of round R's 16 steps.
constexpr int WordOf(Round r, int i) {
  switch (r) {
    case Round::kF:
      return i;
    case Round::kG:
      return (5 * i + 1) % 16;
    case Round::kH:
      return (3 * i + 5) % 16;
    default:
      return (7 * i) % 16;
  }
}

template <Round R>
KST_LANES_INLINE void RoundOf(const Words* w, Words& a, Words& b, Words& c, Words& d) {
  constexpr int r = static_cast<int>(R);
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) {
    const int s = kShift[r][i % 4];
    Words f = w[WordOf(R, i)] + kSine[16 * r + i] + a;
    AddMix<R>(b, c, d, f);
    f = (f << s) | (f >> (32 - s));
    a = d;
    d = c;
    c = b;
    b = b + f;
  }
}

// Eight rows of eight words become eight columns: out[j] holds word j of
// every row.
KST_LANES_INLINE void Transpose(const Words r[8], Words out[8]) {
  Words t[8], u[8];
  for (int k = 0; k < 4; ++k) {
    t[2 * k] = __builtin_shufflevector(r[2 * k], r[2 * k + 1], 0, 8, 1, 9, 4, 12, 5, 13);
    t[2 * k + 1] = __builtin_shufflevector(r[2 * k], r[2 * k + 1], 2, 10, 3, 11, 6, 14, 7, 15);
  }
  for (int k = 0; k < 2; ++k) {
    for (int m = 0; m < 2; ++m) {
      const Words& lo = t[4 * k + m];
      const Words& hi = t[4 * k + m + 2];
      u[4 * k + 2 * m] = __builtin_shufflevector(lo, hi, 0, 1, 8, 9, 4, 5, 12, 13);
      u[4 * k + 2 * m + 1] = __builtin_shufflevector(lo, hi, 2, 3, 10, 11, 6, 7, 14, 15);
    }
  }
  for (int j = 0; j < 4; ++j) {
    out[j] = __builtin_shufflevector(u[j], u[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    out[j + 4] = __builtin_shufflevector(u[j], u[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

// Adds blocks[l] blocks of data[l] to state[l] for the eight lanes; a lane
// with fewer blocks keeps its state once they end.
KST_LANES_INLINE void LaneBlocks(uint32_t* const state[8], const uint8_t* const data[8],
                                 const int32_t blocks[8]) {
  static const uint8_t kIdle[64] = {};
  Words h[4];
  for (int k = 0; k < 4; ++k) {
    for (int l = 0; l < 8; ++l) h[k][l] = state[l][k];
  }
  Counts counts;
  std::memcpy(&counts, blocks, sizeof counts);
  int32_t most = 0;
  for (int l = 0; l < 8; ++l) most = blocks[l] > most ? blocks[l] : most;
  for (int32_t n = 0; n < most; ++n) {
    Words w[16];
    for (int half = 0; half < 2; ++half) {
      Words rows[8];
      for (int l = 0; l < 8; ++l) {
        const uint8_t* at = n < blocks[l] ? data[l] + 64 * static_cast<size_t>(n) : kIdle;
        std::memcpy(&rows[l], at + 32 * half, sizeof rows[l]);
      }
      Transpose(rows, w + 8 * half);
    }
    Words a = h[0], b = h[1], c = h[2], d = h[3];
    RoundOf<Round::kF>(w, a, b, c, d);
    RoundOf<Round::kG>(w, a, b, c, d);
    RoundOf<Round::kH>(w, a, b, c, d);
    RoundOf<Round::kI>(w, a, b, c, d);
    const Words live = reinterpret_cast<Words>(counts > n);
    h[0] += a & live;
    h[1] += b & live;
    h[2] += c & live;
    h[3] += d & live;
  }
  for (int k = 0; k < 4; ++k) {
    for (int l = 0; l < 8; ++l) state[l][k] = h[k][l];
  }
}

__attribute__((target("avx2"))) void LaneBlocksAvx2(uint32_t* const state[8],
                                                    const uint8_t* const data[8],
                                                    const int32_t blocks[8]) {
  LaneBlocks(state, data, blocks);
}

__attribute__((target("avx2,avx512f,avx512vl"))) void LaneBlocksAvx512(uint32_t* const state[8],
                                                                       const uint8_t* const data[8],
                                                                       const int32_t blocks[8]) {
  LaneBlocks(state, data, blocks);
}

enum class LaneUnit { kNone, kAvx2, kAvx512 };

LaneUnit BestLaneUnit() {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) {
    return LaneUnit::kAvx512;
  }
  return __builtin_cpu_supports("avx2") ? LaneUnit::kAvx2 : LaneUnit::kNone;
}

#endif

}  // namespace

size_t Md5LanesWorthFrom() {
#if defined(__x86_64__)
  // One lane of AVX2 digests at about 0.44 and one of AVX-512VL at about
  // 0.7 times the speed of a digest alone.
  switch (BestLaneUnit()) {
    case LaneUnit::kAvx512:
      return 2;
    case LaneUnit::kAvx2:
      return 3;
    case LaneUnit::kNone:
      break;
  }
#endif
  return 0;
}

bool Md5BlocksSideBySide(uint32_t* const state[], const uint8_t* const data[],
                         const size_t blocks[], size_t count) {
#if defined(__x86_64__)
  const LaneUnit unit = BestLaneUnit();
  if (unit == LaneUnit::kNone || count > Md5Batch::kLanes) return false;
  // Lanes past `count` digest nothing into a scratch state.
  uint32_t idle[4] = {};
  uint32_t* states[Md5Batch::kLanes];
  const uint8_t* at[Md5Batch::kLanes];
  size_t left[Md5Batch::kLanes] = {};
  for (size_t l = 0; l < Md5Batch::kLanes; ++l) {
    states[l] = l < count ? state[l] : idle;
    at[l] = l < count ? data[l] : nullptr;
    left[l] = l < count ? blocks[l] : 0;
  }
  // The kernel counts in 32 bits: larger runs go in turns.
  constexpr size_t kTurn = size_t{1} << 24;
  for (bool more = true; more;) {
    int32_t now[Md5Batch::kLanes];
    more = false;
    for (size_t l = 0; l < Md5Batch::kLanes; ++l) {
      now[l] = static_cast<int32_t>(left[l] < kTurn ? left[l] : kTurn);
      left[l] -= static_cast<size_t>(now[l]);
      more = more || left[l] > 0;
    }
    if (unit == LaneUnit::kAvx512) {
      LaneBlocksAvx512(states, at, now);
    } else {
      LaneBlocksAvx2(states, at, now);
    }
    for (size_t l = 0; l < Md5Batch::kLanes; ++l) {
      if (at[l]) at[l] += 64 * static_cast<size_t>(now[l]);
    }
  }
  return true;
#else
  (void)state, (void)data, (void)blocks, (void)count;
  return false;
#endif
}

Md5Batch::Md5Batch() : storage_(std::make_unique_for_overwrite<uint8_t[]>(kLanes * kLaneBytes)) {}

char* Md5Batch::NextBuffer() {
  return reinterpret_cast<char*>(storage_.get() + count_ * kLaneBytes);
}

bool Md5Batch::Commit(size_t size, size_t tag) {
  sizes_[count_] = size < kMaxMessage ? size : kMaxMessage;
  tags_[count_] = tag;
  ++count_;
  return count_ == kLanes;
}

std::vector<std::pair<size_t, std::string>> Md5Batch::Digest() {
  std::vector<std::pair<size_t, std::string>> digests;
  digests.reserve(count_);
  const size_t worthFrom = Md5LanesWorthFrom();
  if (worthFrom != 0 && count_ >= worthFrom) {
    uint32_t state[kLanes][4];
    uint32_t* states[kLanes];
    const uint8_t* message[kLanes];
    size_t blocks[kLanes];
    for (size_t l = 0; l < count_; ++l) {
      Md5InitialState(state[l]);
      states[l] = state[l];
      message[l] = storage_.get() + l * kLaneBytes;
      blocks[l] = Pad(storage_.get() + l * kLaneBytes, sizes_[l]);
    }
    if (Md5BlocksSideBySide(states, message, blocks, count_)) {
      for (size_t l = 0; l < count_; ++l) digests.emplace_back(tags_[l], HexOfState(state[l]));
      count_ = 0;
      return digests;
    }
  }
  for (size_t l = 0; l < count_; ++l) {
    Md5Context md5;
    md5.Update(storage_.get() + l * kLaneBytes, sizes_[l]);
    digests.emplace_back(tags_[l], md5.HexDigest());
  }
  count_ = 0;
  return digests;
}

std::unique_ptr<Md5LaneHasher> Md5LaneHasher::StartIfWorthwhile() {
  if (Md5LanesWorthFrom() == 0) return nullptr;
  std::unique_ptr<Md5LaneHasher> hasher(new Md5LaneHasher());
  try {
    hasher->thread_ = std::thread([h = hasher.get()] { h->Loop(); });
  } catch (const std::system_error&) {
    return nullptr;  // each stream keeps a thread of its own then
  }
  return hasher;
}

Md5LaneHasher::Md5LaneHasher() = default;

Md5LaneHasher::~Md5LaneHasher() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  arrived_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Md5LaneHasher::Submit(Md5Context* md5, const char* data, size_t size) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    waiting_.push_back({md5, reinterpret_cast<const uint8_t*>(data), size, 0});
  }
  arrived_.notify_one();
}

void Md5LaneHasher::Await(const Md5Context* md5) {
  std::unique_lock<std::mutex> hold(lock_);
  digested_.wait(hold, [&] {
    return std::none_of(waiting_.begin(), waiting_.end(),
                        [md5](const Piece& p) { return p.md5 == md5; });
  });
}

void Md5LaneHasher::Loop() {
  std::vector<Piece> stepping;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    arrived_.wait(hold, [this] { return !waiting_.empty() || stop_; });
    if (waiting_.empty()) return;  // stopping, nothing left to digest
    // A copy: Submit may grow waiting_ while the step runs.
    const size_t take = std::min(waiting_.size(), Md5Batch::kLanes);
    stepping.assign(waiting_.begin(), waiting_.begin() + static_cast<ptrdiff_t>(take));
    hold.unlock();
    Step(stepping);
    hold.lock();
    if (Advance(stepping)) digested_.notify_all();
  }
}

void Md5LaneHasher::Step(std::vector<Piece>& pieces) const {
  Md5Context* contexts[Md5Batch::kLanes];
  const uint8_t* data[Md5Batch::kLanes];
  size_t sizes[Md5Batch::kLanes];
  for (size_t i = 0; i < pieces.size(); ++i) {
    Piece& p = pieces[i];
    contexts[i] = p.md5;
    data[i] = p.data + p.done;
    sizes[i] = std::min(kStep, p.size - p.done);
    p.done += sizes[i];
  }
  Md5Context::UpdateSideBySide(contexts, data, sizes, pieces.size());
}

bool Md5LaneHasher::Advance(const std::vector<Piece>& stepped) {
  bool ended = false;
  for (const Piece& s : stepped) {
    auto p = std::find_if(waiting_.begin(), waiting_.end(),
                          [&s](const Piece& w) { return w.md5 == s.md5; });
    if (s.done < s.size) {
      p->done = s.done;
    } else {
      waiting_.erase(p);
      ended = true;
    }
  }
  return ended;
}
