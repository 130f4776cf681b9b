// The answer to a request for several ranges at once ("Range: bytes=a-b,c-d"):
// a 206 whose body is "multipart/byteranges", each part introduced by a
// delimiter line and headers naming its range ("Content-Range: bytes a-b/n"):
//
//   \r\n--BOUNDARY\r\n
//   Content-Type: application/octet-stream\r\n
//   Content-Range: bytes 0-99/1000\r\n
//   \r\n
//   <100 bytes>\r\n
//   --BOUNDARY\r\n ... \r\n--BOUNDARY--\r\n
//
// The parser takes the body piece by piece as it arrives and hands on each
// part's range and then its bytes, so that nothing is held but one part's
// headers. A part's length comes from its Content-Range, never from
// scanning its bytes for the boundary: the bytes of a game file may hold
// anything.
//
// Thread-safety: a parser is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The boundary of a "multipart/byteranges; boundary=..." Content-Type (quoted
// or not); "" for any other type.
std::string ByteRangesBoundary(const std::string& contentType);

class ByteRangesParser {
 public:
  // onPart(from, to): a part of bytes [from, to] begins. onData: its bytes,
  // in pieces. Either returning false stops the parse.
  ByteRangesParser(std::string boundary, std::function<bool(int64_t, int64_t)> onPart,
                   std::function<bool(const char*, size_t)> onData);

  // False when the body is malformed (error() says how) or a callback said
  // stop (error() empty). Nothing is accepted after a false.
  bool Feed(const char* data, size_t size);
  // The closing delimiter has been seen.
  bool Finished() const { return state_ == State::kDone; }
  const std::string& error() const { return error_; }

 private:
  enum class State { kHead, kData, kDone, kFailed };
  enum class Head { kNeedMore, kPart, kEnd, kBad };

  // Reads the delimiter and headers in head_; *used is how many bytes of it
  // they took.
  Head ParseHead(size_t* used);
  bool Fail(const std::string& why);

  std::string delimiter_;  // "--" + boundary
  std::function<bool(int64_t, int64_t)> onPart_;
  std::function<bool(const char*, size_t)> onData_;
  State state_ = State::kHead;
  bool first_ = true;
  std::string head_;
  int64_t partFrom_ = 0, partTo_ = 0;
  int64_t remaining_ = 0;
  std::string error_;
};
