#include "update/rate_limit.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int64_t kSmallestBurst = 64 * 1024;

}  // namespace

TokenBucket::TokenBucket(Clock clock)
    : clock_(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now)) {}

void TokenBucket::SetRate(int64_t bytesPerSecond) {
  std::lock_guard<std::mutex> hold(lock_);
  const TimePoint now = clock_();
  if (rate_ > 0) RefillLocked(now);
  const bool wasUnlimited = rate_ <= 0;
  rate_ = std::max<int64_t>(bytesPerSecond, 0);
  last_ = now;
  // A fresh limit starts with a full burst; a changed one keeps its debt.
  if (wasUnlimited) tokens_ = static_cast<double>(BurstLocked());
  tokens_ = std::min(tokens_, static_cast<double>(BurstLocked()));
}

int64_t TokenBucket::rate() const {
  std::lock_guard<std::mutex> hold(lock_);
  return rate_;
}

int64_t TokenBucket::burst() const {
  std::lock_guard<std::mutex> hold(lock_);
  return BurstLocked();
}

int64_t TokenBucket::BurstLocked() const {
  return std::max(rate_ / 10, kSmallestBurst);
}

void TokenBucket::RefillLocked(TimePoint now) {
  if (now <= last_) return;
  const double seconds = std::chrono::duration<double>(now - last_).count();
  tokens_ =
      std::min(tokens_ + seconds * static_cast<double>(rate_), static_cast<double>(BurstLocked()));
  last_ = now;
}

std::chrono::nanoseconds TokenBucket::Take(int64_t count) {
  std::lock_guard<std::mutex> hold(lock_);
  if (rate_ <= 0) return std::chrono::nanoseconds::zero();
  RefillLocked(clock_());
  tokens_ -= static_cast<double>(count);
  if (tokens_ >= 0) return std::chrono::nanoseconds::zero();
  return std::chrono::nanoseconds(
      static_cast<int64_t>(std::ceil(-tokens_ * 1e9 / static_cast<double>(rate_))));
}

bool ParseByteRate(const std::string& text, int64_t* bytesPerSecond) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  double unit = 1;
  switch (std::toupper(static_cast<unsigned char>(*end))) {
    case '\0':
      break;
    case 'K':
      unit = 1024.0;
      break;
    case 'M':
      unit = 1024.0 * 1024;
      break;
    case 'G':
      unit = 1024.0 * 1024 * 1024;
      break;
    default:
      return false;
  }
  if (*end != '\0' && end[1] != '\0') return false;
  const double bytes = number * unit;
  if (!std::isfinite(bytes) || bytes > 1e15) return false;
  *bytesPerSecond = static_cast<int64_t>(bytes);
  return true;
}
