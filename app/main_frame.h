// CMainFrame: the launcher's window. It owns the update engine and the
// driver that runs its passes, shows every status as texts, a progress bar
// and button states, turns timer ticks into progress displays, reacts to
// clicks and to the private messages 11024-11027, hosts the web page, and
// starts the game once a completed pass and the page's start text allow it.
//
// Thread-safety: the window and its controls belong to the UI thread. The
// pass thread reaches them only through the UpdateUi bridge, which queues
// every call for the UI thread in the order made (a call that needs an
// answer waits for it there), and through the driver's game-start hook,
// which only starts the game-start thread; that thread reads only the page's
// return code, which the browser control keeps under a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "app/launcher_settings.h"
#include "app/launcher_system.h"
#include "app/progress_display.h"
#include "app/update_driver.h"
#include "ui/window_impl_base.h"

class CVXDlownloader;

namespace SkinUI {
class CControlUI;
class CWebBrowserUI;
class CWebBrowserEventHandler;
}  // namespace SkinUI

// Title of the main window, and the single-instance key.
constexpr const char kMainWindowTitle[] = "Kestrava launcher";

// The window's progress timers on ctrProcess, one per ProgressPhase; each
// tick shows one status.
enum ProgressTimerId : int {
  kFileCheckTimer = 0,      // shows 32
  kFileInfoTimer = 1,       // shows 34
  kDownloadTimer = 2,       // shows 6
  kFirstDownloadTimer = 4,  // shows 37
  kSelfUpdateTimer = 6,     // shows 5
};

// The private window messages (WM_USER + 10000 onwards).
enum MainFrameMessage : unsigned {
  kRefreshVersionMessage = 11024,
  kSelfUpdateMessage = 11025,
  kChangeServerMessage = 11026,
  kStopTimersMessage = 11027,
  // Runs the calls the pass thread queued (see UiCallQueue).
  kRunQueuedCallsMessage = 0x0400 + 9000,
};

class CMainFrame : public SkinUI::WindowImplBase {
 public:
  // system: borrowed; it outlives the window (it lives for the process).
  explicit CMainFrame(LauncherSystem* system);
  ~CMainFrame() override;

  std::string WindowClassName() const override { return "CMainFrame"; }
  void OnFinalMessage(SkinUI::HWND hwnd) override;
  void InitWindow() override;
  void OnClick(SkinUI::TNotifyUI& msg) override;
  std::string SkinFolder() override { return ""; }
  std::string SkinFile() override { return "mainframe.xml"; }
  SkinUI::UILIB_RESOURCETYPE GetResourceType() const override { return SkinUI::UILIB_ZIPRESOURCE; }
  std::string GetZIPFileName() const override { return ""; }
  int GetResourceID() const override { return 130; }
  platform::LRESULT OnMouseWheel(unsigned msg, platform::WPARAM wparam, platform::LPARAM lparam,
                                 bool& handled) override;
  platform::LRESULT OnSysCommand(unsigned msg, platform::WPARAM wparam, platform::LPARAM lparam,
                                 bool& handled) override;
  platform::LRESULT OnCreate(unsigned msg, platform::WPARAM wparam, platform::LPARAM lparam,
                             bool& handled) override;
  platform::LRESULT HandleCustomMessage(unsigned msg, platform::WPARAM wparam,
                                        platform::LPARAM lparam, bool& handled) override;
  platform::LRESULT MessageHandler(unsigned msg, platform::WPARAM wparam, platform::LPARAM lparam,
                                   bool& handled) override;
  void OnTimer(SkinUI::TNotifyUI& msg);
  void OnWindowInit(SkinUI::TNotifyUI& msg);
  void OnNothing(SkinUI::TNotifyUI& msg) { (void)msg; }

  // Start-up benchmarks: the first painted frame writes the milliseconds
  // since the process started into this file.
  void ReportFirstFrameTo(const std::string& file) { firstFrameReport_ = file; }

  // UI thread only.
  void ShowStatus(UpdateStatus status);
  void SetProgress(float fraction);
  void CheckDiskSpace();
  void RefreshVersionText();
  int StartUpdateThread();

  CVXDlownloader* engine() const { return engine_.get(); }
  UpdateDriver* driver() const { return driver_.get(); }
  const WebConfig& webConfig() const { return webConfig_; }
  SkinUI::CControlUI* Control(const std::string& name) const;

 protected:
  LauncherSystem* system() const { return system_; }

 private:
  class Bridge;
  void FindControls();
  void NavigateHomePage();
  void ShowFailure(UpdateStatus status);
  void ShowCompletion();
  void ShowDownloadProgress();
  void ShowFirstDownloadProgress();
  void ShowFileCheckProgress();
  void ShowFileInfo();
  void ApplyFrame(const ProgressDisplay::Frame& frame);
  void SetText(const char* name, const std::string& text);
  void SetVisible(const char* name, bool visible);
  void SetEnabled(const char* name, bool enabled);
  void DisableEntryAndRepair();
  void ShowEntry(EntryState state);
  void LockEntry(const char* logLine);
  void StartProgress(ProgressPhase phase);
  void StopProgress(ProgressPhase phase);
  void ArmTimer(ProgressTimerId id, int periodMs);
  void StopTimer(ProgressTimerId id);
  void OpenAddress(const char* logLine, const std::string& url);
  void StartGameThread();
  void GameStartThreadProc();
  bool StartGame(const std::string& commandLine, std::string* reason);
  void ReportGameStartFailure(const std::string& reason);
  void EndProcess(int code);

  LauncherSystem* system_;
  const std::string installDir_;
  std::unique_ptr<SkinUI::CWebBrowserEventHandler> webHandler_;
  std::unique_ptr<Bridge> bridge_;
  // The engine outlives the driver, which borrows it.
  std::unique_ptr<CVXDlownloader> engine_;
  std::unique_ptr<UpdateDriver> driver_;
  // The sixteen controls of the skin by name; null for those it lacks.
  // Written once by InitWindow, read from any thread afterwards.
  std::map<std::string, SkinUI::CControlUI*> controls_;
  SkinUI::CWebBrowserUI* ie_ = nullptr;
  WebConfig webConfig_;
  ProgressDisplay progress_;
  bool firstDownload_ = false;          // UI thread
  bool clientListFailedShown_ = false;  // UI thread: status 30's second text
  bool threadEverStarted_ = false;      // UI thread
  std::string firstFrameReport_;        // UI thread
  std::atomic<bool> gameStarted_{false};

  SKIN_DECLARE_MESSAGE_MAP()
};
