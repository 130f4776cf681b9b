// The command line's face of an update pass: status texts as lines, and the
// progress the window would show (bar, percentage, speed) redrawn on a
// terminal every 100 ms, or as occasional plain lines when the output is not
// a terminal.
//
// Thread-safety: UpdateUi calls come from the pass thread, the redraw from
// the UI's own ticker thread; lock_ guards the shared display state.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "app/update_driver.h"

class CVXDlownloader;

class TerminalUi : public UpdateUi {
 public:
  TerminalUi(CVXDlownloader* engine, FILE* out, bool isTerminal);
  ~TerminalUi() override;

  void SetDriver(UpdateDriver* driver) { driver_ = driver; }

  void ShowStatus(int code) override;
  bool HasControl(const std::string&) override { return false; }
  void SetControlVisible(const std::string&, bool) override {}
  void SetControlEnabled(const std::string&, bool) override {}
  void SetControlText(const std::string&, const std::string&) override {}
  void SetProgressTimer(int id, int periodMs) override;
  void KillProgressTimer(int id) override;
  void CheckDiskSpace() override {}
  void DownloadServerList() override;
  void RunFourDayCheck() override;
  void StartGameThread() override {}

  // The line the display shows for the active timer; "" when none is armed.
  std::string ProgressLine();

 private:
  // The line and, in *percent, the whole percent it shows.
  std::string ProgressLine(int* percent);
  void TickLoop();
  void Redraw();
  void PrintLine(const std::string& text);

  CVXDlownloader* engine_;
  UpdateDriver* driver_ = nullptr;
  FILE* out_;
  const bool tty_;
  std::mutex lock_;
  std::condition_variable stop_;
  bool stopping_ = false;        // guarded by lock_
  std::set<int> timers_;         // guarded by lock_
  bool firstDownload_ = false;   // guarded by lock_
  int64_t speedBytes_ = 0;       // guarded by lock_: bytes in the current second
  int64_t shownSpeed_ = 0;       // guarded by lock_: bytes per second shown
  int ticks_ = 0;                // guarded by lock_
  int lastPlainPercent_ = -100;  // guarded by lock_
  bool lineOpen_ = false;        // guarded by lock_: a progress line is drawn
  std::thread ticker_;
};
