#include "update/mirror_set.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "update/testing/fake_clock.h"

namespace {

using std::chrono::milliseconds;

const std::vector<std::string> kThree = {"http://a/rel/", "http://b/rel/", "http://c/rel/"};

}  // namespace

TEST(MirrorSet, FailingAddressRestsForADoublingCoolDownAndTheNextOneIsPicked) {
  FakeClock clock;
  MirrorSet set(clock.Get(), milliseconds(100));
  set.SetAddresses(kThree);
  EXPECT_EQ(set.AdmittedCount(), 1u);  // only the first until a pass admits more
  set.Admit(1);
  set.Admit(2);

  bool resting = true;
  EXPECT_EQ(set.Pick(&resting), 0u);
  EXPECT_FALSE(resting);
  set.Penalise(0, "no connection");
  EXPECT_EQ(set.Pick(), 1u);
  set.Penalise(1, "503");
  set.Penalise(2, "stall");
  // Everything rests: the one whose rest ends first is tried.
  EXPECT_EQ(set.Pick(&resting), 0u);
  EXPECT_TRUE(resting);
  EXPECT_EQ((std::vector<size_t>{0, 1, 2}), set.MetadataOrder());
  // The outage of them all counts from the last one's first failure; more
  // failures do not restart it.
  EXPECT_EQ(set.OutageAge(), milliseconds(0));
  clock.now += milliseconds(700);
  set.Penalise(2, "stall");
  EXPECT_EQ(set.OutageAge(), milliseconds(700));

  // Rests of 100, 200, 400, 800 and then no longer than 800 ms.
  set.Served(0);
  EXPECT_EQ(set.OutageAge(), milliseconds(0));
  const long long expected[] = {100, 200, 400, 800, 800, 800};
  for (long long rest : expected) {
    set.Penalise(0, "no connection");
    clock.now += milliseconds(rest - 1);
    EXPECT_TRUE(set.Resting(0)) << rest;
    clock.now += milliseconds(1);
    EXPECT_FALSE(set.Resting(0)) << rest;
  }
  // Back after its rest, and a delivered file clears the penalty.
  EXPECT_EQ(set.Pick(), 0u);
  set.Served(0);
  set.Penalise(0, "503");
  clock.now += milliseconds(100);
  EXPECT_FALSE(set.Resting(0));
  set.Penalise(1, "503");
  EXPECT_EQ((std::vector<size_t>{0, 2, 1}), set.MetadataOrder());
}

TEST(MirrorSet, OnlyAdmittedAddressesServeAPassAndUrlsMoveBetweenThem) {
  FakeClock clock;
  MirrorSet set(clock.Get(), milliseconds(100));
  set.SetAddresses({"http://a/rel/", "http://a/rel/new/", "http://b/x/"});
  set.BeginPass(1);
  EXPECT_EQ(set.Primary(), 1u);
  EXPECT_EQ(set.Pick(), 1u);
  set.Penalise(1, "503");
  EXPECT_EQ(set.Pick(), 1u);  // nothing else admitted: it is tried again
  set.Admit(2);
  set.Skip(0, "it announces another client list");
  EXPECT_EQ(set.AdmittedCount(), 2u);
  EXPECT_EQ(set.Pick(), 2u);

  // The longest address a url starts with is the one replaced.
  EXPECT_EQ(set.Rebase("http://a/rel/new/data/f.bin", 2), "http://b/x/data/f.bin");
  EXPECT_EQ(set.Rebase("http://a/rel/data/f.bin", 1), "http://a/rel/new/data/f.bin");
  EXPECT_EQ(set.Rebase("http://elsewhere/f.bin", 0), "http://elsewhere/f.bin");

  set.SetAddresses({});
  EXPECT_EQ(set.Pick(), 0u);
  EXPECT_EQ(set.Rebase("http://a/rel/f", 0), "http://a/rel/f");
}

TEST(MirrorSet, WorkersMayPickPenaliseAndReportAtOnce) {
  MirrorSet set(MirrorSet::Clock(), milliseconds(1));
  set.SetAddresses(kThree);
  set.Admit(1);
  set.Admit(2);
  std::atomic<int> outOfRange{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&set, &outOfRange, w] {
      for (int i = 0; i < 2000; ++i) {
        size_t at = set.Pick();
        if (at >= 3) ++outOfRange;
        if ((i + w) % 3 == 0) {
          set.Penalise(at, "503");
        } else {
          set.Served(at);
        }
      }
    });
  }
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(outOfRange.load(), 0);
}

TEST(MirrorSet, CoolDownComesFromTheEnvironmentWhenSet) {
  setenv("KESTRAVA_MIRROR_COOL_DOWN_MS", "250", 1);
  EXPECT_EQ(MirrorSet::DefaultCoolDown(), milliseconds(250));
  setenv("KESTRAVA_MIRROR_COOL_DOWN_MS", "nonsense", 1);
  EXPECT_EQ(MirrorSet::DefaultCoolDown(), milliseconds(30000));
  unsetenv("KESTRAVA_MIRROR_COOL_DOWN_MS");
  EXPECT_EQ(MirrorSet::DefaultCoolDown(), milliseconds(30000));
}
