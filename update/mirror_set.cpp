#include "update/mirror_set.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "diag/log.h"

namespace {

constexpr int kLongestRest = 8;  // times the cool-down

}  // namespace

MirrorSet::MirrorSet(Clock clock, std::chrono::milliseconds coolDown)
    : clock_(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now)),
      coolDown_(coolDown) {}

std::chrono::milliseconds MirrorSet::DefaultCoolDown() {
  const char* env = std::getenv("KESTRAVA_MIRROR_COOL_DOWN_MS");
  const long long ms = env != nullptr ? std::atoll(env) : 0;
  return std::chrono::milliseconds(ms > 0 ? ms : 30000);
}

void MirrorSet::SetAddresses(const std::vector<std::string>& urls) {
  std::lock_guard<std::mutex> hold(lock_);
  addresses_.clear();
  for (const std::string& url : urls) addresses_.push_back(Health{url});
  if (!addresses_.empty()) addresses_[0].admitted = true;
  primary_ = 0;
  lastServed_ = SIZE_MAX;
}

std::vector<std::string> MirrorSet::Addresses() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> urls;
  for (const Health& h : addresses_) urls.push_back(h.url);
  return urls;
}

size_t MirrorSet::Count() const {
  std::lock_guard<std::mutex> hold(lock_);
  return addresses_.size();
}

std::string MirrorSet::Address(size_t i) const {
  std::lock_guard<std::mutex> hold(lock_);
  return i < addresses_.size() ? addresses_[i].url : std::string();
}

std::vector<size_t> MirrorSet::MetadataOrder() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<size_t> order;
  for (size_t i = 0; i < addresses_.size(); ++i) {
    if (!RestingLocked(addresses_[i])) order.push_back(i);
  }
  for (size_t i = 0; i < addresses_.size(); ++i) {
    if (RestingLocked(addresses_[i])) order.push_back(i);
  }
  return order;
}

void MirrorSet::BeginPass(size_t primary) {
  std::lock_guard<std::mutex> hold(lock_);
  if (primary >= addresses_.size()) return;
  for (Health& h : addresses_) h.admitted = false;
  addresses_[primary].admitted = true;
  primary_ = primary;
}

size_t MirrorSet::Primary() const {
  std::lock_guard<std::mutex> hold(lock_);
  return primary_;
}

void MirrorSet::Admit(size_t i) {
  std::lock_guard<std::mutex> hold(lock_);
  if (i < addresses_.size()) addresses_[i].admitted = true;
}

void MirrorSet::Skip(size_t i, const std::string& why) {
  std::lock_guard<std::mutex> hold(lock_);
  if (i >= addresses_.size()) return;
  addresses_[i].admitted = false;
  WriteLog("Release address %s skipped for this pass: %s", addresses_[i].url.c_str(), why.c_str());
}

size_t MirrorSet::AdmittedCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<size_t>(std::count_if(addresses_.begin(), addresses_.end(),
                                           [](const Health& h) { return h.admitted; }));
}

size_t MirrorSet::Pick(bool* resting) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (resting) *resting = false;
  if (addresses_.empty()) return 0;
  size_t soonest = primary_;
  for (size_t i = 0; i < addresses_.size(); ++i) {
    const Health& h = addresses_[i];
    if (!h.admitted) continue;
    if (!RestingLocked(h)) return i;
    if (h.restUntil < addresses_[soonest].restUntil || !addresses_[soonest].admitted) soonest = i;
  }
  if (resting) *resting = true;
  return soonest;
}

void MirrorSet::Penalise(size_t i, const char* why) {
  std::lock_guard<std::mutex> hold(lock_);
  if (i >= addresses_.size()) return;
  Health& h = addresses_[i];
  const bool wasResting = RestingLocked(h);
  if (h.failures == 0) h.failingSince = clock_();
  h.failures = std::min(h.failures + 1, 30);
  const std::chrono::milliseconds rest = RestFor(h.failures);
  h.restUntil = clock_() + rest;
  if (!wasResting) {
    WriteLog("Release address %s failed (%s); resting it for %lld ms", h.url.c_str(), why,
             static_cast<long long>(rest.count()));
  }
}

void MirrorSet::Served(size_t i) {
  std::lock_guard<std::mutex> hold(lock_);
  if (i >= addresses_.size()) return;
  addresses_[i].failures = 0;
  addresses_[i].restUntil = TimePoint{};
  if (lastServed_ == i) return;
  lastServed_ = i;
  WriteLog("Release files now come from %s", addresses_[i].url.c_str());
}

bool MirrorSet::Resting(size_t i) const {
  std::lock_guard<std::mutex> hold(lock_);
  return i < addresses_.size() && RestingLocked(addresses_[i]);
}

std::chrono::milliseconds MirrorSet::OutageAge() const {
  std::lock_guard<std::mutex> hold(lock_);
  TimePoint since{};
  bool any = false;
  for (const Health& h : addresses_) {
    if (!h.admitted) continue;
    if (h.failures == 0) return std::chrono::milliseconds(0);
    since = std::max(since, h.failingSince);
    any = true;
  }
  if (!any) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_() - since);
}

std::string MirrorSet::Rebase(const std::string& url, size_t i) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (i >= addresses_.size()) return url;
  size_t matched = 0;  // the longest address the url starts with
  for (const Health& h : addresses_) {
    if (h.url.size() > matched && url.compare(0, h.url.size(), h.url) == 0) matched = h.url.size();
  }
  return matched == 0 ? url : addresses_[i].url + url.substr(matched);
}

bool MirrorSet::RestingLocked(const Health& h) const {
  return h.failures > 0 && clock_() < h.restUntil;
}

std::chrono::milliseconds MirrorSet::RestFor(int failures) const {
  const int times = std::min(1 << std::min(failures - 1, 3), kLongestRest);
  return coolDown_ * times;
}
