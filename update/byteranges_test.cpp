#include "update/byteranges.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// What a parse handed on: "[from-to]" for each part, then its bytes.
struct Parsed {
  bool ok = false;
  bool finished = false;
  std::string error;
  std::string seen;
};

Parsed Parse(const std::string& body, size_t piece, const std::string& boundary = "3d6b6a416f9b5") {
  Parsed p;
  ByteRangesParser parser(
      boundary,
      [&](int64_t from, int64_t to) {
        p.seen += "[" + std::to_string(from) + "-" + std::to_string(to) + "]";
        return true;
      },
      [&](const char* data, size_t n) {
        p.seen.append(data, n);
        return true;
      });
  p.ok = true;
  for (size_t at = 0; at < body.size() && p.ok; at += piece) {
    p.ok = parser.Feed(body.data() + at, std::min(piece, body.size() - at));
  }
  p.finished = parser.Finished();
  p.error = parser.error();
  return p;
}

std::string Part(const std::string& range, const std::string& bytes) {
  return "\r\n--3d6b6a416f9b5\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes " +
         range + "\r\n\r\n" + bytes;
}

const std::string kEnd = "\r\n--3d6b6a416f9b5--\r\n";

// Part bytes that look like delimiters and headers are only bytes: a part's
// length comes from its range.
TEST(ByteRanges, PartsAreHandedOnWhateverTheyHoldAndHoweverTheBodyIsCut) {
  const std::string tricky = "\r\n--3d6b6a416f9b5--\r\n\r\n";
  // A length of 0, as one HTTP library writes it, is no reason to refuse.
  const std::string body = Part("0-4/100", "hello") + Part("20-42/0", tricky) +
                           Part("99-99/*", "z") + kEnd + "an epilogue";
  const std::string expected = "[0-4]hello[20-42]" + tricky + "[99-99]z";
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{64}, body.size()}) {
    const Parsed p = Parse(body, piece);
    EXPECT_TRUE(p.ok) << piece << ": " << p.error;
    EXPECT_TRUE(p.finished) << piece;
    EXPECT_EQ(p.seen, expected) << piece;
  }
  // A preamble and headers in any case and spacing; no end yet.
  const Parsed p = Parse("ignore me\r\n--3d6b6a416f9b5  \r\ncontent-range:bytes 5-6/7\r\n\r\nab", 3);
  EXPECT_TRUE(p.ok) << p.error;
  EXPECT_FALSE(p.finished);
  EXPECT_EQ(p.seen, "[5-6]ab");
}

TEST(ByteRanges, AMalformedBodyIsRefusedWithItsReason) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\r\n--3d6b6a416f9b5\r\nContent-Type: x\r\n\r\nabc", "the first part is malformed"},
      {Part("4-3/100", ""), "the first part is malformed"},
      {Part("0-4/5", "hello") + Part("5-5", "x"), "a part is malformed"},
      {Part("0-4/100", "helloX") + kEnd, "a part is malformed"},
      {Part("0-4/100", "hello") + "\r\n--other\r\n", "a part is malformed"},
      {Part("0-99999999999999999999/*", ""), "the first part is malformed"},
      {"\r\n--3d6b6a416f9b5\r\n" + std::string(9000, 'h'), "a part's headers are too long"},
      {std::string(9000, '-'), "a part's headers are too long"},
  };
  for (const auto& [body, why] : cases) {
    const Parsed p = Parse(body, 5);
    EXPECT_FALSE(p.ok) << body.substr(0, 80);
    EXPECT_EQ(p.error, why) << body.substr(0, 80);
  }
  // A callback's stop is not a malformed body.
  ByteRangesParser stopped("b", [](int64_t, int64_t) { return false; },
                           [](const char*, size_t) { return true; });
  const std::string body = "--b\r\nContent-Range: bytes 0-0/1\r\n\r\nx";
  EXPECT_FALSE(stopped.Feed(body.data(), body.size()));
  EXPECT_EQ(stopped.error(), "");
  EXPECT_FALSE(stopped.Feed("x", 1)) << "nothing after a stop";
}

TEST(ByteRanges, TheBoundaryComesOnlyFromAByteRangesType) {
  EXPECT_EQ(ByteRangesBoundary("multipart/byteranges; boundary=00000000001"), "00000000001");
  EXPECT_EQ(ByteRangesBoundary("Multipart/ByteRanges;charset=x; BOUNDARY=\"a b\""), "a b");
  EXPECT_EQ(ByteRangesBoundary("application/octet-stream"), "");
  EXPECT_EQ(ByteRangesBoundary("multipart/byteranges"), "");
  EXPECT_EQ(ByteRangesBoundary("multipart/mixed; boundary=x"), "");
  EXPECT_EQ(ByteRangesBoundary("multipart/byteranges; boundary=" + std::string(71, 'x')), "");
}

}  // namespace
