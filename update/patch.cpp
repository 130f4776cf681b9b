// Puts fetched files into the installation one at a time, in the order the
// workers finish them, and records each in the local list.
#include "update/patch.h"

#include <cstdio>

#include "diag/function_timer.h"
#include "diag/log.h"
#include "platform/process.h"
#include "update/install_state.h"
#include "update/safe_path.h"
#include "update/worker_pool.h"
#include "util/file_util.h"
#include "util/text_util.h"

namespace {

// On a case-sensitive file system the fetched file already carries the
// list's exact name; the rename keeps the log line of the letter-case fix.
void FixNameCase(const DownloadTask& task) {
  std::string name = WideToOem(task.targetPath);
  if (std::rename(name.c_str(), name.c_str()) == 0) WriteLog("Rename Success!");
}

void AddFinishedFile(InstallState* state) {
  state->Counters().AddFinishedFiles(1);
}

// Applies one fetched task; the file is recorded only once it is in place.
// True when it was.
bool ApplyFetchedTask(InstallState* state, const DownloadTask& task) {
  const std::string name = FileNameOf(task.downloadPath);
  if (!IsInsideFolder(state->installDir(), task.targetPath)) {
    WriteLogTag("Error", "Refused To Write Outside The Installation [%s]", task.targetPath.c_str());
    return false;
  }
  switch (task.TaskKind) {
    case TaskKind::SevenZip:
    case TaskKind::Zip:  // unpacked by the worker like a .7z file
      WriteLog("Download %s Succeed And Unzip File  Succeed ", name.c_str());
      if (task.fixNameCase == 1) FixNameCase(task);
      state->RecordFileInLocalList(task);
      AddFinishedFile(state);
      return true;
    case TaskKind::Plain:
      if (task.fixNameCase == 1) FixNameCase(task);
      AddFinishedFile(state);
      if (MoveIntoPlace(task.downloadPath, task.targetPath)) {
        WriteLog("Download %s Succeed And Copy File  Succeed ", name.c_str());
        state->RecordFileInLocalList(task);
        return true;
      }
      WriteLog("Download %s Succeed, Try %d Times,But Cannot Copy That ", name.c_str(), 0);
      return false;
    case TaskKind::FourG:
      if (!MoveIntoPlace(task.downloadPath, task.targetPath)) {
        WriteLog("Download %s Succeed, Try %d Times,But Cannot Copy That ", name.c_str(), 0);
        return false;
      }
      WriteLog("Download %s Succeed And Copy 4GFile  Succeed ", name.c_str());
      if (task.fixNameCase == 1) FixNameCase(task);
      state->RecordFileInLocalList(task);
      AddFinishedFile(state);
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ApplyFetchedFiles(CDownloaderThreadPool* pool, InstallState* state, int* applied) {
  WriteLog(" BBBBBBBBBBBBBB  ProcessDownloadPatchTask process start!!! BBBBBBBBBBBBBB ");
  TestFunctionTime timer(true, 0, " PPPPPPPPPP thread: %d  ProcessDownloadPatchTask  cost time ",
                         platform::CurrentThreadId());
  int n = 0;
  pool->ApplyEachFinished([&](const DownloadTask& task) { n += ApplyFetchedTask(state, task); });
  if (applied) *applied = n;
  WriteLog("TEEEEEEEEEEEEEEE  ProcessDownloadPatchTask process end  EEEEEEEEEEEEEEE");
  return true;
}

PatchStep::PatchStep(Installation* state) : state_(*state) {}

UpdateStatus PatchStep::DownloadDifferentFiles(CDownloaderThreadPool* pool,
                                               const std::vector<DownloadTask>& tasks) {
  state_.Counters().ResetTransfer();
  const int count = static_cast<int>(tasks.size());
  WriteLog("Start Download Different files, Threadid: %d   Total %d File",
           platform::CurrentThreadId(), count);
  for (const DownloadTask& task : tasks) pool->AddTask(task, true);
  WriteLog("Start Download file size: %d  ", count);
  state_.OpenLocalList();
  state_.Counters().AddTotalFiles(count);
  int applied = 0;
  if (count > 0) {
    WriteLog("Start ProcessDownloadPatchTask");
    ApplyFetchedFiles(pool, &state_, &applied);
  }
  state_.WriteLocalClient();
  if (state_.CancelRequested()) return Status_Cancelled;
  // A file that could not be fetched, verified or put in place stays
  // different from the list: the pass has not completed.
  if (applied < count) {
    WriteLogTag("Error", "%d Of %d Files Were Not Updated", count - applied, count);
    return Status_FileDownloadFailed;
  }
  WriteLog("Download All Files Succeed");
  return Status_Completed;
}
