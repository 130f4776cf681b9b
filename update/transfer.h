// Pieces shared by the two transfer paths (the workers' task transfer and
// the engine's single-file transfer): appending received bytes to the local
// file through a buffer while hashing them, so that a fetched file is
// verified without reading it back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "platform/http.h"
#include "update/md5.h"

// Appends to one local file for one transfer attempt, and keeps the MD5 (or
// the SHA-256) of the whole file (the part already on disk, when asked, and
// every byte appended). Closes the file on destruction.
// Thread-safety: one object per attempt, used by one thread.
class FileAppender {
 public:
  FileAppender() = default;
  ~FileAppender();
  FileAppender(const FileAppender&) = delete;
  FileAppender& operator=(const FileAppender&) = delete;

  // Opens path for appending, creating it (and its folders) when missing.
  // hash: keep a digest of the file, starting with the bytes already in it.
  // expected (0 or more): the size the file must have to be resumed; a file
  // of another size is emptied first (left by an earlier run). size()
  // then tells how much is there.
  bool Open(const std::string& path, bool hash, int64_t expected = -1);
  // Before Open: the digest kept is SHA-256 instead of MD5 (the files a
  // signed release names), so that it costs no second read of the file.
  void UseSha256() { useSha256_ = true; }
  // Before Open, for a large file's MD5: the digest is taken by the shared
  // lane helper (borrowed; it outlives this object) while the next bytes
  // arrive, instead of on the receiving thread. The write buffers are then
  // the stream's two, which take turns.
  void DigestInLanes(Md5LaneHasher* lanes) { lanes_ = lanes; }
  // Empties the file and the digest: the server sent the whole file
  // although a later part was asked for.
  bool Restart();
  bool Append(const char* data, size_t size);
  // Flushes and closes; false when a write failed.
  bool Close();

  int64_t size() const { return size_; }
  // Whether Open emptied a file of an unexpected size.
  bool discardedLeftover() const { return discarded_; }
  // The digest of the file's content, once closed ("" when not hashing).
  std::string HexDigest();
  // errno of the first failure, 0 when none.
  int error() const { return error_; }

 private:
  bool Flush();
  // Writes the part of the buffer not yet written.
  bool WriteOut();
  // The buffer Append fills: the stream's turn, or buffer_.
  char* Buffer();
  size_t BufferSize() const;
  bool HashExisting();
  bool StreamExisting();
  void ResetDigest();
  void AddToDigest(const char* data, size_t size);

  int fd_ = -1;
  bool discarded_ = false;
  std::vector<char> buffer_;
  size_t used_ = 0;
  size_t written_ = 0;  // the first bytes of used_ already in the file
  int64_t size_ = 0;
  bool hash_ = false;
  bool failed_ = false;
  int error_ = 0;
  Md5Context md5_;
  bool useSha256_ = false;
  std::unique_ptr<platform::Sha256> sha256_;  // when useSha256_
  Md5LaneHasher* lanes_ = nullptr;            // borrowed
  std::unique_ptr<BackgroundMd5> stream_;     // the MD5 when lanes_ is set
  int turn_ = 0;                              // stream_'s buffer being filled
};

// True for the 2xx statuses that carry the requested bytes.
inline bool IsSuccessStatus(int status) {
  return status >= 200 && status < 300;
}

// What one transfer attempt came to; each caller words its own log lines.
struct Attempt {
  HttpResult http;
  int status = 0;  // 0: no answer
  bool stopped = false;
  bool writeFailed = false;  // writing or closing the file failed
  bool tooLong = false;
};

// One attempt, shared by the workers and the single-file fetch: fetches url
// from the open file's current size on into it (a server that ignores the
// range starts it again), then closes it. `stop` is asked before each
// piece; `onPiece` is told the size of each piece written; a body that
// passes `limit` bytes in all is cut off.
Attempt FetchInto(HttpClient* client, const std::string& url, FileAppender* file, int64_t limit,
                  const HttpTimeouts& timeouts, std::function<bool()> stop,
                  std::function<void(int64_t)> onPiece);
