#include "app/terminal_ui.h"

#include <chrono>
#include <system_error>

#include "app/launcher_settings.h"
#include "app/status_text.h"
#include "update/downloader.h"
#include "util/text_util.h"

namespace {

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

}  // namespace

TerminalUi::TerminalUi(CVXDlownloader* engine, FILE* out, bool isTerminal)
    : engine_(engine), out_(out), tty_(isTerminal) {
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

void TerminalUi::ShowStatus(int code) {
  if (code == 1) {  // a new pass: its own first-download state
    std::lock_guard<std::mutex> hold(lock_);
    firstDownload_ = false;
  }
  std::string text = StatusText(code);
  if (code == Status_Completed) text = "更新完成";
  if (code == Status_Cancelled) text = "cancelled";
  if (text.empty()) return;
  PrintLine(std::string("[").append(std::to_string(code)) + "] " + text);
}

void TerminalUi::SetProgressTimer(int id, int) {
  std::lock_guard<std::mutex> hold(lock_);
  timers_.insert(id);
  if (id == kFirstDownloadTimer) firstDownload_ = true;
}

void TerminalUi::KillProgressTimer(int id) {
  Redraw();  // the final figures of the step
  std::lock_guard<std::mutex> hold(lock_);
  timers_.erase(id);
  if (lineOpen_ && tty_) std::fputs("\n", out_);
  lineOpen_ = false;
  lastPlainPercent_ = -100;
}

void TerminalUi::DownloadServerList() {
  ::DownloadServerList(engine_);
}

void TerminalUi::RunFourDayCheck() {
  if (driver_ != nullptr) ::RunFourDayCheck(engine_, driver_);
}

std::string TerminalUi::ProgressLine() {
  int percent = 0;
  return ProgressLine(&percent);
}

std::string TerminalUi::ProgressLine(int* percent) {
  *percent = 0;
  std::set<int> timers;
  bool first;
  int64_t speed;
  {
    std::lock_guard<std::mutex> hold(lock_);
    timers = timers_;
    first = firstDownload_;
    speed = shownSpeed_;
  }
  CVXDlownloader::Progress p = engine_->ReadProgress();
  std::string speedText = "下载速度：" + FormatSizeText(speed) + "/S";
  if (timers.count(kDownloadTimer)) {
    double f = p.totalFileCount > 1 ? double(p.finishedFileCount) / p.totalFileCount : 0;
    if (first) f = f * 0.1 + 0.9;
    *percent = WholePercent(f);
    return Bar(f, 30) + Percent(f) + "  " + std::to_string(p.finishedFileCount) + "/" +
           std::to_string(p.totalFileCount - 1) + " files  " + speedText;
  }
  if (timers.count(kFirstDownloadTimer)) {
    double files = double(p.finishedFileCount) / p.totalFileCount;
    double bytes = double(p.downloadedBytes) / p.totalBytes;
    double f = files * 0.1 + bytes * 0.8;
    *percent = WholePercent(f);
    return Bar(f, 30) + Percent(f) + "  " + FormatSizeText(p.downloadedBytes) + "  " + speedText;
  }
  if (timers.count(kFileCheckTimer)) {
    double f = p.listFileCount > 0 ? double(p.checkedFileCount) / p.listFileCount : 0;
    if (f > 0.9999) f = 0.9999;
    *percent = WholePercent(f);
    char buf[96];
    std::snprintf(buf, sizeof buf, "正在进行文件校验 %.2f%%", f * 100);
    return Bar(f, 30) + " " + buf;
  }
  if (timers.count(kFileInfoTimer)) return "正在获取下载文件信息 0.00%";
  return "";
}

void TerminalUi::Redraw() {
  int percent = 0;
  std::string line = ProgressLine(&percent);
  std::lock_guard<std::mutex> hold(lock_);
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
    speedBytes_ += engine_->TakeBytesSinceTick();
    if (++ticks_ % 10 == 0) {
      shownSpeed_ = speedBytes_;
      speedBytes_ = 0;
    }
    hold.unlock();
    Redraw();
    hold.lock();
  }
}
