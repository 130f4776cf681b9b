// What the progress displays show at each tick, on the window and on the
// terminal alike: the bar of a download (status 6) and of a first download
// (37), the speed label, and the percentage of a file check (32). Kept apart
// from the controls so that the arithmetic, the speed label's pace and the
// bar that never moves back during a first download can be checked exactly.
//
// Thread-safety: none; one object per display, used by one thread at a time
// (the window's UI thread, or under the terminal's lock).
#pragma once

#include <cstdint>
#include <string>

// The engine counters a tick reads (a consistent copy).
struct ProgressCounters {
  int finishedFiles = 0;
  int totalFiles = 1;
  int64_t downloadedBytes = 0;
  int64_t totalBytes = 1;
};

class ProgressDisplay {
 public:
  // byteWeight: per cent of the first-download bar given to the bytes, 70 to 89.
  explicit ProgressDisplay(int byteWeight) : byteWeight_(byteWeight) {}

  // What one tick changes; a negative fraction leaves the bar as it is.
  struct Frame {
    float fraction = -1;
    bool setSpeedLabel = false;
    std::string speedLabel;
  };

  // Download tick. takenBytes: what the engine received since the previous
  // tick (the count is reset by taking it); nowMs: a millisecond tick count.
  Frame DownloadTick(const ProgressCounters& c, int64_t takenBytes, bool firstDownload,
                     unsigned nowMs);
  // First-download tick: files and bytes weighted, never moving back; from
  // 90 % on the label asks the player to wait for the installation.
  Frame FirstDownloadTick(const ProgressCounters& c, int64_t takenBytes, unsigned nowMs);

  // "正在进行文件校验 %.2f%" of checked / listed files; never 100.00 %.
  static std::string FileCheckText(int64_t checked, int64_t listed);
  // The bar: ctrProcess's bkimage for a fraction of its width.
  static std::string BarImage(int width, float fraction);

  int byteWeight() const { return byteWeight_; }

 private:
  std::string SpeedText(int64_t takenBytes);
  void PaceSpeedLabel(Frame* f, const std::string& text, unsigned nowMs);

  const int byteWeight_;
  int64_t lastSpeed_ = 10;      // bytes per 100 ms shown last
  unsigned lastLabelTick_ = 0;  // when DownloadSpeed last changed
  float highest_ = 0;           // the first-download bar so far
};
