// The crash report's platform-free half: where a crash's files go, the
// copies of the program beside the dump, and the call-stack text of
// crash.log. The half that catches the fault, stops the process, writes the
// dump and unwinds the stack lives in platform/crash/ and calls in here; this
// direction keeps diag free of signal, ptrace and ELF headers.
//
// Thread-safety: free functions without shared state; a CMyStackWalker is
// used by one thread (the crash writer runs single-threaded).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// "Launcher.exe_03.07_09.05.03": the executable's file name, then month, day,
// hour, minute and second of the local time of the crash.
std::string CrashFolderName(const std::string& exeName, const struct tm& local);

// "<module folder>/MiniDump/<folder name>".
std::string CrashFolderPath(const std::string& moduleFolder, const std::string& folderName);

// Copies the executable and, when debugFileName is not empty and the file
// lies beside the executable, its separate debug file into the crash folder
// under their own names. Copies already there are kept, so a second crash in
// the same second leaves the first one's copies. Failures are skipped.
void CopyProgramFiles(const std::string& moduleFolder, const std::string& exeName,
                      const std::string& debugFileName, const std::string& crashFolder);

// The readable form of a C++ symbol name ("ns::Fn(int)"); "" when the name
// is not a mangled C++ name (a C function keeps its name as it is).
std::string UndecorateSymbolName(const std::string& symbolName);

// UTF-8 to UTF-16 little-endian bytes; a byte that does not start a valid
// sequence becomes U+FFFD.
std::string Utf8ToUtf16Le(const std::string& text);

// Collects the call-stack report of one crash as the lines of crash.log: one
// line per frame, innermost first, and error lines for the lookups that
// failed. The unwinder (platform/crash/stack_walk.h) fills the frame records;
// this class only formats them, so the format is testable without a crash.
//
// Thread-safety: one instance per report, used by one thread.
class CMyStackWalker {
 public:
  // Where a frame stands in the walk; Last marks the end of the stack.
  enum class FrameKind { First = 0, Next = 1, Last = 2 };

  // One frame as the unwinder found it; empty texts and a zero line number
  // mean the lookup found nothing.
  struct FrameRecord {
    FrameKind kind = FrameKind::Next;
    uint64_t address = 0;         // instruction address
    std::string symbolName;       // as the symbol table has it (mangled)
    std::string undecoratedName;  // the full readable declaration
    int lineNumber = 0;
    std::string lineFileName;  // source file
    std::string moduleName;    // file name of the executable or library
  };

  // The report never grows past this many UTF-16 units, and no line past
  // kMaxLineUnits - 1; longer lines are cut, and lines that no longer fit
  // are dropped, so a runaway stack cannot make the report unbounded.
  static constexpr size_t kMaxReportUnits = 65535;
  static constexpr size_t kMaxLineUnits = 1024;

  // "<file> (<line>): <name>" with source information, else
  // "<address> (<module>): (filename not available): <name>".
  void ReportFrame(const FrameRecord& frame);
  // "ERROR: <operation>, GetLastError: <code> (Address: <address>)".
  void ReportError(const char* operation, int code, uint64_t address);

  // True once the report is full; the unwinder stops then.
  bool Full() const { return full_; }
  // The report as UTF-16LE bytes, without byte order mark, LF line ends.
  const std::string& Utf16Text() const { return text_; }

 private:
  void EmitLine(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  std::string text_;
  bool full_ = false;
};

// Writes the report as crash.log in the crash folder, replacing an earlier
// one (through a temporary name). False when it cannot be written.
bool WriteCrashLog(const std::string& crashFolder, const CMyStackWalker& report);
