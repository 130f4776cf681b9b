// A steady clock that a test moves by hand, for the parts that take one
// (MirrorSet, TokenBucket): rests and refills follow the test, not the
// machine.
// Thread-safety: none; the test's thread moves it while nothing else reads.
#pragma once

#include <chrono>
#include <functional>

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  std::function<std::chrono::steady_clock::time_point()> Get() {
    return [this] { return now; };
  }
};
