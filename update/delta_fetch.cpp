#include "update/delta_fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "diag/log.h"
#include "platform/crypto.h"
#include "update/byteranges.h"
#include "update/chunk_map.h"
#include "update/delta_plan.h"
#include "update/install_state.h"
#include "update/md5.h"
#include "update/release_layout.h"
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
    ForEachChunk(params, window.data(), window.size(),
                 [&](int64_t, const char* data, size_t n) { found = found || isWanted(data, n); });
  }
  close(fd);
  return found;
}

// The chunks of the old copy whose length and fast hash the new file has,
// found by one cutting pass over [from, end of file), in file order.
// Thread-safety: each pass is owned by the thread that runs it.
struct CutPass {
  struct Hit {
    int64_t at;
    uint64_t hash;
    uint32_t length;
  };
  std::vector<Hit> hits;
  std::vector<int64_t> cuts;  // where each chunk began (kept by the second half's pass)
  int64_t syncAt = -1;        // the first pass: where it met a cut of the second
  bool read = true;
  bool tooFew = false;
};

// A copy this big is cut by two threads, one per half.
constexpr int64_t kSplitScanSize = kProbedFileSize;

// Where each chunk of the new file can be copied from in the old copy; -1
// for the chunks that must be fetched. Chunks are matched by length and
// fast hash; the MD5 of the assembled file proves the match. Cutting stops
// (kTooFew) once the rest of the old copy could no longer supply `needed`
// bytes: a file that changed throughout is not hashed to its end first.
//
// Cutting is the costliest local step of a delta, so a big copy is cut on
// both cores: a second thread from the middle, and the caller's from the
// start on past the middle until one of its cuts falls where the second
// thread cut too. A cut depends only on the bytes since the previous one,
// so from there both cut alike, and the result is the cut of a single pass.
// Thread-safety: Find runs on one thread and starts the helper itself; the
// table of wanted chunks is only read while both cut, and `stop` is asked
// from both.
class LocalChunkFinder {
 public:
  LocalChunkFinder(const std::string& oldCopy, const ChunkMap& map, int64_t needed,
                   const std::function<bool()>& stop)
      : oldCopy_(oldCopy), map_(map), needed_(needed), stop_(stop) {
    for (const ChunkEntry& e : map.chunks) {
      Wanted& w = wanted_[e.fastHash];
      w.length = e.length;
      mostUses_ = std::max(mostUses_, ++w.uses);
    }
  }

  LocalChunks Find(std::vector<int64_t>* offsets) {
    const int64_t oldSize = FileSizeOf(oldCopy_);
    auto isWanted = [this](const char* data, size_t n) {
      return UsesOf(FastChunkHash(data, n), n) > 0;
    };
    if (!ProbeFindsAChunk(oldCopy_, oldSize, map_.params, isWanted)) {
      return LocalChunks::kNothingInCommon;
    }
    CutPass first, second;
    const LocalChunks cut = CutBothHalves(oldSize, &first, &second);
    return cut == LocalChunks::kFound ? Merge(first, second, offsets) : cut;
  }

 private:
  struct Wanted {
    int64_t at = -1;
    uint32_t length = 0;
    int64_t uses = 0;  // chunks of the new file with this content
  };

  int64_t UsesOf(uint64_t hash, size_t n) const {
    auto it = wanted_.find(hash);
    return it != wanted_.end() && it->second.length == n ? it->second.uses : 0;
  }

  // One pass over [from, end of file), giving up as soon as even finding
  // every chunk of the other half (`elsewhere` bytes) could not make up
  // `needed`; `met` may end it at a chunk's start.
  void Cut(CutPass* pass, int64_t from, int64_t until, int64_t elsewhere,
           const std::function<bool(int64_t)>& met) const {
    int64_t found = 0;
    pass->read = ForEachChunkOfFile(
        oldCopy_, map_.params,
        [&](int64_t at, const char* data, size_t n) {
          if (met && met(at)) return false;
          if (from > 0) pass->cuts.push_back(at);
          const uint64_t hash = FastChunkHash(data, n);
          const int64_t uses = UsesOf(hash, n);
          if (uses > 0) {
            pass->hits.push_back({at, hash, static_cast<uint32_t>(n)});
            found += static_cast<int64_t>(n) * uses;
          }
          const int64_t rest = std::max<int64_t>(0, until - at - static_cast<int64_t>(n));
          pass->tooFew = found + (rest + elsewhere) * mostUses_ < needed_;
          return !pass->tooFew && !stop_();
        },
        from);
  }

  // The first half on this thread, the second on a helper when the copy is
  // big and a thread can be had; kFound when both came through.
  LocalChunks CutBothHalves(int64_t oldSize, CutPass* first, CutPass* second) {
    const int64_t middle = oldSize >= kSplitScanSize ? oldSize / 2 : oldSize;
    std::thread helper;
    if (middle < oldSize) {
      try {
        helper = std::thread([&] { Cut(second, middle, oldSize, middle, nullptr); });
      } catch (const std::system_error&) {
        // One pass then cuts it all.
      }
    }
    const bool split = helper.joinable();
    Cut(first, 0, split ? middle : oldSize, split ? oldSize - middle : 0, [&](int64_t at) {
      if (!split || at < middle) return false;
      if (helper.joinable()) helper.join();
      // A second pass that gave up has its reason; this one needs no more.
      if (!second->read || second->tooFew) return true;
      if (!std::binary_search(second->cuts.begin(), second->cuts.end(), at)) return false;
      first->syncAt = at;
      return true;
    });
    if (helper.joinable()) helper.join();
    if (first->syncAt < 0 && split && (second->tooFew || !second->read)) {
      return second->tooFew ? LocalChunks::kTooFew : LocalChunks::kUnreadable;
    }
    if (first->tooFew) return LocalChunks::kTooFew;
    if (first->syncAt < 0 && !first->read) return LocalChunks::kUnreadable;
    return LocalChunks::kFound;
  }

  // The hits of one pass, the first's and then the second's from where
  // they met, give each wanted chunk its first place in the old copy.
  LocalChunks Merge(const CutPass& first, const CutPass& second, std::vector<int64_t>* offsets) {
    int64_t found = 0;
    auto take = [&](const CutPass::Hit& h) {
      Wanted& w = wanted_[h.hash];
      if (w.at >= 0) return;
      w.at = h.at;
      found += static_cast<int64_t>(h.length) * w.uses;
    };
    for (const CutPass::Hit& h : first.hits) take(h);
    for (const CutPass::Hit& h : second.hits) {
      if (first.syncAt >= 0 && h.at >= first.syncAt) take(h);
    }
    if (found < needed_) return LocalChunks::kTooFew;
    offsets->clear();
    for (const ChunkEntry& e : map_.chunks) offsets->push_back(wanted_[e.fastHash].at);
    return LocalChunks::kFound;
  }

  const std::string& oldCopy_;
  const ChunkMap& map_;
  const int64_t needed_;
  const std::function<bool()>& stop_;
  std::unordered_map<uint64_t, Wanted> wanted_;
  int64_t mostUses_ = 1;
};

}  // namespace

// Where the bytes of fetched ranges go, range after range.
// Thread-safety: used by one thread.
class RangeSink {
 public:
  virtual ~RangeSink() = default;
  // Range `index` of those asked for begins.
  virtual bool BeginRange(size_t index) = 0;
  virtual bool Append(const char* data, size_t size) = 0;
  virtual bool RangeComplete() const = 0;
  virtual const std::string& failure() const = 0;
};

// The new file as it is written, front to back: the planned pieces of the
// old copy copied, fetched ranges appended as they arrive, and every chunk
// not wholly found in the old copy checked against the map's SHA-256 when
// its last byte is in, whichever of its blocks came from the old copy.
// Every byte passes through a buffer of the background digest, which takes
// the file's MD5 on the second core while the next buffer fills: on a big
// file the MD5 would otherwise cost as much as all the rest of the copy.
// Thread-safety: one thread.
class DeltaAssembly : public RangeSink {
 public:
  DeltaAssembly(const ChunkMap& map, const std::vector<int64_t>& local,
                const std::vector<DeltaPiece>& pieces, const std::vector<HttpRange>& ranges,
                int old, FileAppender* out, Md5LaneHasher* lanes)
      : map_(map),
        local_(local),
        pieces_(pieces),
        ranges_(ranges),
        old_(old),
        out_(out),
        digest_(lanes) {
    if (!map.chunks.empty()) chunkLeft_ = map.chunks[0].length;
  }

  // Copies the old copy's pieces before `until` in the new file.
  bool CopyLocalUntil(int64_t until) {
    while (at_ < until) {
      if (pieces_[piece_].from < 0) return Fail("a piece to fetch was passed over");
      const size_t n =
          Room(static_cast<size_t>(std::min(until - at_, pieces_[piece_].length - inPiece_)));
      if (pread(old_, Space(), n, pieces_[piece_].from + inPiece_) != static_cast<ssize_t>(n)) {
        return Fail("the old copy cannot be read");
      }
      if (!Commit(n)) return false;
    }
    return true;
  }

  // A fetched range begins; the old copy's pieces before it go first.
  bool BeginRange(size_t index) override {
    if (!CopyLocalUntil(ranges_[index].from)) return false;
    rangeEnd_ = ranges_[index].to + 1;
    return true;
  }

  bool Append(const char* data, size_t size) override {
    while (size > 0) {
      if (at_ >= rangeEnd_) return Fail("a body longer than the range");
      if (pieces_[piece_].from >= 0) return Fail("a range over a piece of the old copy");
      const size_t take = Room(std::min<size_t>(size, static_cast<size_t>(rangeEnd_ - at_)));
      std::memcpy(Space(), data, take);
      if (!Commit(take)) return false;
      data += take;
      size -= take;
    }
    return true;
  }

  // Writes the rest and what is still buffered; the MD5 of all that was
  // written.
  bool Finish(std::string* md5) {
    if (!CopyLocalUntil(map_.fileSize) || !Flush()) return false;
    *md5 = digest_.Finish();
    return true;
  }

  bool RangeComplete() const override { return at_ == rangeEnd_; }
  const std::string& failure() const override { return failure_; }

 private:
  // How much of `wanted` the current buffer takes at Space(), at least one
  // byte (a full buffer is handed on first), and no more than is left of
  // the current piece.
  size_t Room(size_t wanted) {
    if (used_ == BackgroundMd5::kBufferSize) Flush();
    const size_t inPiece = static_cast<size_t>(pieces_[piece_].length - inPiece_);
    return std::min({wanted, BackgroundMd5::kBufferSize - used_, inPiece});
  }
  char* Space() { return digest_.Buffer(turn_) + used_; }
  // Takes the `n` bytes just placed at Space().
  bool Commit(size_t n) {
    if (!Check(Space(), n)) return false;
    used_ += n;
    at_ += static_cast<int64_t>(n);
    inPiece_ += static_cast<int64_t>(n);
    if (inPiece_ == pieces_[piece_].length && piece_ + 1 < pieces_.size()) {
      ++piece_;
      inPiece_ = 0;
    }
    return failure_.empty();
  }
  // Writes the current buffer and hands it to the digest; the other one
  // fills next (its own digest is done by the time Feed returns).
  bool Flush() {
    if (used_ == 0) return failure_.empty();
    if (!out_->Append(digest_.Buffer(turn_), used_)) return Fail("the file cannot be written");
    digest_.Feed(digest_.Buffer(turn_), used_);
    turn_ ^= 1;
    used_ = 0;
    return true;
  }
  // Runs the bytes through the SHA-256 of the chunks they belong to.
  bool Check(const char* data, size_t n) {
    while (n > 0 && chunk_ < map_.chunks.size()) {
      const size_t take = std::min<size_t>(n, chunkLeft_);
      const bool checked = local_[chunk_] < 0;
      if (checked) sha_->Update(data, take);
      data += take;
      n -= take;
      chunkLeft_ -= take;
      if (chunkLeft_ > 0) continue;
      if (checked && !ChunkMatches()) return false;
      if (++chunk_ < map_.chunks.size()) chunkLeft_ = map_.chunks[chunk_].length;
    }
    return true;
  }
  bool ChunkMatches() {
    const std::string hex = sha_->HexDigest();
    sha_ = std::make_unique<platform::Sha256>();
    const std::array<uint8_t, 32>& expected = map_.chunks[chunk_].sha256;
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < expected.size(); ++i) {
      if (hex[2 * i] != kDigits[expected[i] >> 4] || hex[2 * i + 1] != kDigits[expected[i] & 15]) {
        return Fail("chunk " + std::to_string(chunk_) + " does not match its map");
      }
    }
    return true;
  }
  bool Fail(const std::string& why) {
    if (failure_.empty()) failure_ = why;
    return false;
  }

  const ChunkMap& map_;
  const std::vector<int64_t>& local_;
  const std::vector<DeltaPiece>& pieces_;
  const std::vector<HttpRange>& ranges_;
  int old_;
  FileAppender* out_;
  BackgroundMd5 digest_;
  int turn_ = 0;     // the buffer filling
  size_t used_ = 0;  // bytes in it
  int64_t at_ = 0;   // the next byte of the new file to write
  size_t piece_ = 0;
  int64_t inPiece_ = 0;
  int64_t rangeEnd_ = 0;  // where the range being received ends
  size_t chunk_ = 0;      // the chunk at_ lies in
  size_t chunkLeft_ = 0;  // its bytes still to come
  std::unique_ptr<platform::Sha256> sha_ = std::make_unique<platform::Sha256>();
  std::string failure_;
};

namespace {

// How many ranges one request asks for. Servers cap the header's length
// (nginx at 8 KiB a line) and some the number of ranges (Apache at 200).
constexpr size_t kRangesPerRequest = 64;

// Ranges read into memory: the entries of a blocks file.
// Thread-safety: one thread.
class MemoryRanges : public RangeSink {
 public:
  explicit MemoryRanges(const std::vector<HttpRange>& ranges)
      : ranges_(ranges), parts_(ranges.size()) {}

  bool BeginRange(size_t index) override {
    current_ = index;
    parts_[index].clear();
    return true;
  }
  bool Append(const char* data, size_t size) override {
    std::string& part = parts_[current_];
    if (static_cast<int64_t>(part.size() + size) > Length(current_)) {
      failure_ = "a body longer than the range";
      return false;
    }
    part.append(data, size);
    return true;
  }
  bool RangeComplete() const override {
    return static_cast<int64_t>(parts_[current_].size()) == Length(current_);
  }
  const std::string& failure() const override { return failure_; }
  const std::string& Part(size_t index) const { return parts_[index]; }

 private:
  int64_t Length(size_t i) const { return ranges_[i].to - ranges_[i].from + 1; }

  const std::vector<HttpRange>& ranges_;
  std::vector<std::string> parts_;
  size_t current_ = 0;
  std::string failure_;
};

// Receives the answer to one request for `count` ranges: the raw body of
// one range, or the parts of a multipart answer for several. Nothing is
// written before the answer shows it is the one asked for, so a server that
// will not send several ranges at once can be asked again, one at a time.
class BatchReceiver : public HttpReceiver {
 public:
  BatchReceiver(RangeSink* sink, const std::vector<HttpRange>& ranges, size_t first, size_t count,
                const std::function<bool()>& stop, std::function<void(int64_t)> received)
      : sink_(sink),
        ranges_(ranges),
        first_(first),
        count_(count),
        stop_(stop),
        onPiece_(std::move(received)) {}

  void OnContentType(const std::string& type) override { type_ = type; }

  bool OnResponse(int status, int64_t) override {
    status_ = status;
    if (status != 206) return false;
    if (count_ == 1) {
      began_ = true;
      next_ = 1;
      return sink_->BeginRange(first_);
    }
    const std::string boundary = ByteRangesBoundary(type_);
    if (boundary.empty()) return false;  // one range for all of them: not what was asked
    parser_ = std::make_unique<ByteRangesParser>(
        boundary, [this](int64_t from, int64_t to) { return OnPart(from, to); },
        [this](const char* data, size_t size) {
          onPiece_(static_cast<int64_t>(size));
          return sink_->Append(data, size);
        });
    return true;
  }

  bool OnBody(const char* data, size_t size) override {
    if (ShouldStop()) return false;
    if (parser_) {
      if (parser_->Feed(data, size)) return true;
      if (!parser_->error().empty()) Fail("a multipart answer: " + parser_->error());
      return false;
    }
    onPiece_(static_cast<int64_t>(size));
    return sink_->Append(data, size);
  }

  bool ShouldStop() override {
    if (!stopped_ && stop_()) stopped_ = true;
    return stopped_;
  }

  int status() const { return status_; }
  bool stopped() const { return stopped_; }
  // Whether anything was written: only then does a failure end the delta.
  bool began() const { return began_; }
  bool complete() const {
    if (!failure().empty() || !began_ || !sink_->RangeComplete()) return false;
    return !parser_ || (parser_->Finished() && next_ == count_);
  }
  std::string failure() const { return failure_.empty() ? sink_->failure() : failure_; }

 private:
  bool OnPart(int64_t from, int64_t to) {
    const bool asked =
        next_ < count_ && from == ranges_[first_ + next_].from && to == ranges_[first_ + next_].to;
    // A server may join ranges or reorder them; before anything is written
    // that only means asking one at a time.
    if (!asked) return began_ ? Fail("a part that was not asked for") : false;
    if (next_ > 0 && !sink_->RangeComplete()) return Fail("a short part");
    began_ = true;
    return sink_->BeginRange(first_ + next_++);
  }
  bool Fail(const std::string& why) {
    if (failure_.empty()) failure_ = why;
    return false;
  }

  RangeSink* sink_;
  const std::vector<HttpRange>& ranges_;
  size_t first_, count_;
  const std::function<bool()>& stop_;
  std::function<void(int64_t)> onPiece_;
  std::string type_;
  std::unique_ptr<ByteRangesParser> parser_;
  size_t next_ = 0;  // the next range a part must bring
  int status_ = 0;
  bool began_ = false;
  bool stopped_ = false;
  std::string failure_;
};

// Why a request for ranges did not deliver them; "" when it did.
std::string WhyNotDelivered(const BatchReceiver& receiver, const HttpResult& h) {
  if (!receiver.failure().empty()) return receiver.failure();
  if (receiver.status() == 200) return "the server ignores ranges";
  if (receiver.status() != 206) {
    return receiver.status() == 0 ? "no answer (" + h.message + ")"
                                  : "status " + std::to_string(receiver.status()) + " for a range";
  }
  return receiver.complete() ? "" : "a short body";
}

// "scheme://host:port" of a URL.
std::string ServerOf(const std::string& url) {
  const size_t scheme = url.find("://");
  return url.substr(0, url.find('/', scheme == std::string::npos ? 0 : scheme + 3));
}

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
  switch (LocalChunkFinder(task.targetPath, map, needed, stop_).Find(&local)) {
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
  std::vector<DeltaPiece> pieces;
  int64_t blockBytes = 0;
  if (!Plan(task, map, local, &pieces, &blockBytes)) return DeltaOutcome::kStopped;
  fetch = mapBytes + blockBytes + FetchedBytes(pieces);
  WriteLog("Delta For %s: Fetching %" PRId64 " Of %" PRId64 " Bytes",
           FileNameOf(task.targetPath).c_str(), fetch, task.size);
  // The window shows the bytes that travel, not the file's size.
  state_->Counters().Discount(task.size - fetch);
  DeltaOutcome r = Assemble(task, map, local, pieces, md5, &why);
  if (r == DeltaOutcome::kUnused) {
    state_->Counters().Discount(fetch - task.size);
    return Unused(task, why);
  }
  return r;
}

bool DeltaFetch::Plan(const DownloadTask& task, const ChunkMap& map,
                      const std::vector<int64_t>& local, std::vector<DeltaPiece>* pieces,
                      int64_t* blockBytes) {
  const std::vector<MissingRun> runs = FindMissingRuns(map, local, FileSizeOf(task.targetPath));
  std::vector<std::string> hashes;
  std::string why;
  if (!runs.empty()) *blockBytes = FetchBlockHashes(task, runs, &hashes, &why);
  if (stop_()) return false;
  if (!why.empty()) {
    WriteLog("Delta For %s: No Block Hashes (%s), Fetching Whole Chunks",
             FileNameOf(task.targetPath).c_str(), why.c_str());
    hashes.clear();
  }
  FileBlocks old(task.targetPath);
  *pieces = PlanPieces(map, local, runs, hashes,
                       [&old](int64_t at, uint32_t n, uint64_t* h) { return old.Hash(at, n, h); });
  return true;
}

int64_t DeltaFetch::FetchBlockHashes(const DownloadTask& task, const std::vector<MissingRun>& runs,
                                     std::vector<std::string>* hashes, std::string* why) {
  std::vector<size_t> rangeOfRun;
  const std::vector<HttpRange> ranges = BlockHashRanges(runs, &rangeOfRun);
  if (ranges.empty()) return 0;
  const int64_t total = BytesOf(ranges);
  MemoryRanges parts(ranges);
  FetchRanges(task, release_layout::DeltaBlocksBesideMap(task.deltaMapUrl), ranges, &parts, why);
  if (why->empty()) CheckBlockHashesHeader(parts.Part(0), task.code, why);
  if (!why->empty()) return total;
  hashes->assign(runs.size(), std::string());
  for (size_t r = 0; r < runs.size(); ++r) {
    if (rangeOfRun[r] > 0) (*hashes)[r] = parts.Part(rangeOfRun[r]);
  }
  return total;
}

DeltaOutcome DeltaFetch::Assemble(const DownloadTask& task, const ChunkMap& map,
                                  const std::vector<int64_t>& local,
                                  const std::vector<DeltaPiece>& pieces, std::string* md5,
                                  std::string* why) {
  const std::vector<HttpRange> ranges = FetchedRanges(pieces);
  RemoveFileIfPresent(task.downloadPath);
  FileAppender out;
  const int old = open(task.targetPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (old < 0 || !out.Open(task.downloadPath, false)) {
    if (old >= 0) close(old);
    *why = "the files cannot be opened";
    return DeltaOutcome::kUnused;
  }
  DeltaAssembly assembly(map, local, pieces, ranges, old, &out, lanes_);
  FetchRanges(task, task.downloadUrl, ranges, &assembly, why);
  if (why->empty() && !stop_() && !assembly.Finish(md5)) *why = assembly.failure();
  close(old);
  const bool closed = out.Close();
  if (stop_()) return DeltaOutcome::kStopped;
  if (why->empty() && !closed) *why = "the file cannot be written";
  if (why->empty() && *md5 != task.code) *why = "the assembled file's MD5 differs";
  return why->empty() ? DeltaOutcome::kComplete : DeltaOutcome::kUnused;
}

void DeltaFetch::FetchRanges(const DownloadTask& task, const std::string& url,
                             const std::vector<HttpRange>& ranges, RangeSink* sink,
                             std::string* why) {
  for (size_t next = 0; next < ranges.size() && why->empty() && !stop_();) {
    const bool several = ServerOf(url) != oneRangeServer_;
    const size_t count = several ? std::min(kRangesPerRequest, ranges.size() - next) : 1;
    BatchReceiver receiver(sink, ranges, next, count, stop_, [this](int64_t n) { Received(n); });
    const HttpResult h =
        count == 1
            ? http_->GetRange(url, ranges[next].from, ranges[next].to, *timeouts_, &receiver)
            : http_->GetRanges(url, std::vector<HttpRange>(&ranges[next], &ranges[next] + count),
                               *timeouts_, &receiver);
    if (receiver.stopped()) return;
    if (count > 1 && !receiver.began()) {
      if (receiver.status() != 0) {
        WriteLog(
            "Delta For %s: Several Ranges In One Request Not Served (Status %d), Asking For "
            "One At A Time",
            FileNameOf(task.targetPath).c_str(), receiver.status());
      }
      oneRangeServer_ = ServerOf(url);
      continue;
    }
    *why = WhyNotDelivered(receiver, h);
    next += count;
  }
}
