#include "update/delta_fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "diag/log.h"
#include "platform/crypto.h"
#include "update/chunk_map.h"
#include "update/install_state.h"
#include "update/transfer.h"
#include "util/file_util.h"

namespace {

// Above this share of the file a delta saves too little to be worth the
// reading and the extra requests: the whole file is fetched.
constexpr int64_t kMostOfTheFilePercent = 60;

// How the old copy was cut.
enum class LocalChunks { kFound, kTooFew, kNothingInCommon, kUnreadable };

// A big old copy is first probed in a few windows spread over it: when not
// one chunk of any window is wanted, the file changed throughout (a new
// build of a packed archive) and is fetched whole without being cut. A
// window's first chunk starts anywhere; the cuts fall back into step
// within a chunk or two.
constexpr int64_t kProbedFileSize = int64_t{32} << 20;
constexpr int64_t kProbeWindowSize = int64_t{2} << 20;
constexpr int kProbeWindows = 5;

template <typename IsWanted>
bool ProbeFindsAChunk(const std::string& oldCopy, int64_t oldSize, const ChunkParams& params,
                      const IsWanted& isWanted) {
  if (oldSize < kProbedFileSize) return true;
  const int fd = open(oldCopy.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // the full pass reports it
  std::string window(static_cast<size_t>(kProbeWindowSize), '\0');
  bool found = false;
  for (int i = 0; i < kProbeWindows && !found; ++i) {
    const off_t at = static_cast<off_t>((oldSize - kProbeWindowSize) * i / (kProbeWindows - 1));
    if (pread(fd, window.data(), window.size(), at) != kProbeWindowSize) {
      found = true;  // let the full pass decide
      break;
    }
    ForEachChunk(params, window.data(), window.size(), [&](int64_t, const char* data, size_t n) {
      found = found || isWanted(data, n);
    });
  }
  close(fd);
  return found;
}

// Where each chunk of the new file can be copied from in the old copy; -1
// for the chunks that must be fetched. Chunks are matched by length and
// fast hash; the MD5 of the assembled file proves the match. Cutting stops
// (kTooFew) once the rest of the old copy could no longer supply `needed`
// bytes: a file that changed throughout is not hashed to its end first.
LocalChunks FindLocalChunks(const std::string& oldCopy, const ChunkMap& map, int64_t needed,
                            const std::function<bool()>& stop, std::vector<int64_t>* offsets) {
  struct Wanted {
    int64_t at = -1;
    uint32_t length = 0;
    int64_t uses = 0;  // chunks of the new file with this content
  };
  std::unordered_map<uint64_t, Wanted> wanted;
  int64_t mostUses = 1;
  for (const ChunkEntry& e : map.chunks) {
    Wanted& w = wanted[e.fastHash];
    w.length = e.length;
    mostUses = std::max(mostUses, ++w.uses);
  }
  const int64_t oldSize = FileSizeOf(oldCopy);
  auto isWanted = [&](const char* data, size_t n) {
    auto it = wanted.find(FastChunkHash(data, n));
    return it != wanted.end() && it->second.length == n;
  };
  if (!ProbeFindsAChunk(oldCopy, oldSize, map.params, isWanted)) {
    return LocalChunks::kNothingInCommon;
  }
  int64_t found = 0;
  bool tooFew = false;
  const bool read =
      ForEachChunkOfFile(oldCopy, map.params, [&](int64_t at, const char* data, size_t n) {
        auto it = wanted.find(FastChunkHash(data, n));
        if (it != wanted.end() && it->second.length == n && it->second.at < 0) {
          it->second.at = at;
          found += static_cast<int64_t>(n) * it->second.uses;
        }
        const int64_t rest = oldSize - at - static_cast<int64_t>(n);
        tooFew = found + rest * mostUses < needed;
        return !tooFew && !stop();
      });
  if (tooFew) return LocalChunks::kTooFew;
  if (!read) return LocalChunks::kUnreadable;
  offsets->clear();
  for (const ChunkEntry& e : map.chunks) offsets->push_back(wanted[e.fastHash].at);
  return LocalChunks::kFound;
}

// Receives one range into the assembled file, checking each chunk of it
// against the map as its last byte arrives.
class RangeReceiver : public HttpReceiver {
 public:
  RangeReceiver(FileAppender* out, const ChunkMap& map, const FetchRange& range,
                const std::function<bool()>& stop, std::function<void(int64_t)> received)
      : out_(out),
        map_(map),
        range_(range),
        stop_(stop),
        onPiece_(std::move(received)),
        chunk_(range.firstChunk) {}

  bool OnResponse(int status, int64_t) override {
    status_ = status;
    return status == 206;
  }

  bool OnBody(const char* data, size_t size) override {
    if (ShouldStop()) return false;
    onPiece_(static_cast<int64_t>(size));
    while (size > 0) {
      if (received_ >= range_.length) return Fail("a body longer than the range");
      const uint32_t length = map_.chunks[chunk_].length;
      const size_t take = std::min<size_t>(size, length - inChunk_);
      if (!out_->Append(data, take)) return Fail("the file cannot be written");
      sha_->Update(data, take);
      inChunk_ += take;
      received_ += static_cast<int64_t>(take);
      data += take;
      size -= take;
      if (inChunk_ == length && !ChunkDone()) return false;
    }
    return true;
  }

  bool ShouldStop() override {
    if (!stopped_ && stop_()) stopped_ = true;
    return stopped_;
  }

  int status() const { return status_; }
  bool stopped() const { return stopped_; }
  bool complete() const { return failure_.empty() && received_ == range_.length; }
  const std::string& failure() const { return failure_; }

 private:
  bool ChunkDone() {
    const std::string hex = sha_->HexDigest();
    sha_ = std::make_unique<platform::Sha256>();
    const std::array<uint8_t, 32>& expected = map_.chunks[chunk_].sha256;
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < expected.size(); ++i) {
      if (hex[2 * i] != kDigits[expected[i] >> 4] || hex[2 * i + 1] != kDigits[expected[i] & 15]) {
        return Fail("chunk " + std::to_string(chunk_) + " does not match its map");
      }
    }
    ++chunk_;
    inChunk_ = 0;
    return true;
  }
  bool Fail(const std::string& why) {
    if (failure_.empty()) failure_ = why;
    return false;
  }

  FileAppender* out_;
  const ChunkMap& map_;
  const FetchRange& range_;
  const std::function<bool()>& stop_;
  std::function<void(int64_t)> onPiece_;
  size_t chunk_;
  size_t inChunk_ = 0;
  int64_t received_ = 0;
  std::unique_ptr<platform::Sha256> sha_ = std::make_unique<platform::Sha256>();
  int status_ = 0;
  bool stopped_ = false;
  std::string failure_;
};

}  // namespace

void DeltaFetch::Received(int64_t count) {
  state_->Counters().AddReceived(count);
  if (throttle_) throttle_(count);
}

DeltaFetch::DeltaFetch(InstallState* state, HttpClient* http, const HttpTimeouts* timeouts,
                       std::function<bool()> stop)
    : state_(state), http_(http), timeouts_(timeouts), stop_(std::move(stop)) {}

DeltaOutcome DeltaFetch::Unused(const DownloadTask& task, const std::string& why) {
  WriteLog("Delta Not Used For %s: %s, Fetching The Whole File",
           FileNameOf(task.targetPath).c_str(), why.c_str());
  RemoveFileIfPresent(task.downloadPath);
  return DeltaOutcome::kUnused;
}

bool DeltaFetch::LoadMap(const DownloadTask& task, ChunkMap* map, int64_t* mapBytes,
                         std::string* why) {
  const std::string path = task.downloadPath + ".map";
  RemoveFileIfPresent(path);
  FileAppender file;
  const bool signedRelease = state_->SignedReleases();
  if (signedRelease) file.UseSha256();
  if (!file.Open(path, signedRelease)) {
    *why = "the map cannot be written";
    return false;
  }
  const Attempt a = FetchInto(http_, task.deltaMapUrl, &file, kChunkMapLimit, *timeouts_, stop_,
                              [this](int64_t n) { Received(n); });
  std::string bytes;
  if (a.status != 200 && a.status != 206) {
    *why = a.status == 0 ? "no chunk map (" + a.http.message + ")"
                         : "no chunk map (status " + std::to_string(a.status) + ")";
  } else if (a.tooLong || a.writeFailed) {
    *why = "the chunk map is too large or cannot be written";
  } else if (!state_->CheckFetchedReleaseFile(task.deltaMap, path, file.HexDigest())) {
    *why = "release.sig refuses its chunk map";
  } else if (!ReadWholeFile(path, kChunkMapLimit, &bytes) || !ParseChunkMap(bytes, map, why)) {
    if (why->empty()) *why = "the chunk map cannot be read";
  } else if (map->fileSize != task.size || map->md5 != task.code) {
    *why = "the chunk map describes another file";
  }
  RemoveFileIfPresent(path);
  *mapBytes = static_cast<int64_t>(bytes.size());
  return why->empty();
}

DeltaOutcome DeltaFetch::Fetch(const DownloadTask& task, std::string* md5) {
  if (task.deltaMap.empty() || !IsPlainFile(task.targetPath) || FileSizeOf(task.targetPath) <= 0) {
    return DeltaOutcome::kUnused;
  }
  ChunkMap map;
  int64_t mapBytes = 0;
  std::string why;
  if (!LoadMap(task, &map, &mapBytes, &why)) {
    return stop_() ? DeltaOutcome::kStopped : Unused(task, why);
  }
  // Fetching at most kMostOfTheFilePercent, map included, needs this much
  // from the old copy.
  const int64_t needed = mapBytes + task.size - task.size * kMostOfTheFilePercent / 100;
  std::vector<int64_t> local;
  switch (FindLocalChunks(task.targetPath, map, needed, stop_, &local)) {
    case LocalChunks::kFound:
      break;
    case LocalChunks::kTooFew:
      return Unused(task, "it would fetch more than " + std::to_string(kMostOfTheFilePercent) +
                              " % of its " + std::to_string(task.size) + " bytes");
    case LocalChunks::kNothingInCommon:
      return Unused(task, "no part of the old copy is in the new file");
    case LocalChunks::kUnreadable:
      return stop_() ? DeltaOutcome::kStopped : Unused(task, "the old copy cannot be read");
  }
  int64_t fetch = mapBytes;
  for (size_t i = 0; i < local.size(); ++i) fetch += local[i] < 0 ? map.chunks[i].length : 0;
  if (fetch * 100 > task.size * kMostOfTheFilePercent) {
    return Unused(task, "it would fetch " + std::to_string(fetch) + " of " +
                            std::to_string(task.size) + " bytes");
  }
  WriteLog("Delta For %s: Fetching %" PRId64 " Of %" PRId64 " Bytes",
           FileNameOf(task.targetPath).c_str(), fetch, task.size);
  // The window shows the bytes that travel, not the file's size.
  state_->Counters().Discount(task.size - fetch);
  DeltaOutcome r = Assemble(task, map, local, md5, &why);
  if (r == DeltaOutcome::kUnused) {
    state_->Counters().Discount(fetch - task.size);
    return Unused(task, why);
  }
  return r;
}

DeltaOutcome DeltaFetch::Assemble(const DownloadTask& task, const ChunkMap& map,
                                  const std::vector<int64_t>& local, std::string* md5,
                                  std::string* why) {
  std::vector<bool> missing;
  for (int64_t at : local) missing.push_back(at < 0);
  const std::vector<FetchRange> ranges = CoalesceMissing(map, missing);
  RemoveFileIfPresent(task.downloadPath);
  FileAppender out;
  const int old = open(task.targetPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (old < 0 || !out.Open(task.downloadPath, true)) {
    if (old >= 0) close(old);
    *why = "the files cannot be opened";
    return DeltaOutcome::kUnused;
  }
  std::vector<char> buffer(map.params.maxSize);
  size_t next = 0;  // the next range to fetch
  for (size_t i = 0; i < map.chunks.size() && why->empty();) {
    if (stop_()) break;
    const uint32_t length = map.chunks[i].length;
    if (local[i] >= 0) {
      if (pread(old, buffer.data(), length, local[i]) != static_cast<ssize_t>(length) ||
          !out.Append(buffer.data(), length)) {
        *why = "the old copy cannot be read";
      }
      ++i;
      continue;
    }
    const FetchRange& range = ranges[next++];
    RangeReceiver receiver(&out, map, range, stop_, [this](int64_t n) { Received(n); });
    const HttpResult h = http_->GetRange(task.downloadUrl, range.offset,
                                         range.offset + range.length - 1, *timeouts_, &receiver);
    if (receiver.stopped()) break;
    if (!receiver.failure().empty()) {
      *why = receiver.failure();
    } else if (receiver.status() == 200) {
      *why = "the server ignores ranges";
    } else if (receiver.status() != 206) {
      *why = receiver.status() == 0
                 ? "no answer (" + h.message + ")"
                 : "status " + std::to_string(receiver.status()) + " for a range";
    } else if (!receiver.complete()) {
      *why = "a short body";
    }
    i += range.chunkCount;
  }
  close(old);
  const bool closed = out.Close();
  if (stop_()) return DeltaOutcome::kStopped;
  if (why->empty() && !closed) *why = "the file cannot be written";
  if (why->empty() && (*md5 = out.HexDigest()) != task.code) {
    *why = "the assembled file's MD5 differs";
  }
  return why->empty() ? DeltaOutcome::kComplete : DeltaOutcome::kUnused;
}
