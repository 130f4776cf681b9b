// The release's addresses (a CDN's edges or mirrors, in order of preference)
// and how well each has served lately. An address that fails a transfer
// (no connection, a 5xx answer, a short body, a stall) gets a penalty and
// rests for a cool-down that doubles with each failure in a row, up to
// eight times the base; the next attempt goes to the next address. Within
// one pass only the addresses admitted for it are used: the one the
// metadata came from, and those shown to publish the same release.
//
// Thread-safety: every method takes the set's lock; the workers pick,
// penalise and report from their threads while the update thread admits.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class MirrorSet {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;

  // clock: steady_clock::now unless a test passes its own. coolDown: the
  // rest after a first failure.
  explicit MirrorSet(Clock clock = Clock(), std::chrono::milliseconds coolDown = DefaultCoolDown());

  // 30 s, or KESTRAVA_MIRROR_COOL_DOWN_MS when set to a positive number
  // (tests shorten it).
  static std::chrono::milliseconds DefaultCoolDown();

  // Replaces the addresses (each ending with "/"); all are healthy and only
  // the first is admitted.
  void SetAddresses(const std::vector<std::string>& urls);
  std::vector<std::string> Addresses() const;
  size_t Count() const;
  std::string Address(size_t i) const;

  // The order in which a pass asks for its metadata: the resting addresses
  // after the healthy ones, each group in order of preference.
  std::vector<size_t> MetadataOrder() const;
  // Starts a pass whose metadata comes from `primary`: only it is admitted.
  void BeginPass(size_t primary);
  size_t Primary() const;
  // Admits another address for the pass.
  void Admit(size_t i);
  // Keeps an address out of the pass, with one log line naming it.
  void Skip(size_t i, const std::string& why);
  size_t AdmittedCount() const;

  // The admitted address the next attempt should use: the first healthy
  // one, else the one whose rest ends first. *resting tells which case.
  size_t Pick(bool* resting = nullptr) const;
  // An attempt at address i failed for `why`; logged when it starts to rest.
  void Penalise(size_t i, const char* why);
  // Address i delivered a file: its penalty is cleared. The log names the
  // serving address once per change.
  void Served(size_t i);
  bool Resting(size_t i) const;
  // How long every admitted address has been failing (since the last of
  // them failed first); zero while one of them has not failed since it last
  // delivered. Waiting out an outage of them all pays only while it is short.
  std::chrono::milliseconds OutageAge() const;

  // url (below any of the addresses) moved below address i; other urls
  // are returned as they are.
  std::string Rebase(const std::string& url, size_t i) const;

 private:
  struct Health {
    std::string url;
    int failures = 0;  // in a row
    TimePoint failingSince{};  // the first of those failures
    TimePoint restUntil{};
    bool admitted = false;
  };
  bool RestingLocked(const Health& h) const;
  std::chrono::milliseconds RestFor(int failures) const;

  Clock clock_;
  const std::chrono::milliseconds coolDown_;
  mutable std::mutex lock_;
  std::vector<Health> addresses_;  // guarded by lock_
  size_t primary_ = 0;             // guarded by lock_
  size_t lastServed_ = SIZE_MAX;   // guarded by lock_
};
