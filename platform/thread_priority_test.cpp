#include "platform/thread_priority.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

// The lowered thread yields more; the thread that started it, and a thread
// started afterwards, keep their own priority.
TEST(ThreadPriority, LowersOnlyTheCallingThread) {
  const int before = platform::ThisThreadNiceValue();
  int lowered = 0;
  bool ok = false;
  std::thread([&] {
    ok = platform::LowerThisThreadPriority(3);
    lowered = platform::ThisThreadNiceValue();
  }).join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(lowered, std::min(before + 3, 19));
  EXPECT_EQ(platform::ThisThreadNiceValue(), before);
  int fresh = -100;
  std::thread([&] { fresh = platform::ThisThreadNiceValue(); }).join();
  EXPECT_EQ(fresh, before);
}

}  // namespace
