// One update pass in the engine's fixed order: connectivity, update list,
// first download, differences, sizes, download and apply, completion.
#include "app/update_driver.h"

#include <chrono>

#include "app/launcher_settings.h"
#include "diag/log.h"
#include "update/downloader.h"
#include "util/file_util.h"

UpdateDriver::UpdateDriver(CVXDlownloader* engine, UpdateUi* ui, Options options)
    : engine_(engine), ui_(ui), options_(std::move(options)) {}

UpdateDriver::~UpdateDriver() {
  WaitIdle();
  std::lock_guard<std::mutex> hold(lock_);
  if (thread_.joinable()) thread_.join();
}

int UpdateDriver::StartUpdateThread() {
  std::lock_guard<std::mutex> hold(lock_);
  requested_ = true;
  if (!running_) {
    if (thread_.joinable()) thread_.join();  // it ended: it no longer needs lock_
    try {
      thread_ = std::thread(&UpdateDriver::PassLoop, this);
    } catch (const std::system_error&) {
      requested_ = false;
      WriteLogTag("Error", "Start Update Thread Fail");
      return 0;
    }
    running_ = true;
  }
  WriteLog("Start Update Thread Succeed");
  return 1;
}

void UpdateDriver::WaitIdle() {
  std::unique_lock<std::mutex> hold(lock_);
  idle_.wait(hold, [this] { return !running_; });
}

bool UpdateDriver::Idle() {
  std::lock_guard<std::mutex> hold(lock_);
  return !running_;
}

void UpdateDriver::PassLoop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!requested_) {
        running_ = false;
        idle_.notify_all();
        return;
      }
      requested_ = false;
    }
    engine_->ClearCancel();
    UpdateThreadProc();
  }
}

void UpdateDriver::Show(UpdateStatus status) {
  lastStatus_.store(status);
  ui_->ShowStatus(status);
  switch (status) {
    case Status_ScopeListMissing:
      WriteLog(" login.scope Is Failed");
      engine_->SetUpdateMode(UpdateMode::VerifyFiles);
      RestartLater();
      break;
    case Status_Completed:
      AfterCompleted();
      break;
    case Status_ClientListMissing:
      WriteLog(" client.md5 Is Failed");
      break;
    case Status_LocalListMissing:
      WriteLog(" localclient.md5 Is Failed");
      RemoveFileIfPresent(engine_->LocalListPath());
      WriteLog("Delete localclient.md5");
      RestartLater();
      break;
    default:
      break;
  }
}

void UpdateDriver::RestartLater() {
  if (options_.maxRestarts >= 0 && restartsInRow_ >= options_.maxRestarts) return;
  ++restartsInRow_;
  std::this_thread::sleep_for(std::chrono::milliseconds(options_.restartDelayMs));
  StartUpdateThread();
}

void UpdateDriver::AfterCompleted() {
  restartsInRow_ = 0;
  WriteLog("Stop Update Thread");
  gameStartFlag_.store(true);
  DeleteFolderContents(engine_->layout().updateArea(), false, false);
  RemoveFileIfPresent(engine_->layout().clientListArchive());
  WriteLog("DeleteFolder");
  if (options_.gameStartHook && !gameStartHookCalled_.exchange(true)) options_.gameStartHook();
}

int UpdateDriver::UpdateThreadProc() {
  const UpdateMode mode = engine_->GetUpdateMode();
  ui_->ShowEntry(mode < UpdateMode::FullDownload ? EntryState::kPassStarting
                                                 : EntryState::kFullDownloadStarting);
  bool firstDownload = false;
  if (RunSteps(mode, &firstDownload) != Status_Completed) {
    WriteLog("Stop Update Thread");
    return 0;
  }
  Show(Status_Completed);
  return 1;
}

// Steps 5 to 14 of a pass; returns 17 when the pass completed, else the
// status that ended it (already shown when it is to be shown).
UpdateStatus UpdateDriver::RunSteps(UpdateMode mode, bool* firstDownload) {
  UpdateStatus r = CheckNetwork();
  if (r == Status_NetReachable) r = ReadLists(mode, firstDownload);
  if (r == Status_Ready) r = FindWork();
  if (r != Status_SizeReady) return r;
  return DownloadAndFinish(mode, *firstDownload);
}

// 1 when the server answers; otherwise the status shown.
UpdateStatus UpdateDriver::CheckNetwork() {
  WriteLogTag("Start Check Net", "%s", engine_->releaseBaseUrl().c_str());
  const int r = engine_->CheckNet(engine_->releaseBaseUrl());
  if (r == 0) {
    WriteLogTag("Error", "Check Net Fail");
    Show(Status_ServerUnreachable);
    return Status_ServerUnreachable;
  }
  if (r == Status_Cancelled) {
    WriteLog("Cancel Update");
    Show(Status_Cancelled);
    return Status_Cancelled;
  }
  WriteLog("Check Net Succeed");
  Show(Status_NetReachable);
  ui_->CheckDiskSpace();
  return Status_NetReachable;
}

// The release's signature, the update list and, for an empty installation,
// the first download; 32 when the pass goes on, otherwise the status shown.
UpdateStatus UpdateDriver::ReadLists(UpdateMode mode, bool* firstDownload) {
  // A signed release is judged by its release.sig before anything else of
  // it is read; a server that does not sign is refused (4).
  UpdateStatus r = engine_->FetchReleaseSignature();
  if (r != Status_Ready) {
    Show(r);
    return r;
  }
  r = mode < UpdateMode::FullDownload ? engine_->GetUpdateList() : Status_Ready;
  // Whatever the launcher's own update announced must stop now, or it would
  // keep writing its text over the statuses that follow.
  ui_->StopProgress(ProgressPhase::kSelfUpdate);
  WriteLog("Start GetUpdateList Succed");
  if (r != Status_Ready) {
    Show(r);
    return r;
  }
  RunFirstDownloadIfNeeded(firstDownload);
  return Status_Ready;
}

void UpdateDriver::RunFirstDownloadIfNeeded(bool* firstDownload) {
  if (engine_->IsFirstLogin() != Status_FirstLogin) return;
  *firstDownload = true;
  engine_->SetUpdateMode(UpdateMode::Recheck);
  ui_->StartProgress(ProgressPhase::kFirstDownload);
  engine_->FirstDownload();
  ui_->StopProgress(ProgressPhase::kFirstDownload);
}

// The differences and their sizes; 6 when there is a download to run,
// otherwise the status shown.
UpdateStatus UpdateDriver::FindWork() {
  ui_->StartProgress(ProgressPhase::kFileCheck);
  UpdateStatus r = engine_->GetDifferentFiles();
  ui_->StopProgress(ProgressPhase::kFileCheck);
  if (r != Status_DifferencesReady) {
    Show(r);
    return r;
  }
  ui_->StartProgress(ProgressPhase::kFileInfo);
  r = engine_->GetDownloadSize();
  ui_->StopProgress(ProgressPhase::kFileInfo);
  if (r == Status_Cancelled) WriteLog("Cancel Update");
  if (r != Status_SizeReady) {
    r = r == Status_Cancelled ? r : Status_SizeFailed;
    Show(r);
    return r;
  }
  return Status_SizeReady;
}

// Steps 10 to 14: download and apply, then completion work.
UpdateStatus UpdateDriver::DownloadAndFinish(UpdateMode mode, bool firstDownload) {
  ui_->StartProgress(ProgressPhase::kDownload);
  if (mode < UpdateMode::FullDownload) ui_->ShowEntry(EntryState::kLocked);
  const UpdateStatus r = engine_->DownloadDifferentFiles();
  ui_->StopProgress(ProgressPhase::kDownload);
  // Files that could not be updated are a failure the player must see.
  if (r == Status_FileDownloadFailed) Show(r);
  if (r != Status_Completed) return r;

  WriteLog(" Status_Completed");
  DownloadServerList(engine_);
  engine_->DeleteOldFile();
  ui_->ShowEntry(EntryState::kReadyToPlay);
  if (firstDownload) {
    ui_->EndFirstDownload();
  } else {
    RunFourDayCheck(engine_, this, options_.fourDayCheckDay);
  }
  return Status_Completed;
}
