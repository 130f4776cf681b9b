#include "update/byteranges.h"

#include <algorithm>
#include <utility>

#include "util/text_util.h"

namespace {

// A part's delimiter and headers are a few hundred bytes; anything longer is
// not an answer to our request.
constexpr size_t kHeadLimit = 8192;

// Reads decimal digits at text[*at...]; false for none or a number too
// large for any file.
bool ReadNumber(const std::string& text, size_t* at, int64_t* value) {
  const size_t start = *at;
  *value = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
    if (*at - start >= 18) return false;
    *value = *value * 10 + (text[*at] - '0');
    ++*at;
  }
  return *at > start;
}

// "bytes FROM-TO/LENGTH" (LENGTH may be "*"). The length is not held
// against the range: some servers write 0 there, and the caller checks the
// range against what it asked for and every byte against its digest.
bool ParseContentRange(const std::string& value, int64_t* from, int64_t* to) {
  if (value.size() < 6 || !EqualNoCase(value.substr(0, 6), "bytes ")) return false;
  size_t at = value.find_first_not_of(' ', 6);
  if (at == std::string::npos || !ReadNumber(value, &at, from)) return false;
  if (at >= value.size() || value[at++] != '-' || !ReadNumber(value, &at, to)) return false;
  if (at >= value.size() || value[at++] != '/' || *to < *from) return false;
  int64_t length = 0;
  if (value.compare(at, std::string::npos, "*") == 0) return true;
  return ReadNumber(value, &at, &length) && at == value.size();
}

// The range of a part from its header lines; false when none names one.
bool FindContentRange(const std::string& headers, int64_t* from, int64_t* to) {
  size_t line = 0;
  while (line < headers.size()) {
    size_t end = headers.find("\r\n", line);
    if (end == std::string::npos) end = headers.size();
    const std::string text = headers.substr(line, end - line);
    const size_t colon = text.find(':');
    if (colon != std::string::npos && EqualNoCase(TrimBlanks(text.substr(0, colon)), "Content-Range")) {
      return ParseContentRange(TrimBlanks(text.substr(colon + 1)), from, to);
    }
    line = end + 2;
  }
  return false;
}

}  // namespace

std::string ByteRangesBoundary(const std::string& contentType) {
  const size_t semicolon = contentType.find(';');
  if (!EqualNoCase(TrimBlanks(contentType.substr(0, semicolon)), "multipart/byteranges")) return "";
  size_t at = semicolon;
  while (at != std::string::npos) {
    const size_t next = contentType.find(';', at + 1);
    const std::string param = TrimBlanks(contentType.substr(at + 1, next - at - 1));
    const size_t equals = param.find('=');
    if (equals != std::string::npos && EqualNoCase(TrimBlanks(param.substr(0, equals)), "boundary")) {
      std::string value = TrimBlanks(param.substr(equals + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      // RFC 2046: 1 to 70 characters.
      return value.size() <= 70 ? value : "";
    }
    at = next;
  }
  return "";
}

ByteRangesParser::ByteRangesParser(std::string boundary,
                                   std::function<bool(int64_t, int64_t)> onPart,
                                   std::function<bool(const char*, size_t)> onData)
    : delimiter_("--" + boundary), onPart_(std::move(onPart)), onData_(std::move(onData)) {}

bool ByteRangesParser::Fail(const std::string& why) {
  state_ = State::kFailed;
  error_ = why;
  return false;
}

ByteRangesParser::Head ByteRangesParser::ParseHead(size_t* used) {
  size_t at = 0;
  if (first_) {
    // A preamble may come before the first delimiter, which starts a line.
    at = head_.find(delimiter_);
    while (at != std::string::npos && at > 0 && head_[at - 1] != '\n') {
      at = head_.find(delimiter_, at + 1);
    }
    if (at == std::string::npos) return Head::kNeedMore;
  } else {
    // A part's bytes end with CRLF and the next delimiter.
    const std::string expected = "\r\n" + delimiter_;
    const size_t n = std::min(head_.size(), expected.size());
    if (head_.compare(0, n, expected, 0, n) != 0) return Head::kBad;
    if (n < expected.size()) return Head::kNeedMore;
    at = 2;
  }
  at += delimiter_.size();
  if (head_.size() < at + 2) return Head::kNeedMore;
  if (head_.compare(at, 2, "--") == 0) {
    *used = head_.size();
    return Head::kEnd;
  }
  const size_t lineEnd = head_.find("\r\n", at);
  if (lineEnd == std::string::npos) return Head::kNeedMore;
  if (head_.find_first_not_of(" \t", at) != lineEnd) return Head::kBad;
  const size_t blockEnd = head_.find("\r\n\r\n", lineEnd);
  if (blockEnd == std::string::npos) return Head::kNeedMore;
  // Every header line with its CRLF.
  const std::string headers = head_.substr(lineEnd + 2, blockEnd - lineEnd);
  if (!FindContentRange(headers, &partFrom_, &partTo_)) return Head::kBad;
  *used = blockEnd + 4;
  return Head::kPart;
}

bool ByteRangesParser::Feed(const char* data, size_t size) {
  while (size > 0) {
    if (state_ == State::kFailed) return false;
    if (state_ == State::kDone) return true;  // the epilogue is of no interest
    if (state_ == State::kData) {
      const size_t take = static_cast<size_t>(std::min<int64_t>(remaining_, size));
      if (!onData_(data, take)) return Fail("");
      data += take;
      size -= take;
      remaining_ -= static_cast<int64_t>(take);
      if (remaining_ == 0) state_ = State::kHead;
      continue;
    }
    const size_t before = head_.size();
    const size_t take = std::min(size, kHeadLimit - before);
    head_.append(data, take);
    size_t used = 0;
    switch (ParseHead(&used)) {
      case Head::kNeedMore:
        if (head_.size() >= kHeadLimit) return Fail("a part's headers are too long");
        data += take;
        size -= take;
        continue;
      case Head::kBad:
        return Fail(first_ ? "the first part is malformed" : "a part is malformed");
      case Head::kEnd:
        state_ = State::kDone;
        return true;
      case Head::kPart:
        break;
    }
    data += used - before;
    size -= used - before;
    head_.clear();
    first_ = false;
    state_ = State::kData;
    remaining_ = partTo_ - partFrom_ + 1;
    if (!onPart_(partFrom_, partTo_)) return Fail("");
  }
  return state_ != State::kFailed;
}
