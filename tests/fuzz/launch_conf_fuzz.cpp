// Fuzzes the launcher's version file (Launch.conf), which the launcher
// writes and reads back at its next start. Checked: a version read is
// written and read back unchanged.
#include "tests/fuzz/fuzz_support.h"
#include "update/install_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("conf");
  WriteInput(dir + "Launch.conf", data, size);
  const std::string version = ReadLaunchConf(dir);
  const std::string again = FreshFolder("conf-again");
  FUZZ_CHECK(WriteLaunchConf(again, version));
  FUZZ_CHECK(ReadLaunchConf(again) == version);
  return 0;
}
