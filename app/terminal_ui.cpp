#include "app/terminal_ui.h"

#include <chrono>
#include <system_error>

#include "app/status_text.h"
#include "update/downloader.h"
#include "util/text_util.h"

namespace {

// The first download's share of the bytes: the middle of the window's range,
// fixed so that two runs show the same figures.
constexpr int kByteWeight = 80;

std::string Bar(double fraction, int width) {
  int n = static_cast<int>(fraction * width);
  if (n < 0) n = 0;
  if (n > width) n = width;
  // Appended rather than "[" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on that.
  return std::string("[").append(n, '#').append(width - n, '.') + "]";
}

std::string Percent(double fraction) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%6.2f%%", fraction * 100);
  return buf;
}

// The whole percent of a fraction shown with two decimals.
int WholePercent(double fraction) {
  return static_cast<int>(fraction * 100 + 0.005);
}

ProgressCounters CountersOf(const CVXDlownloader::Progress& p) {
  return ProgressCounters{p.finishedFileCount, p.totalFileCount, p.downloadedBytes, p.totalBytes};
}

// A millisecond tick count, as the window's system gives it.
unsigned NowMs() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<unsigned>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

}  // namespace

TerminalUi::TerminalUi(CVXDlownloader* engine, FILE* out, bool isTerminal)
    : engine_(engine), out_(out), tty_(isTerminal), progress_(kByteWeight) {
  try {
    ticker_ = std::thread(&TerminalUi::TickLoop, this);
  } catch (const std::system_error&) {
    // Without a ticker only the status lines show; the update still runs.
  }
}

TerminalUi::~TerminalUi() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  stop_.notify_all();
  if (ticker_.joinable()) ticker_.join();
}

void TerminalUi::PrintLine(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock_);
  if (lineOpen_) std::fputs("\r\x1b[K", out_);
  lineOpen_ = false;
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void TerminalUi::ShowStatus(UpdateStatus status) {
  if (status == Status_NetReachable) {  // a new pass: its own first-download state
    std::lock_guard<std::mutex> hold(lock_);
    firstDownload_ = false;
  }
  std::string text = StatusText(status);
  if (status == Status_Completed) text = "更新完成";
  if (status == Status_Cancelled) text = "cancelled";
  if (text.empty()) return;
  PrintLine(std::string("[").append(std::to_string(status)) + "] " + text);
}

void TerminalUi::StartProgress(ProgressPhase phase) {
  std::lock_guard<std::mutex> hold(lock_);
  phases_.insert(phase);
  if (phase == ProgressPhase::kFirstDownload) firstDownload_ = true;
  // As on the window: the checks before a download hold the bar where the
  // download will start, the last tenth after a first download.
  if (phase == ProgressPhase::kFileCheck || phase == ProgressPhase::kFileInfo)
    bar_ = firstDownload_ ? 0.9f : 0.0f;
}

void TerminalUi::StopProgress(ProgressPhase phase) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (phases_.count(phase) == 0) return;  // the launcher's own update never shows here
  }
  Redraw();  // the final figures of the step
  std::lock_guard<std::mutex> hold(lock_);
  phases_.erase(phase);
  if (lineOpen_ && tty_) std::fputs("\n", out_);
  lineOpen_ = false;
  lastPlainPercent_ = -100;
}

std::string TerminalUi::ProgressLine() {
  int percent = 0;
  std::lock_guard<std::mutex> hold(lock_);
  return LineLocked(&percent);
}

std::string TerminalUi::LineLocked(int* percent) {
  *percent = 0;
  // Taken on every line, so that a download's speed counts only its own bytes.
  const int64_t taken = engine_->TakeBytesSinceTick();
  if (phases_.count(ProgressPhase::kDownload)) return DownloadLineLocked(taken, percent);
  if (phases_.count(ProgressPhase::kFirstDownload)) return FirstDownloadLineLocked(taken, percent);
  if (phases_.count(ProgressPhase::kFileCheck)) return FileCheckLine(percent);
  if (phases_.count(ProgressPhase::kFileInfo)) return "正在获取下载文件信息 0.00%";
  return "";
}

void TerminalUi::ApplyLocked(const ProgressDisplay::Frame& frame) {
  if (frame.fraction >= 0) bar_ = frame.fraction;
  if (frame.setSpeedLabel) speedLabel_ = frame.speedLabel;
}

std::string TerminalUi::DownloadLineLocked(int64_t takenBytes, int* percent) {
  const CVXDlownloader::Progress p = engine_->ReadProgress();
  ApplyLocked(progress_.DownloadTick(CountersOf(p), takenBytes, firstDownload_, NowMs()));
  *percent = WholePercent(bar_);
  return Bar(bar_, 30) + Percent(bar_) + "  " + std::to_string(p.finishedFileCount) + "/" +
         std::to_string(p.totalFileCount - 1) + " files  " + speedLabel_;
}

std::string TerminalUi::FirstDownloadLineLocked(int64_t takenBytes, int* percent) {
  const CVXDlownloader::Progress p = engine_->ReadProgress();
  ApplyLocked(progress_.FirstDownloadTick(CountersOf(p), takenBytes, NowMs()));
  *percent = WholePercent(bar_);
  return Bar(bar_, 30) + Percent(bar_) + "  " + FormatSizeText(p.downloadedBytes) + "  " +
         speedLabel_;
}

std::string TerminalUi::FileCheckLine(int* percent) {
  const CVXDlownloader::Progress p = engine_->ReadProgress();
  double f = p.listFileCount > 0 ? double(p.checkedFileCount) / p.listFileCount : 0;
  if (f > 0.9999) f = 0.9999;
  *percent = WholePercent(f);
  return Bar(f, 30) + " " + ProgressDisplay::FileCheckText(p.checkedFileCount, p.listFileCount);
}

void TerminalUi::Redraw() {
  int percent = 0;
  std::lock_guard<std::mutex> hold(lock_);
  const std::string line = LineLocked(&percent);
  if (line.empty()) return;
  if (tty_) {
    std::fprintf(out_, "\r\x1b[K%s", line.c_str());
    lineOpen_ = true;
  } else {
    // Plain output: a line every 10 percent or every 5 seconds.
    if (percent < lastPlainPercent_ + 10 && ticks_ % 50 != 0) return;
    lastPlainPercent_ = percent;
    std::fprintf(out_, "%s\n", line.c_str());
  }
  std::fflush(out_);
}

void TerminalUi::TickLoop() {
  std::unique_lock<std::mutex> hold(lock_);
  while (!stop_.wait_for(hold, std::chrono::milliseconds(100), [this] { return stopping_; })) {
    ++ticks_;
    hold.unlock();
    Redraw();
    hold.lock();
  }
}
