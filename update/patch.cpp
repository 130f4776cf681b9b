// Puts fetched files into the installation one at a time, in the order the
// workers finish them, and records each in the local list.
#include "update/patch.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "diag/function_timer.h"
#include "diag/log.h"
#include "update/downloader.h"
#include "update/engine_files.h"
#include "update/local_list.h"
#include "update/safe_path.h"
#include "util/file_util.h"
#include "util/text_util.h"

int CurrentThreadId() {
  return static_cast<int>(syscall(SYS_gettid));
}

namespace {

// On a case-sensitive file system the fetched file already carries the
// list's exact name; the rename keeps the log line of the letter-case fix.
void FixNameCase(const DownloadTask& task) {
  std::string name = WideToOem(task.targetPath);
  if (std::rename(name.c_str(), name.c_str()) == 0) WriteLog("Rename Success!");
}

void AddFinishedFile(DownloadHost* engine) {
  engine->Counters().AddFinishedFiles(1);
}

// Applies one fetched task; the file is recorded only once it is in place.
// True when it was.
bool ApplyFetchedTask(DownloadHost* engine, const DownloadTask& task) {
  const std::string name = FileNameOf(task.downloadPath);
  if (!IsInsideFolder(engine->installDir(), task.targetPath)) {
    WriteLogTag("Error", "Refused To Write Outside The Installation [%s]", task.targetPath.c_str());
    return false;
  }
  switch (task.TaskKind) {
    case SevenZip:
    case Zip:  // unpacked by the worker like a .7z file
      WriteLog("Download %s Succeed And Unzip File  Succeed ", name.c_str());
      if (task.fixNameCase == 1) FixNameCase(task);
      engine->RecordFileInLocalList(task);
      AddFinishedFile(engine);
      return true;
    case Plain:
      if (task.fixNameCase == 1) FixNameCase(task);
      AddFinishedFile(engine);
      if (MoveIntoPlace(task.downloadPath, task.targetPath)) {
        WriteLog("Download %s Succeed And Copy File  Succeed ", name.c_str());
        engine->RecordFileInLocalList(task);
        return true;
      }
      WriteLog("Download %s Succeed, Try %d Times,But Cannot Copy That ", name.c_str(), 0);
      return false;
    case FourG:
      if (!MoveIntoPlace(task.downloadPath, task.targetPath)) {
        WriteLog("Download %s Succeed, Try %d Times,But Cannot Copy That ", name.c_str(), 0);
        return false;
      }
      WriteLog("Download %s Succeed And Copy 4GFile  Succeed ", name.c_str());
      if (task.fixNameCase == 1) FixNameCase(task);
      engine->RecordFileInLocalList(task);
      AddFinishedFile(engine);
      return true;
    default:
      return false;
  }
}

}  // namespace

bool CDownloaderThreadPool::ProcessDownloadPatchTask(int* applied) {
  WriteLog(" BBBBBBBBBBBBBB  ProcessDownloadPatchTask process start!!! BBBBBBBBBBBBBB ");
  TestFunctionTime timer(true, 0, " PPPPPPPPPP thread: %d  ProcessDownloadPatchTask  cost time ",
                         CurrentThreadId());
  int n = 0;
  ApplyEachFinished([&](const DownloadTask& task) { n += ApplyFetchedTask(engine_, task); });
  if (applied) *applied = n;
  WriteLog("TEEEEEEEEEEEEEEE  ProcessDownloadPatchTask process end  EEEEEEEEEEEEEEE");
  return true;
}

UpdateStatus CVXDlownloader::DownloadDifferentFiles() {
  progress_.ResetTransfer();
  if (pool() == nullptr) CreateDownloadPool();
  const int count = GetDownloadTaskCount();
  WriteLog("Start Download Different files, Threadid: %d   Total %d File", CurrentThreadId(),
           count);
  for (const DownloadTask& task : downloadTasks_) pool()->AddTask(task, true);
  WriteLog("Start Download file size: %d  ", count);
  OpenLocalList();
  progress_.AddTotalFiles(count);
  int applied = 0;
  if (count > 0) {
    WriteLog("Start ProcessDownloadPatchTask");
    pool()->ProcessDownloadPatchTask(&applied);
  }
  WriteLocalClient();
  if (CancelRequested()) return Status_Cancelled;
  // A file that could not be fetched, verified or put in place stays
  // different from the list: the pass has not completed.
  if (applied < count) {
    WriteLogTag("Error", "%d Of %d Files Were Not Updated", count - applied, count);
    return Status_FileDownloadFailed;
  }
  WriteLog("Download All Files Succeed");
  FinishFirstInstallIfComplete();
  return Status_Completed;
}

void CVXDlownloader::FinishFirstInstallIfComplete() {
  if (!IsFirstInstallUnfinished()) return;
  for (const std::string& path : unfinishedPaths_) {
    if (!localList()->Contains(WideToOem(path))) return;
  }
  MarkFirstInstallUnfinished(false);
}
