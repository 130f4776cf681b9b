#include "util/text_util.h"

#include <gtest/gtest.h>

#include <regex>

TEST(FormatSizeTextTest, PicksUnitAtEachBoundary) {
  EXPECT_EQ(FormatSizeText(0), "0 B");
  EXPECT_EQ(FormatSizeText(1023), "1023 B");
  EXPECT_EQ(FormatSizeText(1024), "1.00 KB");
  EXPECT_EQ(FormatSizeText(1536), "1.50 KB");
  EXPECT_EQ(FormatSizeText(1048576), "1.00 MB");
  EXPECT_EQ(FormatSizeText(5242880), "5.00 MB");
  EXPECT_EQ(FormatSizeText(1073741824), "1.00 GB");
}

TEST(FormatSizeTextTest, RoundsThroughSinglePrecision) {
  // 1048575 / 1024 = 1023.999..., which single precision rounds up.
  EXPECT_EQ(FormatSizeText(1048575), "1024.00 KB");
  EXPECT_EQ(FormatSizeText(4294967295u), "4.00 GB");
}

TEST(FormatSizeTextTest, SizesBeyondFourGiBKeepTheirValue) {
  EXPECT_EQ(FormatSizeText(10ull << 30), "10.00 GB");
}

TEST(SplitStringTest, KeepsTrailingEmptyPieceAndAppends) {
  std::vector<std::string> pieces{"kept"};
  SplitString("a\\b\\", "\\", pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{"kept", "a", "b", ""}));
}

TEST(SplitStringTest, MultiCharacterAndMissingSeparator) {
  std::vector<std::string> pieces;
  SplitString("x::y", "::", pieces);
  SplitString("whole", "/", pieces);
  SplitString("", "/", pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{"x", "y", "whole", ""}));
}

TEST(TimeStampQueryTest, HasEightDigitsOfLocalTime) {
  EXPECT_TRUE(std::regex_match(TimeStampQuery(), std::regex(R"(\?time=(0[1-9]|1[0-2])\d{6})")));
}

TEST(ConversionTest, UtfEightPassesThroughAndStopsAtZeroByte) {
  const std::string chinese = "\xe6\x96\x87\xe4\xbb\xb6";  // 文件
  EXPECT_EQ(Utf8ToWide(chinese), chinese);
  EXPECT_EQ(WideToOem(chinese), chinese);
  EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(Utf8ToWide(static_cast<const char*>(nullptr)), "");
  char buffer[4];
  AnsiToWide("abcdef", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "abc");
}

TEST(TrimBlanksTest, TakesOnlySpacesAndTabsFromBothEnds) {
  EXPECT_EQ(TrimBlanks(" \t a b\t "), "a b");
  EXPECT_EQ(TrimBlanks(" \t "), "");
  EXPECT_EQ(TrimBlanks("\na\r"), "\na\r");
}

TEST(CutUtf8Test, NeverSplitsASequence) {
  const std::string text = "ab\xe6\x96\x87";  // two ASCII bytes and one 3-byte character
  EXPECT_EQ(CutUtf8(text, 5), text);
  EXPECT_EQ(CutUtf8(text, 4), "ab");
  EXPECT_EQ(CutUtf8(text, 3), "ab");
  EXPECT_EQ(CutUtf8(text, 2), "ab");
}
