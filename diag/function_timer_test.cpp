#include "diag/function_timer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "diag/log.h"
#include "util/testing/scratch_dir.h"

namespace {

TEST(FunctionTimerTest, ThresholdRules) {
  EXPECT_TRUE(TestFunctionTime::ShouldReport(true, 0, 0));
  EXPECT_FALSE(TestFunctionTime::ShouldReport(true, 10, 9));
  EXPECT_TRUE(TestFunctionTime::ShouldReport(true, 10, 10));
  EXPECT_FALSE(TestFunctionTime::ShouldReport(true, -1, 100000));
  EXPECT_FALSE(TestFunctionTime::ShouldReport(false, 0, 100000));
  // Compared as 64-bit: a very long step is still reported.
  EXPECT_TRUE(TestFunctionTime::ShouldReport(true, 10, (1ll << 32) + 1));
}

TEST(FunctionTimerTest, ReportLineIsExact) {
  EXPECT_EQ(TestFunctionTime::ReportLine(42, "unzip a.7z", 15),
            " \u25bc  ThreadID: 42  \u51fd\u6570(  unzip a.7z )\u6267\u884c\u65f6\u95f4:      "
            "15 (mm)  \u25bc ");
}

class FunctionTimerLogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogFile(scratch / "day.log"); }
  std::string Log() { return scratch.Read("day.log"); }
  ScratchDir scratch{"timer"};
};

TEST_F(FunctionTimerLogTest, ReportsToLogAndStdoutWithLabelTakenLiterally) {
  testing::internal::CaptureStdout();
  { TestFunctionTime timer(true, 0, " download file [%s] cost time ", "100%d.pak"); }
  std::string out = testing::internal::GetCapturedStdout();
  std::string expected = TestFunctionTime::ReportLine(static_cast<int>(gettid()),
                                                      " download file [100%d.pak] cost time ", 0);
  EXPECT_EQ(out, expected + "\n");
  EXPECT_NE(Log().find(expected), std::string::npos);
}

TEST_F(FunctionTimerLogTest, DisabledOrUnderThresholdReportsNothing) {
  testing::internal::CaptureStdout();
  { TestFunctionTime off(false, 0, "off"); }
  { TestFunctionTime quiet(true, -1, "quiet"); }
  { TestFunctionTime fast(true, 60000, "fast"); }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Log(), "");
}

TEST_F(FunctionTimerLogTest, LongLabelIsCut) {
  testing::internal::CaptureStdout();
  { TestFunctionTime timer(true, 0, "%s", std::string(3000, 'L').c_str()); }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, TestFunctionTime::ReportLine(static_cast<int>(gettid()), std::string(1023, 'L'), 0)
                         .substr(0, 1023) +
                     "\n");
}

}  // namespace
