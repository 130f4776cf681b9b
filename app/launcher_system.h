// What the launcher's windows ask of the system beyond drawing: free disk
// space, the system message box, opening a page in the desktop's browser,
// looking for another program's window, starting the game and ending the
// process. The window goes through this seam so that its tests can answer
// instead of the system (a full disk, a player who clicks OK).
//
// Thread-safety: the real implementation keeps no state and may be called
// from any thread; the message box must be shown from the UI thread.
#pragma once

#include <memory>
#include <string>

#include "app/game_start.h"
#include "platform/disk_space.h"

class LauncherSystem {
 public:
  virtual ~LauncherSystem() = default;

  virtual bool QueryDiskSpace(const std::string& folder, platform::DiskSpace* out) = 0;
  // A modal system message box without an owner; MB_* type bits.
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
  virtual bool OpenUrl(const std::string& url) = 0;
  // Whether a top-level window of any program carries exactly this title.
  virtual bool IsWindowOpen(const std::string& title) = 0;
  // Starts the game's command in `folder` with our environment, in a
  // session of its own. 0 when it started, else an errno value.
  virtual int StartGame(const GameCommand& command, const std::string& folder) = 0;
  // Ends the process at once: the day log is closed first and no static
  // destructor runs, since other threads may still be working.
  virtual void EndProcess(int code) = 0;
  // Milliseconds on a monotonic clock (the speed label's pace).
  virtual unsigned TickCount() = 0;
};

// The system itself.
std::unique_ptr<LauncherSystem> CreateRealLauncherSystem();

// What LauncherSystem::EndProcess does in the real system; for code paths
// (the self-update) that end the process without a window.
[[noreturn]] void EndLauncherProcess(int code);
