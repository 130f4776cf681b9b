// The update driver: runs update passes of the engine in a fixed order on a
// thread of its own, does what a completed pass calls for (the server list,
// the periodic full check, letting the game start), and tells a user
// interface what happened. The window and the command line each implement
// UpdateUi; neither the driver nor the interface names a control.
//
// Thread-safety: UpdateDriver's public members may be called from any
// thread, the pass thread included (a pass may request the next one). Passes
// never overlap: a pass requested while one runs starts when it has ended.
// UpdateUi calls and the game-start hook come from the pass thread; a window
// implementation posts them to its own thread in the order received.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "update/types.h"

class CVXDlownloader;

// The long steps of a pass, and the launcher's own update, each of which has
// a progress display of its own while it blocks the pass.
enum class ProgressPhase {
  kFileCheck,      // the differences are computed
  kFileInfo,       // the download sizes are fetched
  kDownload,       // the differing files download and are applied
  kFirstDownload,  // an empty installation gets the release's packages
  kSelfUpdate,     // the launcher replaces itself
};

// What the player can do with the entry (play) and repair buttons, and what
// the area around them shows, as a pass goes.
enum class EntryState {
  // A pass starts: its progress is shown instead of the finished bar, repair
  // is off, and the entry shows but cannot be pressed.
  kPassStarting,
  // A full download starts: the same, but the entry stays as it was.
  kFullDownloadStarting,
  // The pass works on: the entry shows but cannot be pressed.
  kLocked,
  // The pass completed: the entry can be pressed.
  kReadyToPlay,
};

// What the driver tells the window (or the terminal).
class UpdateUi {
 public:
  virtual ~UpdateUi() = default;

  // Shows one status (texts in app/status_text.h). Engine-side effects of
  // 15, 17, 30 and 31 (log lines, file clean-up, restarts, game start) are
  // the driver's; the interface only displays.
  virtual void ShowStatus(UpdateStatus status) = 0;

  // A long step begins or ends; its display runs in between.
  virtual void StartProgress(ProgressPhase phase) = 0;
  virtual void StopProgress(ProgressPhase phase) = 0;

  virtual void ShowEntry(EntryState state) { (void)state; }
  // The pass that ran the first download completed: later downloads no
  // longer show as its last tenth.
  virtual void EndFirstDownload() {}
  // The network answered: warn when the disk is nearly full. The pass waits.
  virtual void CheckDiskSpace() {}
};

class UpdateDriver {
 public:
  struct Options {
    // Restarts after statuses 15 and 31 wait this long; tests use 0.
    int restartDelayMs = 1000;
    // How many restarts by 15 or 31 in a row are made; -1 for no limit (the
    // window). A command-line run stops instead of looping on a broken server.
    int maxRestarts = -1;
    // The day of the month the four-day check takes for today; 0 for the
    // calendar's.
    int fourDayCheckDay = 0;
    // Called once per driver, on the pass thread, when a pass first
    // completes: where a game can be started, this begins waiting for the
    // player's word. Empty where no game is started (the command line).
    std::function<void()> gameStartHook;
  };

  // Both borrowed; they outlive the driver.
  UpdateDriver(CVXDlownloader* engine, UpdateUi* ui, Options options);
  UpdateDriver(CVXDlownloader* engine, UpdateUi* ui) : UpdateDriver(engine, ui, Options()) {}
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
  // Whether no pass runs and none is queued, without waiting.
  bool Idle();

  // The last status the passes showed (17 after a completed pass).
  UpdateStatus lastStatus() const { return lastStatus_.load(); }
  // Set by a completed pass.
  bool gameStartAllowed() const { return gameStartFlag_.load(); }
  // True the first time only: the four-day check runs once per driver, so
  // the full check it starts does not start another one when it completes.
  bool TakeFourDayCheck() { return !fourDayCheckRan_.exchange(true); }

  // One pass; 1 when it completed (status 17), 0 otherwise. Public for tests.
  int UpdateThreadProc();

 private:
  void PassLoop();
  void Show(UpdateStatus status);
  void AfterCompleted();
  void RestartLater();
  UpdateStatus RunSteps(UpdateMode mode, bool* firstDownload);
  UpdateStatus CheckNetwork();
  UpdateStatus ReadLists(UpdateMode mode, bool* firstDownload);
  void RunFirstDownloadIfNeeded(bool* firstDownload);
  UpdateStatus FindWork();
  UpdateStatus DownloadAndFinish(UpdateMode mode, bool firstDownload);

  CVXDlownloader* engine_;
  UpdateUi* ui_;
  const Options options_;
  std::mutex lock_;
  std::condition_variable idle_;
  bool running_ = false;    // guarded by lock_
  bool requested_ = false;  // guarded by lock_
  int restartsInRow_ = 0;   // pass thread only
  std::thread thread_;      // guarded by lock_
  std::atomic<UpdateStatus> lastStatus_{Status_Connecting};
  std::atomic<bool> gameStartFlag_{false};
  // Two passes started by the four-day check would otherwise start two games.
  std::atomic<bool> gameStartHookCalled_{false};
  std::atomic<bool> fourDayCheckRan_{false};
};
