// One update pass in the engine's fixed order: connectivity, update list,
// first download, differences, sizes, download and apply, completion.
#include "app/update_driver.h"

#include <chrono>

#include "diag/log.h"
#include "update/downloader.h"
#include "update/engine_files.h"
#include "util/file_util.h"

namespace {

const char kEntryBtn[] = "EntryBtn";

}  // namespace

UpdateDriver::UpdateDriver(CVXDlownloader* engine, UpdateUi* ui) : engine_(engine), ui_(ui) {}

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

void UpdateDriver::Show(int code) {
  lastStatus_.store(code);
  ui_->ShowStatus(code);
  switch (code) {
    case 15:
      WriteLog(" login.scope Is Failed");
      engine_->SetUpdateMode(VerifyFiles);
      RestartLater();
      break;
    case 17:
      AfterCompleted();
      break;
    case 30:
      WriteLog(" client.md5 Is Failed");
      break;
    case 31:
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
  if (maxRestarts >= 0 && restartsInRow_ >= maxRestarts) return;
  ++restartsInRow_;
  std::this_thread::sleep_for(std::chrono::milliseconds(restartDelayMs));
  StartUpdateThread();
}

void UpdateDriver::AfterCompleted() {
  restartsInRow_ = 0;
  WriteLog("Stop Update Thread");
  gameStartFlag_.store(true);
  DeleteFolderContents(engine_->installDir() + "LauncherConfig/update", false, false);
  RemoveFileIfPresent(engine_->installDir() + "LauncherConfig/client.md5.7z");
  WriteLog("DeleteFolder");
  if (!gameThreadStarted_.exchange(true)) ui_->StartGameThread();
}

void UpdateDriver::PrepareControls(int mode) {
  if (ui_->HasControl(kEntryBtn) && mode < FullDownload) {
    ui_->SetControlVisible(kEntryBtn, true);
    ui_->SetControlEnabled(kEntryBtn, false);
    WriteLog("Start ThreadProcess m_pEntryBtn->SetEnabled(false);");
  }
  if (ui_->HasControl("btnRepair")) ui_->SetControlEnabled("btnRepair", false);
  ui_->SetControlVisible("cntRrocess", false);
}

int UpdateDriver::UpdateThreadProc() {
  ui_->SetControlVisible("UpdatePercent", true);
  const int mode = engine_->GetUpdateMode();
  PrepareControls(mode);
  bool firstDownload = false;
  int r = RunSteps(mode, &firstDownload);
  if (r != Status_Completed) {
    WriteLog("Stop Update Thread");
    return 0;
  }
  Show(Status_Completed);
  return 1;
}

// Steps 5 to 14 of a pass; returns 17 when the pass completed, else the
// status that ended it (already shown when it is to be shown).
int UpdateDriver::RunSteps(int mode, bool* firstDownload) {
  WriteLogTag("Start Check Net", "%s", engine_->releaseBaseUrl().c_str());
  int r = engine_->CheckNet(engine_->releaseBaseUrl());
  if (r == 0) {
    WriteLogTag("Error", "Check Net Fail");
    Show(19);
    return 19;
  }
  if (r == Status_Cancelled) {
    WriteLog("Cancel Update");
    Show(Status_Cancelled);
    return r;
  }
  WriteLog("Check Net Succeed");
  Show(1);
  ui_->CheckDiskSpace();

  // A signed release is judged by its release.sig before anything else of
  // it is read; a server that does not sign is refused (4).
  r = engine_->FetchReleaseSignature();
  if (r != Status_Ready) {
    Show(r);
    return r;
  }
  r = mode < FullDownload ? engine_->GetUpdateList() : Status_Ready;
  WriteLog("Start GetUpdateList Succed");
  if (r != Status_Ready) {
    Show(r);
    return r;
  }
  if (engine_->IsFirstLogin() == Status_FirstLogin) {
    *firstDownload = true;
    ui_->SetFirstDownloadFlag(true);
    if (ui_->HasControl("giftpack")) ui_->SetControlVisible("giftpack", true);
    engine_->SetUpdateMode(Recheck);
    ui_->SetProgressTimer(kFirstDownloadTimer, 100);
    engine_->FirstDownload();
    ui_->KillProgressTimer(kFirstDownloadTimer);
  }
  ui_->SetProgressTimer(kFileCheckTimer, 1000);
  r = engine_->GetDifferentFiles();
  ui_->KillProgressTimer(kFileCheckTimer);
  if (r != Status_DifferencesReady) {
    Show(r);
    return r;
  }
  ui_->SetProgressTimer(kFileInfoTimer, 1000);
  r = engine_->GetDownloadSize();
  ui_->KillProgressTimer(kFileInfoTimer);
  if (r == Status_Cancelled) WriteLog("Cancel Update");
  if (r != Status_SizeReady) {
    r = r == Status_Cancelled ? r : Status_SizeFailed;
    Show(r);
    return r;
  }
  return DownloadAndFinish(mode, *firstDownload);
}

// Steps 10 to 14: download and apply, then completion work.
int UpdateDriver::DownloadAndFinish(int mode, bool firstDownload) {
  const bool entry = ui_->HasControl(kEntryBtn);
  ui_->SetProgressTimer(kDownloadTimer, 100);
  ui_->SetControlText("UpdatePercent", "");
  if (entry && mode < FullDownload) {
    ui_->SetControlVisible(kEntryBtn, true);
    ui_->SetControlEnabled(kEntryBtn, false);
    WriteLog("m_pEntryBtn->SetEnabled(false);");
  }
  int r = engine_->DownloadDifferentFiles();
  ui_->KillProgressTimer(kDownloadTimer);
  ui_->SetControlVisible("cntRrocess", false);
  // Files that could not be updated are a failure the player must see.
  if (r == Status_FileDownloadFailed) Show(r);
  if (r != Status_Completed) return r;

  WriteLog(" Status_Completed");
  ui_->DownloadServerList();
  engine_->DeleteOldFile();
  if (entry) {
    ui_->SetControlVisible(kEntryBtn, true);
    WriteLog("m_pEntryBtn->SetVisible(true)");
    ui_->SetControlEnabled(kEntryBtn, true);
    WriteLog("m_pEntryBtn->SetEnabled(true);");
  }
  if (firstDownload) {
    ui_->SetFirstDownloadFlag(false);
  } else {
    ui_->RunFourDayCheck();
  }
  return Status_Completed;
}
