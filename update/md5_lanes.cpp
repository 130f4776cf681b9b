#include "update/md5_lanes.h"

#include <algorithm>
#include <chrono>
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

// The MD5 constants: the sines of the 64 steps, and each round's rotations.
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

#define KST_LANES_INLINE __attribute__((always_inline)) inline

// Round r's function of b, c and d, added to f: of single words, or of
// vectors of them. (Vectors pass by reference here: passing them by value
// outside a vector target changes the ABI.)
template <typename T>
KST_LANES_INLINE void AddMix(Round r, const T& b, const T& c, const T& d, T& f) {
  switch (r) {
    case Round::kF:
      f += d ^ (b & (c ^ d));
      return;
    case Round::kG:
      f += c ^ (d & (b ^ c));
      return;
    case Round::kH:
      f += b ^ c ^ d;
      return;
    case Round::kI:
      f += c ^ (b | ~d);
      return;
  }
}

// Word w of a block, which MD5 reads low byte first.
inline uint32_t WordAt(const uint8_t* block, int w) {
  const uint8_t* p = block + 4 * w;
  return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Adds `blocks` blocks of each of N digests to its state, the N digests'
// steps written one after another. One digest is a chain of dependent
// steps that leaves most of a core's arithmetic units idle; N chains side
// by side fill them, so on a core with many units N digests take about the
// time of one. The loops are unrolled whole (this file is built with -O3
// for it) so that the 4 N words of state stay in registers.
template <size_t N>
void InterleavedBlocks(uint32_t* const state[], const uint8_t* const data[], size_t blocks) {
  uint32_t h[4][N];
  for (size_t l = 0; l < N; ++l) {
    for (int k = 0; k < 4; ++k) h[k][l] = state[l][k];
  }
  for (size_t n = 0; n < blocks; ++n) {
    uint32_t a[N], b[N], c[N], d[N];
    for (size_t l = 0; l < N; ++l) a[l] = h[0][l], b[l] = h[1][l], c[l] = h[2][l], d[l] = h[3][l];
#pragma GCC unroll 64
    for (int i = 0; i < 64; ++i) {
      const Round r = static_cast<Round>(i / 16);
      const int s = kShift[i / 16][i % 4];
      const int w = WordOf(r, i % 16);
#pragma GCC unroll 3
      for (size_t l = 0; l < N; ++l) {
        uint32_t f = a[l] + kSine[i] + WordAt(data[l] + 64 * n, w);
        AddMix(r, b[l], c[l], d[l], f);
        a[l] = d[l];
        d[l] = c[l];
        c[l] = b[l];
        b[l] += (f << s) | (f >> (32 - s));
      }
    }
    for (size_t l = 0; l < N; ++l)
      h[0][l] += a[l], h[1][l] += b[l], h[2][l] += c[l], h[3][l] += d[l];
  }
  for (size_t l = 0; l < N; ++l) {
    for (int k = 0; k < 4; ++k) state[l][k] = h[k][l];
  }
}

// InterleavedBlocks for `count` digests of `blocks` blocks each. The four
// words of a digest's state fill four of the 15 registers at hand, so
// beyond three digests the spills cost more than the interleaving gains
// (four ran at half the speed of three): larger counts go in groups of
// two or three, one group after the other.
void InterleavedRun(size_t count, uint32_t* const state[], const uint8_t* const data[],
                    size_t blocks) {
  while (count > 0) {
    const size_t group = count == 4 ? 2 : std::min<size_t>(count, 3);
    switch (group) {
      case 1:
        InterleavedBlocks<1>(state, data, blocks);
        break;
      case 2:
        InterleavedBlocks<2>(state, data, blocks);
        break;
      default:
        InterleavedBlocks<3>(state, data, blocks);
    }
    state += group, data += group, count -= group;
  }
}

// Digests of unequal lengths: all run together for the shortest one's
// blocks, then the rest go on without it.
void InterleavedSideBySide(uint32_t* const state[], const uint8_t* const data[],
                           const size_t blocks[], size_t count) {
  uint32_t* states[Md5Batch::kLanes];
  const uint8_t* at[Md5Batch::kLanes];
  size_t left[Md5Batch::kLanes];
  size_t live = 0;
  for (size_t l = 0; l < count; ++l) {
    if (blocks[l] == 0) continue;
    states[live] = state[l], at[live] = data[l], left[live] = blocks[l];
    ++live;
  }
  while (live > 0) {
    const size_t run = *std::min_element(left, left + live);
    InterleavedRun(live, states, at, run);
    size_t kept = 0;
    for (size_t l = 0; l < live; ++l) {
      if (left[l] == run) continue;
      states[kept] = states[l], at[kept] = at[l] + 64 * run, left[kept] = left[l] - run;
      ++kept;
    }
    live = kept;
  }
}

#if defined(__x86_64__)

// The kernel is written once in the compiler's generic vectors and compiled
// twice: for AVX2, and for AVX-512VL, whose rotate and three-input logic
// instructions make each step about 1.6 times as fast. Nothing here is
// called outside a function compiled for one of the two.
using Words = uint32_t __attribute__((vector_size(32)));
using Counts = int32_t __attribute__((vector_size(32)));

template <Round R>
KST_LANES_INLINE void RoundOf(const Words* w, Words& a, Words& b, Words& c, Words& d) {
  constexpr int r = static_cast<int>(R);
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) {
    const int s = kShift[r][i % 4];
    Words f = w[WordOf(R, i)] + kSine[16 * r + i] + a;
    AddMix(R, b, c, d, f);
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

bool HasVectorLanes() {
#if defined(__x86_64__)
  return BestLaneUnit() != LaneUnit::kNone;
#else
  return false;
#endif
}

// The vector kernel for up to eight digests of unequal lengths; lanes past
// `count` digest nothing into a scratch state.
void VectorSideBySide(uint32_t* const state[], const uint8_t* const data[], const size_t blocks[],
                      size_t count) {
#if defined(__x86_64__)
  const LaneUnit unit = BestLaneUnit();
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
#else
  // Never chosen without vector lanes.
  InterleavedSideBySide(state, data, blocks, count);
#endif
}

void RunKernel(Md5LaneKernel kernel, uint32_t* const state[], const uint8_t* const data[],
               const size_t blocks[], size_t count) {
  if (kernel == Md5LaneKernel::kVector) {
    VectorSideBySide(state, data, blocks, count);
  } else {
    InterleavedSideBySide(state, data, blocks, count);
  }
}

// Which kernel digests k digests side by side fastest here, and from how
// many digests that beats digesting them one after another. Which is
// fastest differs between processors by more than the kernels differ in
// work: eight AVX-512 lanes ran 5 times as fast as one digest on one
// machine; on another they gained 3.5 times, one lane ran at less than half
// the speed of a digest alone, and three interleaved chains ran 2.8 times as
// fast. So each is timed once per process, on a few blocks (about 0.2 ms in
// all).
class LaneChoice {
 public:
  LaneChoice() {
    const double one = Time(Md5LaneKernel::kInterleaved, 1);
    const double vector = HasVectorLanes() ? Time(Md5LaneKernel::kVector, Md5Batch::kLanes) : 0;
    for (size_t k = 1; k <= Md5Batch::kLanes; ++k) {
      const double interleaved = Time(Md5LaneKernel::kInterleaved, k);
      const bool vectorWins = vector > 0 && vector < interleaved;
      best_[k] = vectorWins ? Md5LaneKernel::kVector : Md5LaneKernel::kInterleaved;
      const double cost = vectorWins ? vector : interleaved;
      rate_[k] = static_cast<double>(k) / cost;
      // A tenth to spare, so that a close call keeps one digest at a time.
      if (worthFrom_ == 0 && k >= 2 && cost < 0.9 * static_cast<double>(k) * one) worthFrom_ = k;
    }
  }
  Md5LaneKernel Best(size_t count) const { return best_[std::min(count, Md5Batch::kLanes)]; }
  size_t WorthFrom() const { return worthFrom_; }
  size_t BestGroup(size_t waiting) const {
    size_t best = 1;
    for (size_t k = 2; k <= std::min(waiting, Md5Batch::kLanes); ++k) {
      // Within a twentieth the larger group wins: it keeps more streams going.
      if (rate_[k] > 0.95 * rate_[best]) best = k;
    }
    return best;
  }

 private:
  static constexpr size_t kBlocks = 32;
  static constexpr int kRepeats = 5;

  // Seconds for `count` digests of kBlocks blocks each, the best of a few
  // runs, so that a run cut short by another thread does not count.
  static double Time(Md5LaneKernel kernel, size_t count) {
    static const std::vector<uint8_t> bytes(Md5Batch::kLanes * kBlocks * 64, 0x5a);
    uint32_t words[Md5Batch::kLanes][4] = {};
    uint32_t* state[Md5Batch::kLanes];
    const uint8_t* data[Md5Batch::kLanes];
    size_t blocks[Md5Batch::kLanes];
    for (size_t l = 0; l < Md5Batch::kLanes; ++l) {
      state[l] = words[l];
      data[l] = bytes.data() + l * kBlocks * 64;
      blocks[l] = kBlocks;
    }
    double best = 0;
    for (int run = 0; run < kRepeats; ++run) {
      const auto start = std::chrono::steady_clock::now();
      RunKernel(kernel, state, data, blocks, count);
      const double took =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (run == 0 || took < best) best = took;
    }
    return best;
  }

  Md5LaneKernel best_[Md5Batch::kLanes + 1] = {};
  double rate_[Md5Batch::kLanes + 1] = {};  // timed digests per second
  size_t worthFrom_ = 0;
};

const LaneChoice& Choice() {
  static const LaneChoice choice;
  return choice;
}

}  // namespace

size_t Md5LanesWorthFrom() {
  return Choice().WorthFrom();
}

size_t Md5LanesBestGroup(size_t waiting) {
  return Choice().BestGroup(waiting);
}

std::vector<Md5LaneKernel> Md5LaneKernelsHere() {
  if (HasVectorLanes()) return {Md5LaneKernel::kInterleaved, Md5LaneKernel::kVector};
  return {Md5LaneKernel::kInterleaved};
}

void Md5BlocksSideBySide(uint32_t* const state[], const uint8_t* const data[],
                         const size_t blocks[], size_t count) {
  Md5BlocksSideBySide(state, data, blocks, count, Choice().Best(count));
}

void Md5BlocksSideBySide(uint32_t* const state[], const uint8_t* const data[],
                         const size_t blocks[], size_t count, Md5LaneKernel kernel) {
  if (kernel == Md5LaneKernel::kVector && !HasVectorLanes()) kernel = Md5LaneKernel::kInterleaved;
  for (size_t first = 0; first < count; first += Md5Batch::kLanes) {
    RunKernel(kernel, state + first, data + first, blocks + first,
              std::min(count - first, Md5Batch::kLanes));
  }
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
    Md5BlocksSideBySide(states, message, blocks, count_);
    for (size_t l = 0; l < count_; ++l) digests.emplace_back(tags_[l], HexOfState(state[l]));
    count_ = 0;
    return digests;
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
    const size_t take = Md5LanesBestGroup(waiting_.size());
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
    Piece next = *p;
    waiting_.erase(p);
    if (s.done < s.size) {
      // To the back: when the step took fewer than were waiting, the others
      // go first next time.
      next.done = s.done;
      waiting_.push_back(next);
    } else {
      ended = true;
    }
  }
  return ended;
}
