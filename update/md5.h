// MD5 digests (RFC 1321) of memory and files, as the 32 lowercase hex
// characters that file lists carry in "Code", and the file checks built on
// them.
//
// Thread-safety: an Md5Context belongs to one thread (BackgroundMd5 says
// its own); the free functions
// keep no shared state and run on any number of threads at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class Md5LaneHasher;

// The chaining state MD5 starts from.
void Md5InitialState(uint32_t state[4]);

// One running digest. Init, Update any number of times, then HexDigest;
// asking for the digest again returns the same text.
class Md5Context {
 public:
  Md5Context() { Init(); }
  void Init();
  void Update(const void* data, size_t size);
  // Finalises on the first call after an Update.
  std::string HexDigest();
  const uint8_t* Digest();  // 16 bytes
  // Update of count (at most 8) contexts at once, each with its own piece;
  // the whole blocks of the pieces go through the vector lanes together
  // when there are enough of them to gain.
  static void UpdateSideBySide(Md5Context* const contexts[], const uint8_t* const data[],
                               const size_t sizes[], size_t count);

 private:
  void Finalize();
  void Transform(const uint8_t* block, size_t blocks);
  // The bytes of the last, partial block that `block` holds.
  size_t HeldBytes() const { return (bitCount[0] >> 3) & 63; }
  // Counts `bytes` more digested bytes (the length MD5 pads with).
  void CountBytes(uint64_t bytes);

  uint32_t state[4];
  uint32_t bitCount[2];  // low word first
  uint8_t block[64];
  uint8_t digest[16];
  uint8_t finalized;
};

// Digests bytes on a thread of its own while the next piece is read,
// decoded or written, so that hashing costs no extra wall time on a second
// core. Given an Md5LaneHasher, it hands its pieces to that shared helper
// instead, which digests the pieces of several streams side by side. It
// lends two buffers that callers fill by turns: one is hashed while the
// other fills. Without a second thread to be had, each piece is hashed
// where it is fed.
//
// Thread-safety: owned and driven by one thread; the helper thread (its
// own or the shared one) only hashes the piece it was handed.
class BackgroundMd5 {
 public:
  // Large pieces keep every stream's next piece waiting in the shared
  // helper while its writer fills the other buffer: with 256 KiB the
  // helper often found only one or two of four streams, and the 1 GiB
  // first install took 1.38 s against 1.16 s with 1 MiB (2 MiB gained no
  // more). The four workers' streams then hold 8 MiB.
  static constexpr size_t kBufferSize = 1024 * 1024;

  // lanes (borrowed, may be null; it outlives this object): the shared
  // helper to use instead of a thread of its own.
  explicit BackgroundMd5(Md5LaneHasher* lanes = nullptr);
  ~BackgroundMd5();
  BackgroundMd5(const BackgroundMd5&) = delete;
  BackgroundMd5& operator=(const BackgroundMd5&) = delete;

  // Begins a new digest.
  void Start();
  // Hashes data[0, size) in the background; the bytes must stay unchanged
  // until the next Feed or Finish returns. A small piece (all of a small
  // item) is hashed here: handing it over costs two thread switches, more
  // than its hashing, and other workers keep the cores busy anyway.
  void Feed(const char* data, size_t size);
  std::string Finish();
  // The two buffers of kBufferSize that take turns (0 and 1), kept for the
  // object's life: allocating them per file cost more than a small file's
  // own bytes.
  char* Buffer(int turn) { return buffers_[turn].get(); }

 private:
  static constexpr size_t kInlineHashBytes = 64 * 1024;
  void Wait();
  void Loop();

  std::mutex lock_;
  std::condition_variable wake_;
  const char* pending_ = nullptr;  // guarded by lock_
  size_t size_ = 0;                // guarded by lock_
  bool stop_ = false;              // guarded by lock_
  Md5Context md5_;                 // used by the helper while pending_ is set
  Md5LaneHasher* lanes_;           // borrowed; null: the own thread hashes
  std::unique_ptr<char[]> buffers_[2] = {std::make_unique_for_overwrite<char[]>(kBufferSize),
                                         std::make_unique_for_overwrite<char[]>(kBufferSize)};
  std::thread thread_;
};

// The 32 lowercase hex characters of a 16-byte digest.
std::string Md5HexOf(const uint8_t digest[16]);

// Hex digest of a file for tools that must tell a failed read from a short
// file: false, with errno's value in *error, when opening or reading failed.
bool DigestFile(const std::string& path, std::string* hex, int* error);

// Hex digest of a file, "" when it cannot be opened. A read error ends the
// file early, so the digest then mismatches any list entry.
std::string Md5OfFile(const std::string& path);

// True when the file's digest equals `expected` exactly (uppercase never
// matches). Logs the reason of a failure. stream (may be null): digests
// the file while its next piece is read (the checks of many files share
// the lanes so).
bool CheckFileMD5(std::string expected, std::string path, BackgroundMd5* stream = nullptr);

// CheckFileMD5 without log lines.
bool IsFileMD5Equal(std::string expected, std::string path);

// True only when the path exists and its last name is spelled exactly so,
// letter case included, also on a case-insensitive file system.
bool FileExistsWithExactName(std::string path);
