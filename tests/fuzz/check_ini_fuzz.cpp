// Fuzzes the periodic-check file (LauncherConfig/check.ini): the day of the
// last full check, in section "check", key "sign". Checked: after the day is
// written it reads back, so that the check runs once on its day, not at
// every start.
#include "app/launcher_settings.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("ini");
  const std::string file = dir + "LauncherConfig/check.ini";
  WriteInput(file, data, size);
  const std::string before = ReadIniValue(file, "check", "sign", "-1");
  FUZZ_CHECK(before.size() <= 32);
  FUZZ_CHECK(WriteIniValue(file, "check", "sign", "12"));
  FUZZ_CHECK(ReadIniValue(file, "check", "sign", "-1") == "12");
  return 0;
}
