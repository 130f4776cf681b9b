// The update driver: runs update passes of the engine in a fixed order on a
// thread of its own and tells a user interface what to show. The window and
// the command line each implement UpdateUi; the driver never touches a
// control itself.
//
// Thread-safety: UpdateDriver's public members may be called from any
// thread, the pass thread included (a pass may request the next one). Passes
// never overlap: a pass requested while one runs starts when it has ended.
// UpdateUi calls come from the pass thread; a window implementation posts
// them to its own thread in the order received.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class CVXDlownloader;

// The progress timers a pass arms on the window's ctrProcess control; each
// tick shows one status.
enum ProgressTimerId : int {
  kFileCheckTimer = 0,      // shows 32
  kFileInfoTimer = 1,       // shows 34
  kDownloadTimer = 2,       // shows 6
  kFirstDownloadTimer = 4,  // shows 37
  kSelfUpdateTimer = 6,     // shows 5
};

// What the driver asks of the window (or the terminal).
class UpdateUi {
 public:
  virtual ~UpdateUi() = default;

  // Shows one status code (texts in app/status_text.h). Engine-side effects
  // of 15, 17, 30 and 31 (log lines, file clean-up, restarts, game-start
  // trigger) are the driver's; the window only displays.
  virtual void ShowStatus(int code) = 0;

  // Named controls: EntryBtn, btnRepair, UpdatePercent, cntRrocess,
  // giftpack. HasControl is false for a control the skin lacks.
  virtual bool HasControl(const std::string& name) = 0;
  virtual void SetControlVisible(const std::string& name, bool visible) = 0;
  virtual void SetControlEnabled(const std::string& name, bool enabled) = 0;
  virtual void SetControlText(const std::string& name, const std::string& text) = 0;

  // Progress timers on ctrProcess (ProgressTimerId).
  virtual void SetProgressTimer(int id, int periodMs) = 0;
  virtual void KillProgressTimer(int id) = 0;
  // Set while a pass runs the first download, cleared when that pass
  // completes: the download bar then starts at 90 %.
  virtual void SetFirstDownloadFlag(bool on) { (void)on; }

  virtual void CheckDiskSpace() = 0;
  // The server list fetch after a completed pass.
  virtual void DownloadServerList() = 0;
  // The periodic full check; may call UpdateDriver::StartUpdateThread.
  virtual void RunFourDayCheck() = 0;
  // Lets the game start once the page hands over its start text. Called at
  // most once per process.
  virtual void StartGameThread() = 0;
};

class UpdateDriver {
 public:
  // Both borrowed; they outlive the driver.
  UpdateDriver(CVXDlownloader* engine, UpdateUi* ui);
  // Waits for the running pass and any queued one.
  ~UpdateDriver();
  UpdateDriver(const UpdateDriver&) = delete;
  UpdateDriver& operator=(const UpdateDriver&) = delete;

  // Requests a pass with the engine's current mode. Starts it now, or after
  // the running pass when one runs. 1 when started or queued, 0 when no
  // thread could be created.
  int StartUpdateThread();

  // Blocks until no pass runs and none is queued.
  void WaitIdle();

  // The last status the passes showed (17 after a completed pass).
  int lastStatus() const { return lastStatus_.load(); }
  // Set by a completed pass.
  bool gameStartAllowed() const { return gameStartFlag_.load(); }
  // True the first time only: the four-day check runs once per driver, so
  // the full check it starts does not start another one when it completes.
  bool TakeFourDayCheck() { return !fourDayCheckRan_.exchange(true); }

  // Restarts after statuses 15 and 31 wait this long (1000 ms); tests use 0.
  int restartDelayMs = 1000;
  // How many restarts by 15 or 31 in a row are made; -1 for no limit (the
  // window). A command-line run stops instead of looping on a broken server.
  int maxRestarts = -1;

  // One pass; 1 when it completed (status 17), 0 otherwise. Public for tests.
  int UpdateThreadProc();

 private:
  void PassLoop();
  void Show(int code);
  void AfterCompleted();
  void RestartLater();
  void PrepareControls(int mode);
  int RunSteps(int mode, bool* firstDownload);
  int DownloadAndFinish(int mode, bool firstDownload);

  CVXDlownloader* engine_;
  UpdateUi* ui_;
  std::mutex lock_;
  std::condition_variable idle_;
  bool running_ = false;    // guarded by lock_
  bool requested_ = false;  // guarded by lock_
  int restartsInRow_ = 0;   // pass thread only
  std::thread thread_;      // guarded by lock_
  std::atomic<int> lastStatus_{0};
  std::atomic<bool> gameStartFlag_{false};
  // Two passes started by the four-day check would otherwise start two games.
  std::atomic<bool> gameThreadStarted_{false};
  std::atomic<bool> fourDayCheckRan_{false};
};
