// Building a release folder for the update server from a game build folder:
// the published file list and its archive, the update list, every game file
// (plain or packed as .7z), the scope file, the first-download index with its
// packages, the launcher's self-update files, the update-server list, the
// game client's server list, and the chunk maps of big plain files for delta
// updates.
//
// Thread-safety: Publish runs on the calling thread and uses worker threads
// of its own; the progress observer is called on the calling thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/chunk_map.h"

struct PublishOptions {
  std::string gameDir;     // the game build folder
  std::string releaseDir;  // created; must not exist or be empty
  std::string version;     // the "version" of the update list
  // A release published earlier from a similar build: files and packages
  // whose content did not change are taken from it instead of packed again.
  std::string previousDir;
  // Sources of the files that do not come from the game folder itself; an
  // empty text means the file of that name in the game folder.
  std::string scopeFile;      // "scope/login.scope"
  std::string launcherExe;    // "Launcher.exe"
  std::string launcherDat;    // "Launcher.dat"
  std::string urlXml;         // "url.xml"
  std::string updateServers;  // "LauncherConfig/UpdateServers.qdx"
  // Relative paths (a folder excludes everything below it) left out of the
  // release besides the launcher's own files and folders.
  std::vector<std::string> excludes;
  int level = 5;                    // LZMA2 level of every archive, 0 stores
  int packSavingPercent = 10;       // pack a file when its .7z is this much smaller
  int64_t minPackSize = 512;        // smaller files stay plain
  int64_t packageSize = 1LL << 30;  // unpacked bytes per first-download package
  // Files per first-download package: a first install unpacks packages on
  // several workers at once, and with many small files the per-file work,
  // not the bytes, is what takes the time.
  int packageFiles = 1000;
  int threads = 0;  // 0: one per core
  // Signing: the private key file of `kestrava-patcher keygen`; empty
  // publishes an unsigned release, as servers without signatures have.
  std::string signKeyFile;
  // The release serial in LauncherConfig/release.sig; 0: one more than the
  // previous release's (previousDir), or 1 without one.
  uint64_t serial = 0;
  // Delta updates: every game file published plain with at least
  // deltaMinSize bytes (0: every plain file) gets a chunk map.
  bool delta = true;
  int64_t deltaMinSize = kDeltaMinFileSize;
};

// What a player on the previous release downloads for one changed file.
struct ChangedFile {
  std::string path;
  int64_t withoutDelta = 0;  // its published size (packed or plain)
  int64_t withDelta = 0;     // the chunks it lacks plus the map, or the whole file
};

// What a publish did, for the closing summary.
struct PublishSummary {
  int files = 0;             // entries of the published list
  int packedFiles = 0;       // stored as .7z
  int reusedFiles = 0;       // taken from the previous release
  int sampledFiles = 0;      // published plain: slices of them did not shrink
  int packages = 0;          // first-download packages
  int reusedPackages = 0;    // taken from the previous release
  int64_t gameBytes = 0;     // total size of the listed files
  int64_t releaseBytes = 0;  // total size of the release folder
  uint64_t serial = 0;       // of a signed release; 0 when unsigned
  std::string publicKey;     // base64 public key of the signing key
  int deltaMaps = 0;         // chunk maps in the release
  int reusedDeltaMaps = 0;   // taken from the previous release
  bool comparedToPrevious = false;
  // Only with a previous release (comparedToPrevious): the files whose MD5 differs from its list
  // (new files too), largest download first, and their totals.
  std::vector<ChangedFile> changed;
  int64_t changedWithoutDelta = 0;
  int64_t changedWithDelta = 0;
  std::vector<std::string> warnings;
};

// Told how far the publish is; called on the publishing thread.
class PublishProgress {
 public:
  virtual ~PublishProgress() = default;
  // done and total are bytes of the current stage ("files", "packages").
  virtual void OnProgress(const std::string& stage, int64_t done, int64_t total) = 0;
};

// The summary's lines on downloads from the previous release: the
// `maxFiles` largest changed files, one line each, a line for the rest, and
// the total. Empty without a previous release.
std::vector<std::string> DeltaReport(const PublishSummary& summary, size_t maxFiles);

// Builds the release. On failure returns false with the reason in *error;
// the release folder is then not created (the work happens in a temporary
// folder beside it that is renamed into place at the end).
bool Publish(const PublishOptions& options, PublishSummary* summary, PublishProgress* progress,
             std::string* error);
