#include "app/progress_display.h"

#include <cstdio>

#include "util/text_util.h"

namespace {

// The speed label changes at most this often, so that it stays readable.
constexpr unsigned kSpeedLabelPeriodMs = 1500;

}  // namespace

std::string ProgressDisplay::SpeedText(int64_t takenBytes) {
  // A tick without bytes keeps showing the speed seen last.
  if (takenBytes > 0) lastSpeed_ = takenBytes;
  // Bytes per 100 ms, ten times, are bytes per second.
  return "下载速度：" + FormatSizeText(static_cast<uint64_t>(lastSpeed_ * 10)) + "/S";
}

void ProgressDisplay::PaceSpeedLabel(Frame* f, const std::string& text, unsigned nowMs) {
  if (nowMs - lastLabelTick_ <= kSpeedLabelPeriodMs) return;  // unsigned: wraps safely
  lastLabelTick_ = nowMs;
  f->setSpeedLabel = true;
  f->speedLabel = text;
}

ProgressDisplay::Frame ProgressDisplay::DownloadTick(const ProgressCounters& c, int64_t takenBytes,
                                                     bool firstDownload, unsigned nowMs) {
  Frame f;
  if (c.totalFiles > 1) {
    f.fraction = static_cast<float>(c.finishedFiles) / static_cast<float>(c.totalFiles);
    // After a first download the patch is the last tenth of the bar.
    if (firstDownload) f.fraction = f.fraction * 0.1f + 0.9f;
  }
  PaceSpeedLabel(&f, SpeedText(takenBytes), nowMs);
  return f;
}

ProgressDisplay::Frame ProgressDisplay::FirstDownloadTick(const ProgressCounters& c,
                                                          int64_t takenBytes, unsigned nowMs) {
  Frame f;
  bool installing = false;
  if (c.totalBytes >= 1) {
    const float files = static_cast<float>(c.finishedFiles) / static_cast<float>(c.totalFiles);
    const float bytes = static_cast<float>(c.downloadedBytes) / static_cast<float>(c.totalBytes);
    const float p = files * (static_cast<float>(90 - byteWeight_) / 100.0f) +
                    bytes * (static_cast<float>(byteWeight_) / 100.0f);
    if (p >= 0.9f) {
      f.fraction = 0.9f;
      installing = true;
    } else {
      if (p > highest_) highest_ = p;
      f.fraction = highest_;
    }
  }
  std::string text = SpeedText(takenBytes);
  if (installing) text = "正在安装,请耐心等待";
  PaceSpeedLabel(&f, text, nowMs);
  return f;
}

std::string ProgressDisplay::FileCheckText(int64_t checked, int64_t listed) {
  float pct = static_cast<float>(checked) / static_cast<float>(listed) * 100.0f;
  if (pct > 99.99f) {
    pct = 99.99f;
  } else if (!(pct >= 0)) {
    pct = 0;  // nothing listed yet (0 / 0) counts as nothing checked
  }
  char text[96];
  std::snprintf(text, sizeof text, "正在进行文件校验 %.2f%%", static_cast<double>(pct));
  return text;
}

std::string ProgressDisplay::BarImage(int width, float fraction) {
  const int n = static_cast<int>(static_cast<float>(width) * fraction);
  char image[128];
  std::snprintf(image, sizeof image,
                "file='Schedule_background.png' dest='2,0,%d,37' source='2,0,%d,37'", n, n);
  return image;
}
