// Fetching a changed file as a delta: when the release publishes a chunk
// map for it and an older copy lies at its place in the installation, the
// copy is cut into chunks with the map's parameters, every chunk the new
// file shares with it is copied, and only the missing ones are fetched with
// range requests on the worker's own keep-alive connection. Of a missing
// chunk, only the 4 KiB blocks that the old copy does not show where the
// chunk's old version lies are fetched, judged by the hashes of the blocks
// file beside the map (see update/delta_plan.h); without that file, whole
// chunks. Adjacent pieces are joined into one range, many ranges go in one
// request ("bytes=a-b,c-d", a multipart answer) or, to a server that will
// not, one per request. The new file is assembled in the update area, each
// chunk not wholly found in the old copy checked against the map's SHA-256
// as its last byte comes in, and the whole file's MD5 taken while it is
// written; the worker then hands it on like any fetched file.
//
// Anything in the way (no map, a map release.sig refuses or that describes
// another file, a server that ignores ranges, a short body, a chunk that
// does not match, an assembled file with the wrong MD5) leaves the task to
// the whole-file transfer, with one log line saying why; so does a delta
// that would fetch most of the file anyway.
//
// Thread-safety: one object per worker, used on the worker's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/http.h"
#include "update/types.h"

class InstallState;
class RangeSink;
struct ChunkMap;
struct DeltaPiece;
struct MissingRun;

class Md5LaneHasher;

enum class DeltaOutcome {
  kUnused,    // the whole-file transfer must fetch it
  kComplete,  // the new file is at downloadPath, its MD5 in *md5
  kStopped,   // a stop or cancel came first
};

class DeltaFetch {
 public:
  // All borrowed; `stop` is asked between pieces.
  DeltaFetch(InstallState* state, HttpClient* http, const HttpTimeouts* timeouts,
             std::function<bool()> stop);

  DeltaOutcome Fetch(const DownloadTask& task, std::string* md5);
  // Told the size of every piece received after it is counted (the shared
  // bandwidth limit waits there); none by default.
  void SetThrottle(std::function<void(int64_t)> throttle) { throttle_ = std::move(throttle); }
  // The lane helper (borrowed, may be null) that digests the new file,
  // side by side with other workers' files; a thread of its own otherwise.
  void SetDigestLanes(Md5LaneHasher* lanes) { lanes_ = lanes; }

 private:
  // Each fails with *why set.
  bool LoadMap(const DownloadTask& task, ChunkMap* map, int64_t* mapBytes, std::string* why);
  // Which pieces of the new file come from the old copy and which are
  // fetched, with *blockBytes the bytes of the blocks file read for it;
  // false when a stop came first.
  bool Plan(const DownloadTask& task, const ChunkMap& map, const std::vector<int64_t>& local,
            std::vector<DeltaPiece>* pieces, int64_t* blockBytes);
  // The blocks file's entries of each run, or *why; the bytes asked for.
  int64_t FetchBlockHashes(const DownloadTask& task, const std::vector<MissingRun>& runs,
                           std::vector<std::string>* hashes, std::string* why);
  DeltaOutcome Assemble(const DownloadTask& task, const ChunkMap& map,
                        const std::vector<int64_t>& local, const std::vector<DeltaPiece>& pieces,
                        std::string* md5, std::string* why);
  // Fetches every range of `url` into the sink, several per request where
  // the server allows; *why set on the first failure.
  void FetchRanges(const DownloadTask& task, const std::string& url,
                   const std::vector<HttpRange>& ranges, RangeSink* sink, std::string* why);
  DeltaOutcome Unused(const DownloadTask& task, const std::string& why);
  // Counts a piece received and lets the throttle hold it.
  void Received(int64_t count);

  InstallState* state_;
  HttpClient* http_;
  const HttpTimeouts* timeouts_;
  std::function<bool()> stop_;
  std::function<void(int64_t)> throttle_;
  Md5LaneHasher* lanes_ = nullptr;  // borrowed
  // The last server that refused several ranges in one request ("" for
  // none): it is asked one range at a time, since an edge that refuses them
  // does so every time.
  std::string oneRangeServer_;
};
