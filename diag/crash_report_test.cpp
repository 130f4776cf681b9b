#include "diag/crash_report.h"

#include <gtest/gtest.h>

#include <string>

#include "util/file_util.h"
#include "util/testing/scratch_dir.h"

namespace {

// Test-side decoder, written independently of the encoder under test.
std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  return text;
}

std::string Ascii(const std::u16string& text) {
  return std::string(text.begin(), text.end());
}

TEST(CrashReportTest, FolderNameAndPath) {
  struct tm t {};
  t.tm_mon = 2;  // March
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  EXPECT_EQ(CrashFolderName("Launcher.exe", t), "Launcher.exe_03.07_09.05.03");
  EXPECT_EQ(CrashFolderPath("/games/kestrava", "Launcher.exe_03.07_09.05.03"),
            "/games/kestrava/MiniDump/Launcher.exe_03.07_09.05.03");
}

TEST(CrashReportTest, FrameAndErrorLines) {
  CMyStackWalker walker;
  CMyStackWalker::FrameRecord withSource;
  withSource.kind = CMyStackWalker::FrameKind::First;
  withSource.address = 0x401000;
  withSource.symbolName = "_ZN6victim9NullWriteEv";
  withSource.undecoratedName = UndecorateSymbolName(withSource.symbolName);
  withSource.lineFileName = "/src/victim.cpp";
  withSource.lineNumber = 42;
  withSource.moduleName = "Launcher.exe";
  walker.ReportFrame(withSource);

  CMyStackWalker::FrameRecord moduleOnly;
  moduleOnly.address = 0x7f0000001234;
  moduleOnly.symbolName = "abort";
  moduleOnly.undecoratedName = UndecorateSymbolName("abort");
  moduleOnly.moduleName = "libc.so.6";
  walker.ReportFrame(moduleOnly);
  walker.ReportFrame(CMyStackWalker::FrameRecord{});  // nothing known at all
  walker.ReportFrame({CMyStackWalker::FrameKind::Last, 0, "", "", 0, "", ""});
  walker.ReportError("StackWalk64", 7, 0x1234);

  EXPECT_EQ(Ascii(FromUtf16Le(walker.Utf16Text())),
            "/src/victim.cpp (42): victim::NullWrite()\n"
            "0x7f0000001234 (libc.so.6): (filename not available): abort\n"
            "(nil) ((module-name not available)): (filename not available): "
            "(function-name not available)\n"
            "ERROR: StackWalk64, GetLastError: 7 (Address: 0x1234)\n");
}

TEST(CrashReportTest, Utf16LeEncodingAndLimits) {
  // A Chinese folder name, a character beyond the basic plane, a stray byte.
  EXPECT_EQ(FromUtf16Le(Utf8ToUtf16Le("游戏/\xF0\x9F\x8E\xAE\xFF!")), u"游戏/\U0001F3AE\uFFFD!");
  EXPECT_EQ(Utf8ToUtf16Le("A\n"), std::string("A\0\n\0", 4));

  CMyStackWalker walker;
  CMyStackWalker::FrameRecord frame;
  frame.lineFileName = std::string(3000, 'f');
  walker.ReportFrame(frame);
  std::u16string first = FromUtf16Le(walker.Utf16Text());
  EXPECT_EQ(first.size(), CMyStackWalker::kMaxLineUnits - 1);
  EXPECT_EQ(first.back(), u'\n');
  while (!walker.Full()) walker.ReportFrame(frame);
  std::u16string all = FromUtf16Le(walker.Utf16Text());
  EXPECT_LE(all.size(), CMyStackWalker::kMaxReportUnits);
  EXPECT_EQ(all.back(), u'\n');
}

TEST(CrashReportTest, CopiesKeepEarlierOnesAndLogIsReplaced) {
  ScratchDir dir("crash-report");
  dir.Write("Launcher.exe", "program");
  dir.Write("kestrava-launcher.debug", "symbols");
  std::string crash = dir / "MiniDump/Launcher.exe_03.07_09.05.03";
  CreateFolderPath(crash);
  dir.Write("MiniDump/Launcher.exe_03.07_09.05.03/Launcher.exe", "earlier copy");

  CopyProgramFiles(dir.path(), "Launcher.exe", "kestrava-launcher.debug", crash);
  EXPECT_EQ(dir.Read("MiniDump/Launcher.exe_03.07_09.05.03/Launcher.exe"), "earlier copy");
  EXPECT_EQ(dir.Read("MiniDump/Launcher.exe_03.07_09.05.03/kestrava-launcher.debug"), "symbols");
  CopyProgramFiles(dir.path(), "Launcher.exe", "missing.debug", crash);  // skipped silently
  EXPECT_FALSE(FileExists(crash + "/missing.debug"));

  dir.Write("MiniDump/Launcher.exe_03.07_09.05.03/crash.log", "earlier log");
  CMyStackWalker walker;
  walker.ReportError("SymInitialize", 1, 0);
  ASSERT_TRUE(WriteCrashLog(crash, walker));
  EXPECT_EQ(dir.Read("MiniDump/Launcher.exe_03.07_09.05.03/crash.log"), walker.Utf16Text());
}

}  // namespace
