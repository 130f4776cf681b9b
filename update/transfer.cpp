#include "update/transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <functional>
#include <utility>

#include "diag/log.h"
#include "update/md5_lanes.h"
#include "util/file_util.h"

namespace {

constexpr size_t kWriteBuffer = 128 * 1024;

}  // namespace

// ---- FileAppender ----

FileAppender::~FileAppender() {
  if (fd_ >= 0) close(fd_);
}

// One open and one fstat for a fresh file: small files are many, and every
// system call counts there.
bool FileAppender::Open(const std::string& path, bool hash, int64_t expected) {
  hash_ = hash;
  ResetDigest();
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0 && errno == ENOENT) {  // folders are made only when missing
    CreateParentFolders(path);
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0) {
    error_ = errno;
    return false;
  }
  size_ = st.st_size;
  if (expected >= 0 && size_ != 0 && size_ != expected) {
    if (ftruncate(fd_, 0) != 0) {
      error_ = errno;
      return false;
    }
    size_ = 0;
    discarded_ = true;
  }
  if (hash_ && size_ > 0 && !(stream_ ? StreamExisting() : HashExisting())) return false;
  if (!stream_) buffer_.resize(kWriteBuffer);
  return true;
}

char* FileAppender::Buffer() {
  return stream_ ? stream_->Buffer(turn_) : buffer_.data();
}

size_t FileAppender::BufferSize() const {
  return stream_ ? BackgroundMd5::kBufferSize : buffer_.size();
}

// HashExisting through the stream's buffers, read in turns.
bool FileAppender::StreamExisting() {
  for (int64_t at = 0; at < size_; turn_ ^= 1) {
    const ssize_t n = pread(fd_, Buffer(), BackgroundMd5::kBufferSize, at);
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    stream_->Feed(Buffer(), static_cast<size_t>(n));
    at += n;
  }
  return true;
}

// A resumed file's digest must cover the part an earlier attempt wrote.
bool FileAppender::HashExisting() {
  std::vector<char> chunk(64 * 1024);
  for (int64_t at = 0; at < size_;) {
    const ssize_t n = pread(fd_, chunk.data(), chunk.size(), at);
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    AddToDigest(chunk.data(), static_cast<size_t>(n));
    at += n;
  }
  return true;
}

bool FileAppender::Restart() {
  used_ = 0;
  written_ = 0;
  size_ = 0;
  ResetDigest();
  if (ftruncate(fd_, 0) != 0) {
    error_ = errno;
    failed_ = true;
    return false;
  }
  return true;
}

bool FileAppender::Append(const char* data, size_t size) {
  if (failed_) return false;
  if (stream_) {
    // Every byte goes through the buffers: the stream digests them there
    // while the other buffer fills. Each slice of kWriteBuffer is written
    // as soon as it is there, while it is still in the cache: writing the
    // whole buffer at once made the 1 GiB download of differences take
    // 0.1 to 0.7 s longer.
    size_ += static_cast<int64_t>(size);
    while (size > 0) {
      const size_t take = std::min(size, BufferSize() - used_);
      memcpy(Buffer() + used_, data, take);
      used_ += take;
      data += take;
      size -= take;
      if (used_ == BufferSize()) {
        if (!Flush()) return false;
      } else if (used_ - written_ >= kWriteBuffer && !WriteOut()) {
        return false;
      }
    }
    return true;
  }
  if (hash_) AddToDigest(data, size);
  size_ += static_cast<int64_t>(size);
  if (used_ + size > buffer_.size() && !Flush()) return false;
  if (size >= buffer_.size()) {
    if (WriteAll(fd_, data, size)) return true;
    error_ = errno;
    failed_ = true;
    return false;
  }
  memcpy(buffer_.data() + used_, data, size);
  used_ += size;
  return true;
}

bool FileAppender::WriteOut() {
  if (!WriteAll(fd_, Buffer() + written_, used_ - written_)) {
    error_ = errno;
    failed_ = true;
  }
  written_ = used_;
  return !failed_;
}

bool FileAppender::Flush() {
  if (used_ == 0) return !failed_;
  if (stream_) stream_->Feed(Buffer(), used_);
  WriteOut();
  if (stream_) turn_ ^= 1;
  used_ = 0;
  written_ = 0;
  return !failed_;
}

bool FileAppender::Close() {
  if (fd_ < 0) return !failed_;
  Flush();
  if (close(fd_) != 0 && !failed_) {
    error_ = errno;
    failed_ = true;
  }
  fd_ = -1;
  return !failed_;
}

std::string FileAppender::HexDigest() {
  if (!hash_) return std::string();
  if (stream_) return stream_->Finish();
  return sha256_ ? sha256_->HexDigest() : md5_.HexDigest();
}

void FileAppender::ResetDigest() {
  md5_.Init();
  if (useSha256_) {
    sha256_ = std::make_unique<platform::Sha256>();
  } else if (lanes_ && hash_) {
    if (!stream_) stream_ = std::make_unique<BackgroundMd5>(lanes_);
    stream_->Start();
  }
}

void FileAppender::AddToDigest(const char* data, size_t size) {
  if (sha256_) {
    sha256_->Update(data, size);
  } else {
    md5_.Update(data, size);
  }
}

// ---- One attempt, shared by the workers and the single-file path ----

namespace {

// Receives one attempt into its file. `stop` is asked before each piece;
// `onPiece` is told the size of each piece written; a body that passes
// `limit` bytes in all can never become the right file and is cut off.
class AttemptReceiver : public HttpReceiver {
 public:
  AttemptReceiver(FileAppender* file, int64_t rangeFrom, int64_t limit, std::function<bool()> stop,
                  std::function<void(int64_t)> onPiece)
      : file_(file),
        rangeFrom_(rangeFrom),
        limit_(limit),
        stop_(std::move(stop)),
        onPiece_(std::move(onPiece)) {}

  bool OnResponse(int status, int64_t) override {
    status_ = status;
    if (!IsSuccessStatus(status)) return false;  // an error page is not the file
    // A server that ignores the range sends the whole file again.
    if (rangeFrom_ > 0 && status == 200 && !file_->Restart()) writeFailed_ = true;
    return !writeFailed_;
  }

  bool OnBody(const char* data, size_t size) override {
    if (ShouldStop()) return false;
    if (!file_->Append(data, size)) {
      writeFailed_ = true;
      return false;
    }
    if (onPiece_) onPiece_(static_cast<int64_t>(size));
    if (file_->size() > limit_) {
      tooLong_ = true;
      return false;
    }
    return true;
  }

  bool ShouldStop() override {
    if (!stopped_ && stop_()) stopped_ = true;
    return stopped_;
  }

  int status() const { return status_; }
  bool stopped() const { return stopped_; }
  bool writeFailed() const { return writeFailed_; }
  bool tooLong() const { return tooLong_; }

 private:
  FileAppender* file_;
  int64_t rangeFrom_;
  int64_t limit_;
  std::function<bool()> stop_;
  std::function<void(int64_t)> onPiece_;
  int status_ = 0;
  bool stopped_ = false;
  bool writeFailed_ = false;
  bool tooLong_ = false;
};

}  // namespace

Attempt FetchInto(HttpClient* client, const std::string& url, FileAppender* file, int64_t limit,
                  const HttpTimeouts& timeouts, std::function<bool()> stop,
                  std::function<void(int64_t)> onPiece) {
  AttemptReceiver receiver(file, file->size(), limit, std::move(stop), std::move(onPiece));
  Attempt a;
  a.http = client->Get(url, file->size(), timeouts, &receiver);
  const bool closed = file->Close();
  a.status = receiver.status();
  a.stopped = receiver.stopped();
  a.writeFailed = receiver.writeFailed() || !closed;
  a.tooLong = receiver.tooLong();
  return a;
}
