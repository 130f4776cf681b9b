#include "app/progress_display.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgressDisplay, FirstDownloadWeighsFilesAndBytesAndNeverMovesBack) {
  ProgressDisplay d(80);
  ProgressCounters c{0, 10, 500, 1000};  // no file done, half the bytes
  ProgressDisplay::Frame f = d.FirstDownloadTick(c, 0, 2000);
  EXPECT_FLOAT_EQ(f.fraction, 0.4f);  // 0.5 of the bytes' 80 %
  // Bytes counted again from zero (a retried package): the bar stays.
  c.downloadedBytes = 100;
  EXPECT_FLOAT_EQ(d.FirstDownloadTick(c, 0, 2100).fraction, 0.4f);
  // All files done but bytes not: the files' part alone is 10 %.
  c = ProgressCounters{10, 10, 0, 1000};
  EXPECT_FLOAT_EQ(ProgressDisplay(80).FirstDownloadTick(c, 0, 0).fraction, 0.1f);
  // From 90 % on: the bar stops at 0.9 and the label asks to wait.
  c = ProgressCounters{10, 10, 1000, 1000};
  f = d.FirstDownloadTick(c, 4096, 9000);
  EXPECT_FLOAT_EQ(f.fraction, 0.9f);
  EXPECT_TRUE(f.setSpeedLabel);
  EXPECT_EQ(f.speedLabel, "正在安装,请耐心等待");
}

TEST(ProgressDisplay, DownloadBarAndThePaceOfTheSpeedLabel) {
  ProgressDisplay d(75);
  // One file or none counted yet: the bar is left alone.
  EXPECT_LT(d.DownloadTick(ProgressCounters{0, 1, 0, 1}, 0, false, 2000).fraction, 0);
  // The first tick shows the initial speed (10 bytes per 100 ms).
  ProgressDisplay fresh(75);
  ProgressDisplay::Frame f = fresh.DownloadTick(ProgressCounters{1, 4, 0, 1}, 0, false, 1600);
  EXPECT_FLOAT_EQ(f.fraction, 0.25f);
  EXPECT_EQ(f.speedLabel, "下载速度：100 B/S");
  // 100 ms later: a new speed is measured but the label waits 1500 ms.
  f = fresh.DownloadTick(ProgressCounters{2, 4, 0, 1}, 52429, false, 1700);
  EXPECT_FALSE(f.setSpeedLabel);
  // A tick without bytes keeps the last speed.
  f = fresh.DownloadTick(ProgressCounters{2, 4, 0, 1}, 0, false, 3101);
  EXPECT_TRUE(f.setSpeedLabel);
  EXPECT_EQ(f.speedLabel, "下载速度：512.00 KB/S");
  // After a first download the patch fills the last tenth.
  EXPECT_FLOAT_EQ(fresh.DownloadTick(ProgressCounters{1, 2, 0, 1}, 0, true, 3200).fraction, 0.95f);
}

TEST(ProgressDisplay, FileCheckNeverShowsAHundredAndTheBarIsCutNotStretched) {
  EXPECT_EQ(ProgressDisplay::FileCheckText(5, 10), "正在进行文件校验 50.00%");
  EXPECT_EQ(ProgressDisplay::FileCheckText(10, 10), "正在进行文件校验 99.99%");
  EXPECT_EQ(ProgressDisplay::FileCheckText(0, 0), "正在进行文件校验 0.00%");
  EXPECT_EQ(ProgressDisplay::BarImage(425, 0.5f),
            "file='Schedule_background.png' dest='2,0,212,37' source='2,0,212,37'");
}

}  // namespace
