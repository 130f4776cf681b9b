// The command line's face of an update pass: status texts as lines, and the
// progress the window would show (bar, percentage, speed) redrawn on a
// terminal every 100 ms, or as occasional plain lines when the output is not
// a terminal. The bar and the speed come from the window's ProgressDisplay,
// so that both show the same figures.
//
// Thread-safety: UpdateUi calls come from the pass thread, the redraw from
// the UI's own ticker thread; lock_ guards the shared display state.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "app/progress_display.h"
#include "app/update_driver.h"

class CVXDlownloader;

class TerminalUi : public UpdateUi {
 public:
  TerminalUi(CVXDlownloader* engine, FILE* out, bool isTerminal);
  ~TerminalUi() override;

  void ShowStatus(UpdateStatus status) override;
  void StartProgress(ProgressPhase phase) override;
  void StopProgress(ProgressPhase phase) override;

  // The line the display shows for the running phase; "" when none runs.
  std::string ProgressLine();

 private:
  // The line and, in *percent, the whole percent it shows. lock_ held.
  std::string LineLocked(int* percent);
  std::string DownloadLineLocked(int64_t takenBytes, int* percent);
  std::string FirstDownloadLineLocked(int64_t takenBytes, int* percent);
  std::string FileCheckLine(int* percent);
  void ApplyLocked(const ProgressDisplay::Frame& frame);
  void TickLoop();
  void Redraw();
  void PrintLine(const std::string& text);

  CVXDlownloader* engine_;
  FILE* out_;
  const bool tty_;
  std::mutex lock_;
  std::condition_variable stop_;
  bool stopping_ = false;           // guarded by lock_
  std::set<ProgressPhase> phases_;  // guarded by lock_
  bool firstDownload_ = false;      // guarded by lock_
  ProgressDisplay progress_;        // guarded by lock_
  float bar_ = 0;                   // guarded by lock_: the download bar shown
  std::string speedLabel_;          // guarded by lock_
  int ticks_ = 0;                   // guarded by lock_
  int lastPlainPercent_ = -100;     // guarded by lock_
  bool lineOpen_ = false;           // guarded by lock_: a progress line is drawn
  std::thread ticker_;
};
