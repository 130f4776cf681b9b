#include "update/md5_lanes.h"

#include <cstring>

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

#if defined(__x86_64__)

// The digest bytes of a final state: its words, low byte first.
std::string HexOfState(const uint32_t state[4]) {
  uint8_t digest[16];
  for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(state[i / 4] >> (8 * (i % 4)));
  return Md5HexOf(digest);
}

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

#define KST_AVX2 __attribute__((target("avx2")))

template <Round R>
KST_AVX2 inline __m256i Mix(__m256i b, __m256i c, __m256i d) {
  if constexpr (R == Round::kF) {
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
  } else if constexpr (R == Round::kG) {
    return _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)));
  } else if constexpr (R == Round::kH) {
    return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
  } else {
    const __m256i ones = _mm256_set1_epi32(-1);
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, ones)));
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
KST_AVX2 inline void RoundOf(const __m256i* w, __m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  constexpr int r = static_cast<int>(R);
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) {
    const int s = kShift[r][i % 4];
    __m256i f = _mm256_add_epi32(
        _mm256_add_epi32(w[WordOf(R, i)], _mm256_set1_epi32(static_cast<int>(kSine[16 * r + i]))),
        a);
    f = _mm256_add_epi32(f, Mix<R>(b, c, d));
    f = _mm256_or_si256(_mm256_slli_epi32(f, s), _mm256_srli_epi32(f, 32 - s));
    a = d;
    d = c;
    c = b;
    b = _mm256_add_epi32(b, f);
  }
}

// Eight rows of eight words become eight columns: out[j] holds word j of
// every row.
KST_AVX2 inline void Transpose(const __m256i r[8], __m256i out[8]) {
  __m256i t[8], u[8];
  for (int k = 0; k < 4; ++k) {
    t[2 * k] = _mm256_unpacklo_epi32(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm256_unpackhi_epi32(r[2 * k], r[2 * k + 1]);
  }
  for (int k = 0; k < 2; ++k) {
    u[4 * k] = _mm256_unpacklo_epi64(t[4 * k], t[4 * k + 2]);
    u[4 * k + 1] = _mm256_unpackhi_epi64(t[4 * k], t[4 * k + 2]);
    u[4 * k + 2] = _mm256_unpacklo_epi64(t[4 * k + 1], t[4 * k + 3]);
    u[4 * k + 3] = _mm256_unpackhi_epi64(t[4 * k + 1], t[4 * k + 3]);
  }
  for (int j = 0; j < 4; ++j) {
    out[j] = _mm256_permute2x128_si256(u[j], u[j + 4], 0x20);
    out[j + 4] = _mm256_permute2x128_si256(u[j], u[j + 4], 0x31);
  }
}

// Digests eight padded messages of blocks[l] blocks each (lanes past the
// real messages are given an empty block run and their result ignored).
KST_AVX2 void DigestLanes(const uint8_t* const message[8], const int32_t blocks[8],
                          uint32_t state[8][4]) {
  static const uint8_t kIdle[64] = {};
  __m256i h[4] = {_mm256_set1_epi32(0x67452301), _mm256_set1_epi32(static_cast<int>(0xefcdab89)),
                  _mm256_set1_epi32(static_cast<int>(0x98badcfe)), _mm256_set1_epi32(0x10325476)};
  const __m256i counts = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks));
  int32_t most = 0;
  for (int l = 0; l < 8; ++l) most = blocks[l] > most ? blocks[l] : most;
  for (int32_t n = 0; n < most; ++n) {
    __m256i w[16];
    for (int half = 0; half < 2; ++half) {
      __m256i rows[8];
      for (int l = 0; l < 8; ++l) {
        const uint8_t* at = n < blocks[l] ? message[l] + 64 * static_cast<size_t>(n) : kIdle;
        rows[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32 * half));
      }
      Transpose(rows, w + 8 * half);
    }
    __m256i a = h[0], b = h[1], c = h[2], d = h[3];
    RoundOf<Round::kF>(w, a, b, c, d);
    RoundOf<Round::kG>(w, a, b, c, d);
    RoundOf<Round::kH>(w, a, b, c, d);
    RoundOf<Round::kI>(w, a, b, c, d);
    // Only lanes whose message still has this block take the result.
    const __m256i live = _mm256_cmpgt_epi32(counts, _mm256_set1_epi32(n));
    const __m256i sum[4] = {a, b, c, d};
    for (int k = 0; k < 4; ++k) {
      h[k] = _mm256_blendv_epi8(h[k], _mm256_add_epi32(h[k], sum[k]), live);
    }
  }
  alignas(32) uint32_t out[4][8];
  for (int k = 0; k < 4; ++k) _mm256_store_si256(reinterpret_cast<__m256i*>(out[k]), h[k]);
  for (int l = 0; l < 8; ++l) {
    for (int k = 0; k < 4; ++k) state[l][k] = out[k][l];
  }
}

bool HaveAvx2() {
  return __builtin_cpu_supports("avx2");
}

#endif

}  // namespace

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
#if defined(__x86_64__)
  // One message alone gains nothing from the lanes.
  if (count_ > 1 && HaveAvx2()) {
    const uint8_t* message[kLanes];
    int32_t blocks[kLanes] = {};
    for (size_t l = 0; l < kLanes; ++l) {
      message[l] = storage_.get() + l * kLaneBytes;
      if (l < count_)
        blocks[l] = static_cast<int32_t>(Pad(storage_.get() + l * kLaneBytes, sizes_[l]));
    }
    uint32_t state[kLanes][4];
    DigestLanes(message, blocks, state);
    for (size_t l = 0; l < count_; ++l) digests.emplace_back(tags_[l], HexOfState(state[l]));
    count_ = 0;
    return digests;
  }
#endif
  for (size_t l = 0; l < count_; ++l) {
    Md5Context md5;
    md5.Update(storage_.get() + l * kLaneBytes, sizes_[l]);
    digests.emplace_back(tags_[l], md5.HexDigest());
  }
  count_ = 0;
  return digests;
}
