#include "app/game_start.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/process.h"
#include "util/file_util.h"

namespace {

enum class ImageKind { kUnreadable, kWindows, kNative };

// Windows programs start with the DOS header's "MZ"; anything else (ELF, a
// script) is left to the kernel.
ImageKind KindOf(const std::string& executable) {
  FILE* f = std::fopen(executable.c_str(), "rb");
  if (!f) return ImageKind::kUnreadable;
  char magic[2] = {};
  const size_t n = std::fread(magic, 1, sizeof magic, f);
  std::fclose(f);
  return n == 2 && magic[0] == 'M' && magic[1] == 'Z' ? ImageKind::kWindows : ImageKind::kNative;
}

}  // namespace

bool PrepareGameCommand(const std::string& executable, const std::string& commandLine,
                        const std::string& runner, GameCommand* out, std::string* reason) {
  const ImageKind kind = KindOf(executable);
  if (kind == ImageKind::kUnreadable) {
    *reason = executable + ": " + std::strerror(errno);
    return false;
  }
  // Without it a native game cannot start, and some runners refuse too.
  MakeExecutable(executable);
  if (kind == ImageKind::kNative) {
    *out = GameCommand{executable, {commandLine}};
    return true;
  }
  const std::string wanted = runner.empty() ? kDefaultGameRunner : runner;
  const std::string found = platform::FindProgram(wanted);
  if (found.empty()) {
    *reason = "the Windows program runner " + wanted + " was not found";
    return false;
  }
  *out = GameCommand{found, {executable, commandLine}};
  return true;
}
