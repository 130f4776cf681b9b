#include "platform/display_connect.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform {
namespace {

TEST(ConnectWithRetry, ATurnedAwayConnectionIsTriedAgainWithinABound) {
  std::vector<int> pauses;
  auto record = [&pauses](int ms) { pauses.push_back(ms); };
  int calls = 0;
  EXPECT_TRUE(ConnectWithRetry([&calls] { return ++calls == 3; }, record));
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(pauses, (std::vector<int>{5, 10}));

  pauses.clear();
  calls = 0;
  EXPECT_FALSE(ConnectWithRetry([&calls] { return ++calls, false; }, record));
  EXPECT_EQ(calls, 12);
  int total = 0;
  for (int ms : pauses) total += ms;
  EXPECT_GT(total, 1000) << "long enough to outlast a burst of connections";
  EXPECT_LT(total, 3000) << "short enough that no display is reported soon";

  calls = 0;
  EXPECT_TRUE(ConnectWithRetry([&calls] { return ++calls, true; }, record));
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace platform
