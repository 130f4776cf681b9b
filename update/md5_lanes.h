// MD5 of several whole messages at once: up to kLanes small items of a
// package are gathered and digested side by side. One MD5 is a chain of
// dependent steps that keeps a core waiting; eight chains side by side keep
// it busy, so a package of small files costs a fraction of the digest time
// it cost one message at a time. The chains run either interleaved on the
// scalar units or one in each lane of the vector unit, whichever is
// faster on this processor; the result is the same.
//
// The same lanes digest the large files of several workers at once
// (Md5LaneHasher): four workers unpacking four large files then need one
// core for their digests instead of all of both.
//
// Thread-safety: an Md5Batch belongs to one thread; the free functions
// share only the choice of kernel, made once per process on first use and
// never changed; Md5LaneHasher says its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class Md5Context;

// How many digests must run side by side for that to beat digesting them
// one after another on one core; 0 when it never does here.
size_t Md5LanesWorthFrom();

// How many of `waiting` digests to run side by side at once for the most
// bytes per second here; the others wait for the next turn. Fewer than all
// can be faster: three interleaved chains fit the registers, four do not.
size_t Md5LanesBestGroup(size_t waiting);

// The ways of digesting several messages side by side: chains of steps
// interleaved on the scalar units (every processor), or one message in
// each 32-bit lane of the vector unit (AVX2 or AVX-512VL).
enum class Md5LaneKernel { kInterleaved, kVector };

// The kernels this processor runs.
std::vector<Md5LaneKernel> Md5LaneKernelsHere();

// Adds blocks[i] whole 64-byte blocks of data[i] to the chaining state
// state[i] (four words) of `count` digests at once, with the kernel found
// fastest here for that many digests, or with `kernel` (a vector kernel
// the processor lacks stands in for the interleaved one).
void Md5BlocksSideBySide(uint32_t* const state[], const uint8_t* const data[],
                         const size_t blocks[], size_t count);
void Md5BlocksSideBySide(uint32_t* const state[], const uint8_t* const data[],
                         const size_t blocks[], size_t count, Md5LaneKernel kernel);

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

// One helper thread that digests the pieces several streams hand it (the
// BackgroundMd5 of each worker), side by side in the lanes. It goes through
// the waiting pieces a short step of each at a time, so that a piece handed
// over meanwhile joins the lanes at the next step instead of waiting for a
// whole round: the lanes stay full while every stream has work. Each step
// takes as many pieces as digest fastest together here (Md5LanesBestGroup),
// the ones that waited longest first.
//
// Thread-safety: Submit and Await are called from any number of threads,
// each for contexts of its own; the helper touches a context only between
// its Submit and the return of its Await.
class Md5LaneHasher {
 public:
  // Null when the lanes would not beat one digest per core here.
  static std::unique_ptr<Md5LaneHasher> StartIfWorthwhile();
  ~Md5LaneHasher();
  Md5LaneHasher(const Md5LaneHasher&) = delete;
  Md5LaneHasher& operator=(const Md5LaneHasher&) = delete;

  // Digests data[0, size) into `md5` in the background. Neither may be
  // touched until Await(md5) returns; one piece per context at a time.
  void Submit(Md5Context* md5, const char* data, size_t size);
  // Returns once `md5` has no piece waiting or being digested.
  void Await(const Md5Context* md5);

 private:
  // The bytes of each piece one step digests: short enough that a piece
  // handed over meanwhile soon joins, long enough to make the hand-over cheap.
  static constexpr size_t kStep = 16 * 1024;

  struct Piece {
    Md5Context* md5;
    const uint8_t* data;
    size_t size;
    size_t done;
  };

  Md5LaneHasher();
  void Loop();
  // Digests the next step of each piece, without the lock.
  void Step(std::vector<Piece>& pieces) const;
  // Counts the step done in waiting_, moving the stepped pieces behind the
  // others; true when a piece ended. lock_ held.
  bool Advance(const std::vector<Piece>& stepped);

  std::mutex lock_;
  std::condition_variable arrived_;   // waiting_ grew or stop_ was set
  std::condition_variable digested_;  // a piece ended
  std::vector<Piece> waiting_;        // guarded by lock_; one per context
  bool stop_ = false;                 // guarded by lock_
  std::thread thread_;
};
