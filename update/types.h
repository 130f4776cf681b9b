// Records and codes shared by every step of the update engine, the update
// driver and the windows that show its outcome.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

// Result of every engine step and the code the main window shows.
enum UpdateStatus : int {
  Status_Connecting = 0,
  Status_NetReachable = 1,
  Status_UpdateListDownloadFailed = 2,
  Status_Paused = 3,
  Status_UpdateListInvalid = 4,
  Status_SelfUpdating = 5,
  Status_SizeReady = 6,
  Status_FileDownloadFailed = 7,
  Status_RestartFailed = 8,
  Status_UpdateToolBad = 9,
  Status_RepairToolBad = 10,
  Status_PackToolBad = 11,
  Status_FileDamaged = 12,
  Status_ScopeListReady = 14,
  Status_ScopeListMissing = 15,
  Status_Completed = 17,
  Status_GameUpdateFailed = 18,
  Status_ServerUnreachable = 19,
  Status_PackError = 21,
  Status_PackToolMissing = 22,
  Status_UnpackToolMissing = 23,
  Status_UnzipFailed = 25,
  Status_SizeFailed = 26,
  Status_ClientTooOld = 27,
  Status_FetchingServerList = 28,
  Status_GameStarting = 29,
  Status_ClientListMissing = 30,
  Status_LocalListMissing = 31,
  Status_Ready = 32,
  Status_FilesNotReplaced = 33,
  Status_DifferencesReady = 34,
  Status_ClientListFailed = 35,
  Status_Cancelled = 36,
  Status_FirstLogin = 37,
  Status_FirstDownloadFailed = 38,
};

// How the difference step compares the local and the published lists.
enum class UpdateMode : int {
  Normal = 0,
  VerifyFiles = 1,
  Recheck = 2,
  FullDownload = 3,
};

// Outcome of one transfer attempt or of a retry loop.
enum TransferResult : int {
  Transfer_Failed = 0,
  Transfer_Complete = 1,
  Transfer_Stopped = 36,
  Transfer_Short = 39,
  // The announced size passes the caller's limit: asking again will not
  // make it smaller (DownloadFileOnce to DownloadFile only).
  Transfer_TooLarge = -1,
};

// Form in which the server stores a file; the same numbers as a list
// entry's "Zip" value (TaskKindOf turns one into the other).
enum class TaskKind : int {
  Plain = 0,
  Zip = 1,
  SevenZip = 2,
  FourG = 3,
  Package = 4,
};

// Where a task stands; the numbers are the ones the engine's log names.
enum class TaskState : uint8_t {
  Queued = 0,
  Transferring = 1,
  Fetched = 2,
  GivenUp = 3,
  Resuming = 39,
};

// The largest sizes accepted for the release's own files, far above any
// real release (a client list of 100,000 entries is about 15 MB): a broken
// or hostile server must not fill the memory or the disk with them. They are
// checked against the announced length before a transfer and against the
// bytes received during it.
constexpr int64_t kNoSizeLimit = std::numeric_limits<int64_t>::max();
constexpr int64_t kClientListLimit = int64_t{64} << 20;  // client.md5, its archive, package lists
constexpr int64_t kSmallFileLimit = int64_t{4} << 20;    // update.xml, LaunUpdate.xml, the index,
                                                         // the scope file, url.xml, server list
constexpr int64_t kProgramLimit = int64_t{512} << 20;    // the launcher's and the tool's archives

// One entry of a file list ("Filelist"/"Files"/"File").
struct FileEntry {
  std::string path;     // "Path": relative, "/" separated
  std::string code;     // "Code": lowercase MD5 hex of the final content
  int64_t size = 0;     // "Size": size of the final file
  int32_t zip = 0;      // "Zip": 0 plain, 1 .zip, 2 .7z, 3 .4g
  int64_t zipSize = 0;  // "zipSize": packed size; 0 unless zip is 1 or 2
};

// The kind of a list entry's "Zip" value; values out of range stay as they
// are and match no kind the workers handle.
inline TaskKind TaskKindOf(int32_t zip) {
  return static_cast<TaskKind>(zip);
}
inline int32_t ZipValueOf(TaskKind kind) {
  return static_cast<int32_t>(kind);
}

// One file to fetch and apply. Copied by value between the engine's task
// list, a worker's queue and the pool's finished queue.
struct DownloadTask {
  ::TaskKind TaskKind = ::TaskKind::Plain;
  uint8_t fixNameCase = 0;  // 1: set the list's letter case after applying
  int64_t size = 0;         // size of the final file
  int64_t zipSize = 0;      // size of the fetched archive for kinds 1 and 2
  std::string code;         // expected MD5 of the final file
  std::string downloadUrl;
  std::string downloadPath;  // where the transfer writes
  std::string targetPath;    // where the file belongs; key in pendingTargets
  // A plain file the release may publish a chunk map for: the map's path in
  // the release (for release.sig) and its address; empty for none.
  std::string deltaMap;
  std::string deltaMapUrl;
  int nRetryTime = 0;
  TaskState taskState = TaskState::Queued;
  int64_t dwHaveBeenDownloadLength = 0;  // bytes on disk after the previous attempt

  // Bytes the transfer must deliver: the archive for kinds 1 and 2, the
  // file itself otherwise.
  int64_t ExpectedSize() const {
    return (TaskKind == ::TaskKind::Zip || TaskKind == ::TaskKind::SevenZip) ? zipSize : size;
  }
};
