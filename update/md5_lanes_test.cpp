#include "update/md5_lanes.h"

#include <gtest/gtest.h>

#include <array>
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

// The message padded as MD5 pads it, in whole 64-byte blocks.
std::string Padded(const std::string& message) {
  std::string padded = message + '\x80';
  while (padded.size() % 64 != 56) padded += '\0';
  const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
  for (int i = 0; i < 8; ++i) padded += static_cast<char>(bits >> (8 * i));
  return padded;
}

// Each kernel this processor runs, for every count of digests side by side
// (so every grouping of the interleaved one), with lengths that differ
// between lanes and a lane with no blocks at all, whose state must stay.
TEST(Md5Lanes, EveryKernelGivesEachMessageTheDigestItHasAlone) {
  std::mt19937 random(11);
  for (Md5LaneKernel kernel : Md5LaneKernelsHere()) {
    for (size_t count = 1; count <= Md5Batch::kLanes + 1; ++count) {
      std::vector<std::string> messages(count), padded(count);
      std::vector<std::array<uint32_t, 4>> words(count);
      std::vector<uint32_t*> state(count);
      std::vector<const uint8_t*> data(count);
      std::vector<size_t> blocks(count);
      for (size_t l = 0; l < count; ++l) {
        messages[l].resize(random() % 3000);
        for (char& c : messages[l]) c = static_cast<char>(random());
        padded[l] = Padded(messages[l]);
        Md5InitialState(words[l].data());
        state[l] = words[l].data();
        data[l] = reinterpret_cast<const uint8_t*>(padded[l].data());
        // The third lane is handed no blocks.
        blocks[l] = l == 2 ? 0 : padded[l].size() / 64;
      }
      Md5BlocksSideBySide(state.data(), data.data(), blocks.data(), count, kernel);
      for (size_t l = 0; l < count; ++l) {
        std::array<uint32_t, 4> initial;
        Md5InitialState(initial.data());
        if (l == 2) {
          EXPECT_EQ(words[l], initial) << "count " << count;
          continue;
        }
        uint8_t digest[16];
        for (int i = 0; i < 16; ++i)
          digest[i] = static_cast<uint8_t>(words[l][i / 4] >> (8 * (i % 4)));
        EXPECT_EQ(Md5HexOf(digest), Md5Of(messages[l]))
            << "kernel " << static_cast<int>(kernel) << " count " << count << " lane " << l;
      }
    }
  }
  EXPECT_GE(Md5LanesBestGroup(Md5Batch::kLanes), 1u);
  EXPECT_LE(Md5LanesBestGroup(2), 2u);
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
