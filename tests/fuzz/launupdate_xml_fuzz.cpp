// Fuzzes the launcher's own update list (ZEPLauncherUpdate/LaunUpdate.xml)
// as the self-update step fetches and reads it, with the update tool's
// archive served. The installation has no Launcher.exe and the step is told
// to skip a missing launcher, so it never starts a program or ends the
// process. Checked: a documented status; nothing is written outside the
// installation folder (write guard).
#include <cstdlib>

#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/write_guard.h"

namespace {

[[noreturn]] void ProcessWouldEnd(int) {
  FuzzCheckFailed("the self-update tried to end the process", __FILE__, __LINE__);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("install");
  FuzzEngine fuzz(dir);
  fuzz.Serve("ZEPLauncherUpdate/LaunUpdate.xml",
             std::string(reinterpret_cast<const char*>(data), size));
  fuzz.Serve("ZEPLauncherUpdate/Launcher.dat.7z", SevenZipOf("Launcher.dat", "update tool"));
  CVXDlownloader& engine = *fuzz.engine;
  engine.SetSkipMissingLauncher(true);
  engine.SetSelfUpdateHooks(nullptr, &ProcessWouldEnd);

  WriteGuard guard(dir);
  const int r = engine.RunSelfUpdate(false);
  FUZZ_CHECK(r == Status_Ready || r == Status_UpdateToolBad || r == Status_UnzipFailed);
  return 0;
}
