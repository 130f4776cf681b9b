#include "app/terminal_ui.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "update/downloader.h"

namespace {

std::string Captured(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(TerminalUi, StatusTextsAndTheActiveTimersProgress) {
  CVXDlownloader engine("/nonexistent/");
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    TerminalUi ui(&engine, out, false);
    EXPECT_EQ(ui.ProgressLine(), "");  // no timer armed
    ui.ShowStatus(19);
    ui.ShowStatus(6);  // a progress tick prints no line of its own
    engine.Counters().SetCheckCounters(4, 1);
    ui.SetProgressTimer(0, 1000);
    EXPECT_NE(ui.ProgressLine().find("正在进行文件校验 25.00%"), std::string::npos);
    ui.KillProgressTimer(0);
    engine.Counters().AddTotalFiles(4);  // the total starts at 1
    engine.Counters().AddFinishedFiles(2);
    ui.SetProgressTimer(2, 100);
    EXPECT_NE(ui.ProgressLine().find("40.00%"), std::string::npos);
    EXPECT_NE(ui.ProgressLine().find("2/4 files"), std::string::npos);
    ui.KillProgressTimer(2);
    ui.ShowStatus(17);
  }
  std::string text = Captured(out);
  EXPECT_NE(text.find("[19] 无法连接到更新服务器\n"), std::string::npos);
  EXPECT_EQ(text.find("[6]"), std::string::npos);
  EXPECT_NE(text.find("[17] "), std::string::npos);
  std::fclose(out);
}

}  // namespace
