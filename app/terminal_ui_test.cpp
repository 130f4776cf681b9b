#include "app/terminal_ui.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "update/downloader.h"

namespace {

std::string Captured(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  return text;
}

// The whole percent a progress line shows ("[###...]  40.00%  ...").
int PercentOf(const std::string& line) {
  const size_t end = line.find('%');
  if (end == std::string::npos) return -1;
  size_t start = line.rfind(']', end);
  start = start == std::string::npos ? 0 : start + 1;
  return static_cast<int>(std::stod(line.substr(start, end - start)));
}

TEST(TerminalUi, StatusTextsAndTheRunningPhasesProgress) {
  CVXDlownloader engine("/nonexistent/");
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    TerminalUi ui(&engine, out, false);
    EXPECT_EQ(ui.ProgressLine(), "");  // no phase runs
    ui.ShowStatus(Status_ServerUnreachable);
    ui.ShowStatus(Status_SizeReady);  // a progress tick prints no line of its own
    engine.Counters().SetCheckCounters(4, 1);
    ui.StartProgress(ProgressPhase::kFileCheck);
    EXPECT_NE(ui.ProgressLine().find("正在进行文件校验 25.00%"), std::string::npos);
    ui.StopProgress(ProgressPhase::kFileCheck);
    ui.StopProgress(ProgressPhase::kSelfUpdate);  // never shown here: no line
    engine.Counters().AddTotalFiles(4);           // the total starts at 1
    engine.Counters().AddFinishedFiles(2);
    ui.StartProgress(ProgressPhase::kDownload);
    EXPECT_NE(ui.ProgressLine().find("40.00%"), std::string::npos);
    EXPECT_NE(ui.ProgressLine().find("2/4 files"), std::string::npos);
    ui.StopProgress(ProgressPhase::kDownload);
    ui.ShowStatus(Status_Completed);
  }
  std::string text = Captured(out);
  EXPECT_NE(text.find("[19] 无法连接到更新服务器\n"), std::string::npos);
  EXPECT_EQ(text.find("[6]"), std::string::npos);
  EXPECT_NE(text.find("[17] "), std::string::npos);
  std::fclose(out);
}

// The bar goes one way across a first download and the patch after it, even
// when a retried package counts its bytes again: the same figures as the
// window's.
TEST(TerminalUi, ThePercentageNeverMovesBackFromAFirstDownloadIntoADownload) {
  CVXDlownloader engine("/nonexistent/");
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  TerminalUi ui(&engine, out, false);
  auto show = [&engine](int finished, int total, int64_t bytes, int64_t totalBytes) {
    EngineProgress::Snapshot s;
    s.finishedFileCount = finished;
    s.totalFileCount = total;
    s.downloadedBytes = bytes;
    s.totalBytes = totalBytes;
    engine.Counters().Set(s);
  };
  std::vector<int> shown;
  ui.StartProgress(ProgressPhase::kFirstDownload);
  for (int64_t bytes : {0, 500, 100, 900, 1000}) {  // 100: a package fetched again
    show(bytes == 1000 ? 10 : 0, 10, bytes, 1000);
    shown.push_back(PercentOf(ui.ProgressLine()));
  }
  ui.StopProgress(ProgressPhase::kFirstDownload);
  ui.StartProgress(ProgressPhase::kFileCheck);
  ui.StopProgress(ProgressPhase::kFileCheck);
  ui.StartProgress(ProgressPhase::kDownload);
  for (int finished : {0, 1, 3, 5}) {  // the patch's counts start over
    show(finished, finished == 0 ? 1 : 6, 0, 1);
    shown.push_back(PercentOf(ui.ProgressLine()));
  }
  ui.StopProgress(ProgressPhase::kDownload);
  EXPECT_EQ(shown, (std::vector<int>{0, 40, 40, 72, 90, 90, 91, 95, 98}));
  std::fclose(out);
}

}  // namespace
