// Helpers of the launcher's end-to-end cases: a private X display with a
// window manager, the launcher started as a player starts it, input through
// xdotool, screenshots read back as pixels, and the day log.
// Thread-safety: objects belong to the test's thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/painter.h"

namespace e2e {

// Polls `done` every 20 ms until it holds or `seconds` pass (a bound for a
// broken case, not a timing); true when it holds.
bool WaitFor(const std::function<bool()>& done, int seconds = 60);

// An Xvfb server of its own (the number it picks itself) with openbox on it,
// so that minimising, Alt+F4 and raising behave as on a desktop, and no
// other test's window lies over ours. Both end with the object.
class PrivateDisplay {
 public:
  PrivateDisplay();
  ~PrivateDisplay();
  PrivateDisplay(const PrivateDisplay&) = delete;
  PrivateDisplay& operator=(const PrivateDisplay&) = delete;

  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }  // ":N"
  // Runs a shell command with DISPLAY set to this display; its exit code.
  int Run(const std::string& command) const;
  // The same, returning what it printed (trailing line feeds removed).
  std::string Output(const std::string& command) const;
  // The X id of the window titled exactly `title`; 0 when there is none.
  unsigned long FindWindow(const std::string& title) const;
  // Clicks at a point of the window (window coordinates).
  bool Click(unsigned long window, int x, int y) const;
  // "Normal", "Iconic" or "" (the window's WM_STATE).
  std::string WindowState(unsigned long window) const;
  // The window's picture as the screen shows it now; null on failure. The
  // PNG is also kept at `savePath` when one is given.
  std::unique_ptr<platform::Surface> Screenshot(unsigned long window,
                                                const std::string& savePath = "") const;

 private:
  pid_t xvfb_ = -1;
  pid_t wm_ = -1;
  std::string name_;
};

// A launcher process started from its folder as a player would start it:
// there (or in `startFolder`, as a menu entry starts it in the home folder),
// with our environment plus DISPLAY and KESTRAVA_RELEASE_URL.
class LauncherProcess {
 public:
  LauncherProcess(const PrivateDisplay& display, const std::string& folder,
                  const std::string& releaseUrl, const std::string& startFolder = "");
  ~LauncherProcess();  // kills a launcher still running
  LauncherProcess(const LauncherProcess&) = delete;
  LauncherProcess& operator=(const LauncherProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Waits for the process to end; its exit code, or -1 when it did not end
  // within the bound or ended by a signal.
  int Wait(int seconds = 60);

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int exitCode_ = -1;
};

// The day logs of an installation folder, all of them in name order.
std::string DayLog(const std::string& installDir);
// How often `text` occurs in the day log.
int LogCount(const std::string& installDir, const std::string& text);

// A PNG file's pixels; null when it cannot be read.
std::unique_ptr<platform::Surface> LoadPicture(const std::string& path);
// Mean difference per channel of two same-sized areas, 0 to 255.
double AreaDifference(platform::Surface& a, int ax, int ay, platform::Surface& b, int bx, int by,
                      int width, int height);
// How many pixels of an area differ clearly (by more than 40 in a channel)
// between two pictures of the same size.
int ChangedPixels(platform::Surface& a, platform::Surface& b, int x, int y, int width, int height);

}  // namespace e2e
