// Fuzzes the update list (LauncherConfig/update.xml) as the update-list step
// fetches and reads it from the (in-process) server, with the launcher's own
// list and the client list's archive served as in a real release. Checked:
// the step ends with one of its documented statuses; the version it stores
// in Launch.conf reads back the same; nothing is written outside the
// installation folder (write guard).
#include "tests/fuzz/fuzz_lists.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/write_guard.h"
#include "update/install_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("install");
  FuzzEngine fuzz(dir);
  fuzz.Serve("LauncherConfig/update.xml", std::string(reinterpret_cast<const char*>(data), size));
  fuzz.Serve("ZEPLauncherUpdate/LaunUpdate.xml", "<Filelist><Files/></Filelist>");
  fuzz.Serve("LauncherConfig/client.md5.7z", SevenZipOf("client.md5", fuzz_lists::kPublished));
  fuzz.engine->SetClientVersion("");

  WriteGuard guard(dir);
  const int r = fuzz.engine->CheckUpdateList();
  FUZZ_CHECK(r == Status_Ready || r == Status_UpdateListInvalid || r == Status_ClientListFailed ||
             r == Status_UnzipFailed);
  if (r != Status_UpdateListInvalid && !fuzz.engine->serverVersion().empty()) {
    FUZZ_CHECK(ReadLaunchConf(dir) == fuzz.engine->clientVersion());
  }
  return 0;
}
