#include "diag/crash_report.h"

#include <cxxabi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "util/file_util.h"

std::string CrashFolderName(const std::string& exeName, const struct tm& local) {
  char stamp[64];
  snprintf(stamp, sizeof stamp, "_%02d.%02d_%02d.%02d.%02d", local.tm_mon + 1, local.tm_mday,
           local.tm_hour, local.tm_min, local.tm_sec);
  return exeName + stamp;
}

std::string CrashFolderPath(const std::string& moduleFolder, const std::string& folderName) {
  return moduleFolder + "/MiniDump/" + folderName;
}

void CopyProgramFiles(const std::string& moduleFolder, const std::string& exeName,
                      const std::string& debugFileName, const std::string& crashFolder) {
  CopyPlainFile(moduleFolder + "/" + exeName, crashFolder + "/" + exeName, true);
  // The debug file keeps the name the executable's debug link records, so a
  // debugger pointed at the copy finds it beside the copy.
  if (!debugFileName.empty()) {
    CopyPlainFile(moduleFolder + "/" + debugFileName, crashFolder + "/" + debugFileName, true);
  }
}

std::string UndecorateSymbolName(const std::string& symbolName) {
  int status = 0;
  std::unique_ptr<char, decltype(&free)> readable(
      abi::__cxa_demangle(symbolName.c_str(), nullptr, nullptr, &status), &free);
  return status == 0 && readable ? std::string(readable.get()) : std::string();
}

namespace {

// Decodes one UTF-8 sequence at `at`, advancing it; U+FFFD for a byte that
// does not start a valid, shortest-form sequence.
char32_t NextCodePoint(const std::string& text, size_t& at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at++);
  if (lead < 0x80) return lead;
  int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
  if (lead >= 0xF5 || extra < 0 || at + extra > text.size()) return 0xFFFD;
  char32_t code = lead & (0x3F >> extra);
  for (int i = 0; i < extra; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0xFFFD;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
    return 0xFFFD;
  }
  at += extra;
  return code;
}

void AppendUnit(std::string& out, char16_t unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>(unit >> 8);
}

}  // namespace

std::string Utf8ToUtf16Le(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (size_t at = 0; at < text.size();) {
    char32_t code = NextCodePoint(text, at);
    if (code >= 0x10000) {
      code -= 0x10000;
      AppendUnit(out, static_cast<char16_t>(0xD800 + (code >> 10)));
      AppendUnit(out, static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      AppendUnit(out, static_cast<char16_t>(code));
    }
  }
  return out;
}

void CMyStackWalker::ReportFrame(const FrameRecord& frame) {
  if (frame.kind == FrameKind::Last && frame.address == 0) return;
  std::string name = frame.symbolName.empty() ? "(function-name not available)" : frame.symbolName;
  if (!frame.undecoratedName.empty()) name = frame.undecoratedName;
  if (!frame.lineFileName.empty()) {
    EmitLine("%s (%d): %s\n", frame.lineFileName.c_str(), frame.lineNumber, name.c_str());
  } else {
    const char* module =
        frame.moduleName.empty() ? "(module-name not available)" : frame.moduleName.c_str();
    EmitLine("%p (%s): %s: %s\n", reinterpret_cast<void*>(frame.address), module,
             "(filename not available)", name.c_str());
  }
}

void CMyStackWalker::ReportError(const char* operation, int code, uint64_t address) {
  EmitLine("ERROR: %s, GetLastError: %d (Address: %p)\n", operation, code,
           reinterpret_cast<void*>(address));
}

void CMyStackWalker::EmitLine(const char* fmt, ...) {
  if (full_) return;
  va_list args;
  va_start(args, fmt);
  char* formatted = nullptr;
  int n = vasprintf(&formatted, fmt, args);
  va_end(args);
  if (n < 0) return;
  std::string line = Utf8ToUtf16Le(std::string(formatted, static_cast<size_t>(n)));
  free(formatted);
  // A cut line keeps its line feed so that every line of the file ends in one.
  const size_t maxBytes = 2 * (kMaxLineUnits - 1);
  if (line.size() > maxBytes) {
    size_t keep = maxBytes - 2;
    unsigned char high = static_cast<unsigned char>(line[keep - 1]);
    if (high >= 0xD8 && high < 0xDC) keep -= 2;  // do not split a surrogate pair
    line.resize(keep);
    AppendUnit(line, u'\n');
  }
  if (text_.size() + line.size() > 2 * kMaxReportUnits) {
    full_ = true;
    return;
  }
  text_ += line;
}

bool WriteCrashLog(const std::string& crashFolder, const CMyStackWalker& report) {
  return WriteFileAtomically(crashFolder + "/crash.log", report.Utf16Text());
}
