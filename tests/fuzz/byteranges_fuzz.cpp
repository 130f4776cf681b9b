// Fuzzes the multipart answer to a request for several ranges, which a
// server or a proxy on the way writes as it likes. Checked: however the body
// is cut into pieces, the parse hands on the same parts and bytes and ends
// the same way; each finished part brought exactly the bytes its range
// names; a refused body always says why.
#include <algorithm>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "update/byteranges.h"

namespace {

struct Outcome {
  bool ok = true;
  bool finished = false;
  std::string error;
  std::string seen;
};

Outcome Parse(const std::string& body, size_t piece) {
  Outcome o;
  int64_t expected = 0, got = 0;
  ByteRangesParser parser(
      "kb",
      [&](int64_t from, int64_t to) {
        FUZZ_CHECK(from <= to);
        FUZZ_CHECK(got == expected);  // the previous part was whole
        expected = to - from + 1;
        got = 0;
        o.seen += "[" + std::to_string(from) + "-" + std::to_string(to) + "]";
        return true;
      },
      [&](const char* data, size_t n) {
        got += static_cast<int64_t>(n);
        FUZZ_CHECK(got <= expected);
        o.seen.append(data, n);
        return true;
      });
  for (size_t at = 0; at < body.size() && o.ok; at += piece) {
    o.ok = parser.Feed(body.data() + at, std::min(piece, body.size() - at));
  }
  o.finished = parser.Finished();
  if (o.finished) FUZZ_CHECK(got == expected);
  o.error = parser.error();
  FUZZ_CHECK(o.ok || !o.error.empty());
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 61;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Outcome whole = Parse(body, std::max<size_t>(body.size(), 1));
  const Outcome pieces = Parse(body, piece);
  FUZZ_CHECK(whole.ok == pieces.ok);
  FUZZ_CHECK(whole.finished == pieces.finished);
  FUZZ_CHECK(whole.error == pieces.error);
  FUZZ_CHECK(whole.seen == pieces.seen);
  return 0;
}
