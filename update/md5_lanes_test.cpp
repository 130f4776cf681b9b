#include "update/md5_lanes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "update/md5.h"

namespace {

std::string Md5Of(const std::string& bytes) {
  Md5Context md5;
  md5.Update(bytes.data(), bytes.size());
  return md5.HexDigest();
}

// Every padding case (a length ending just before, at and after the 56th
// byte of a block), empty and largest messages, lanes of unequal lengths
// and batches of every fill, against the one-message digest.
TEST(Md5Batch, GivesEachMessageTheDigestItHasAlone) {
  std::mt19937 random(7);
  const size_t lengths[] = {0,   1,   55,  56,   57,   63,   64,   65,    119,
                            120, 127, 128, 1000, 4096, 8192, 8191, 60000, Md5Batch::kMaxMessage};
  const size_t count = sizeof(lengths) / sizeof(lengths[0]);
  Md5Batch batch;
  for (size_t fill = 1; fill <= Md5Batch::kLanes; ++fill) {
    for (size_t start = 0; start < count; ++start) {
      std::vector<std::string> messages;
      for (size_t l = 0; l < fill; ++l) {
        std::string bytes(lengths[(start + 5 * l) % count], '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        std::memcpy(batch.NextBuffer(), bytes.data(), bytes.size());
        EXPECT_EQ(batch.Commit(bytes.size(), 100 + l), l + 1 == Md5Batch::kLanes);
        messages.push_back(bytes);
      }
      auto digests = batch.Digest();
      ASSERT_EQ(digests.size(), fill);
      EXPECT_TRUE(batch.Empty());
      for (size_t l = 0; l < fill; ++l) {
        EXPECT_EQ(digests[l].first, 100 + l);
        EXPECT_EQ(digests[l].second, Md5Of(messages[l]))
            << "fill " << fill << " lane " << l << " length " << messages[l].size();
      }
    }
  }
  EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

// Workers feeding their streams through the one shared helper, with pieces
// of every kind of size (inline ones below the hand-over size that leave a
// block half full, odd lengths, whole buffers), several digests per stream,
// each against the digest of the same bytes alone.
TEST(Md5LaneHasher, EachWorkersStreamGetsTheDigestItHasAlone) {
  auto lanes = Md5LaneHasher::StartIfWorthwhile();
  if (!lanes) GTEST_LOG_(INFO) << "no vector lanes here: each stream hashes on its own";
  constexpr int kWorkers = 5;
  std::vector<std::vector<std::string>> wanted(kWorkers), got(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      std::mt19937 random(w + 1);
      BackgroundMd5 stream(lanes.get());
      for (int file = 0; file < 3; ++file) {
        stream.Start();
        Md5Context alone;
        for (int piece = 0, turn = 0; piece < 12; ++piece, turn ^= 1) {
          const size_t sizes[] = {
              1, 63, 65, 1000, 64 * 1024 + 1, 100003, BackgroundMd5::kBufferSize};
          const size_t size = sizes[random() % 7];
          char* buffer = stream.Buffer(turn);
          for (size_t i = 0; i < size; ++i) buffer[i] = static_cast<char>(random());
          alone.Update(buffer, size);
          stream.Feed(buffer, size);
        }
        wanted[w].push_back(alone.HexDigest());
        got[w].push_back(stream.Finish());
      }
    });
  }
  for (std::thread& t : workers) t.join();
  for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(got[w], wanted[w]) << "worker " << w;
}

}  // namespace
