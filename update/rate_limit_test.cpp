#include "update/rate_limit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "update/testing/fake_clock.h"

namespace {

using std::chrono::nanoseconds;

// Four takers each receiving pieces of `piece` bytes for `seconds` of fake
// time; each waits as long as the bucket tells it before its next piece.
// Returns the bytes received by all of them.
int64_t RunFourTakers(TokenBucket* bucket, FakeClock* clock, int64_t piece, double seconds) {
  std::array<TokenBucket::TimePoint, 4> readyAt{};
  readyAt.fill(clock->now);
  const TokenBucket::TimePoint end =
      clock->now + std::chrono::duration_cast<nanoseconds>(std::chrono::duration<double>(seconds));
  int64_t received = 0;
  // Bounded, so that a bucket that never makes anyone wait fails the case
  // instead of spinning.
  for (int pieces = 0; pieces < 1000000; ++pieces) {
    // The taker that is ready first receives next.
    auto next = std::min_element(readyAt.begin(), readyAt.end());
    if (*next >= end) break;
    clock->now = std::max(clock->now, *next);
    received += piece;
    *next = clock->now + bucket->Take(piece);
  }
  clock->now = end;
  return received;
}

}  // namespace

TEST(TokenBucket, FourTakersTogetherGetTheRateAfterOneBurstAndFollowAChange) {
  FakeClock clock;
  TokenBucket bucket(clock.Get());
  EXPECT_EQ(bucket.Take(1 << 30), nanoseconds::zero());  // no limit yet

  const int64_t rate = 10 << 20;
  bucket.SetRate(rate);
  EXPECT_EQ(bucket.burst(), rate / 10);
  // A burst passes at once, the next byte waits.
  EXPECT_EQ(bucket.Take(rate / 10), nanoseconds::zero());
  EXPECT_GT(bucket.Take(16384), nanoseconds::zero());
  clock.now += std::chrono::seconds(5);  // idle: the bucket fills to one burst only

  const int64_t got = RunFourTakers(&bucket, &clock, 16384, 10.0);
  // Ten seconds at the rate, plus one burst and at most one piece per taker.
  EXPECT_GE(got, rate * 10);
  EXPECT_LE(got, rate * 10 + rate / 10 + 4 * 16384);

  // Lowered while the takers run: the debt left is paid at the new rate.
  bucket.SetRate(2 << 20);
  const int64_t slower = RunFourTakers(&bucket, &clock, 16384, 10.0);
  EXPECT_GE(slower, (int64_t{2} << 20) * 10 - 4 * 16384 - (rate / 10));
  EXPECT_LE(slower, (int64_t{2} << 20) * 10 + (int64_t{2} << 20) / 10 + 4 * 16384);

  bucket.SetRate(0);  // lifted
  EXPECT_EQ(bucket.Take(int64_t{1} << 40), nanoseconds::zero());
}

TEST(TokenBucket, ByteRatesReadWithUnits) {
  int64_t r = -1;
  EXPECT_TRUE(ParseByteRate("5M", &r));
  EXPECT_EQ(r, 5 << 20);
  EXPECT_TRUE(ParseByteRate("500k", &r));
  EXPECT_EQ(r, 500 << 10);
  EXPECT_TRUE(ParseByteRate("1.5M", &r));
  EXPECT_EQ(r, 3 << 19);
  EXPECT_TRUE(ParseByteRate("65536", &r));
  EXPECT_EQ(r, 65536);
  EXPECT_TRUE(ParseByteRate("2G", &r));
  EXPECT_EQ(r, int64_t{2} << 30);
  EXPECT_TRUE(ParseByteRate("0", &r));
  EXPECT_EQ(r, 0);
  for (const char* bad : {"", "M", "-5M", "5MB", "5X", "fast", "1e400"}) {
    EXPECT_FALSE(ParseByteRate(bad, &r)) << bad;
  }
}
