// The bandwidth limit every transfer of the engine shares: one token bucket
// for all workers, so that four connections together stay under the limit
// a player or an operator set, rather than each of them.
//
// Thread-safety: every method takes the bucket's lock; the workers take
// from their threads while the update thread may change the rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class TokenBucket {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;

  // clock: steady_clock::now unless a test passes its own. No limit until
  // SetRate.
  explicit TokenBucket(Clock clock = Clock());

  // Bytes per second; 0 or less: no limit. The bytes already taken keep
  // their debt, which the new rate pays off.
  void SetRate(int64_t bytesPerSecond);
  int64_t rate() const;
  // The bytes that may pass at once after an idle spell: a tenth of a
  // second's worth, at least 64 KiB.
  int64_t burst() const;

  // Takes `count` bytes received and returns how long the taker must wait
  // before it receives more; zero while under the limit. Takers queue behind
  // one another's debt, so together they get the rate.
  std::chrono::nanoseconds Take(int64_t count);

 private:
  void RefillLocked(TimePoint now);
  int64_t BurstLocked() const;

  Clock clock_;
  mutable std::mutex lock_;
  int64_t rate_ = 0;   // guarded by lock_
  double tokens_ = 0;  // guarded by lock_; negative: bytes owed
  TimePoint last_{};   // guarded by lock_
};

// "5M", "500K", "2G" (powers of 1024), "1.5M" or plain bytes "65536" into
// bytes per second; "0" is no limit. False for anything else.
bool ParseByteRate(const std::string& text, int64_t* bytesPerSecond);
