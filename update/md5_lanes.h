// MD5 of several whole messages at once: up to kLanes small items of a
// package are gathered and digested side by side, one message in each
// 32-bit lane of the vector unit. One MD5 is a chain of dependent steps
// that keeps a core waiting; eight chains side by side keep it busy, so a
// package of small files costs a fraction of the digest time it cost one
// message at a time. Without AVX2 each message is digested on its own, with
// the same result.
//
// Thread-safety: an Md5Batch belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class Md5Batch {
 public:
  static constexpr size_t kLanes = 8;
  // The largest message a lane takes; larger items are digested as streams.
  static constexpr size_t kMaxMessage = 64 * 1024;

  Md5Batch();
  Md5Batch(const Md5Batch&) = delete;
  Md5Batch& operator=(const Md5Batch&) = delete;

  // Where the next message is to be written: room for kMaxMessage bytes,
  // valid until the next Commit or Digest. The batch is never full here:
  // Commit says when it must be digested.
  char* NextBuffer();
  // Takes the first `size` (at most kMaxMessage) bytes of NextBuffer as the
  // next message, known to the caller by `tag`. True when the batch is now
  // full and must be digested before the next NextBuffer.
  bool Commit(size_t size, size_t tag);
  bool Empty() const { return count_ == 0; }
  // The lowercase hex digest of every committed message with its tag, in
  // commit order; the batch is empty afterwards.
  std::vector<std::pair<size_t, std::string>> Digest();

 private:
  // A lane's room: the largest message and its padding (at most two blocks).
  static constexpr size_t kLaneBytes = kMaxMessage + 128;

  std::unique_ptr<uint8_t[]> storage_;
  size_t sizes_[kLanes] = {};
  size_t tags_[kLanes] = {};
  size_t count_ = 0;
};
