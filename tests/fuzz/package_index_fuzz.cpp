// Fuzzes the first-download index (LauncherConfig/update/firstdownload):
// one "name,size" per line. Checked: every package kept has a non-empty,
// safe name of at most 511 bytes without a line break.
#include "tests/fuzz/fuzz_support.h"
#include "update/first_download.h"
#include "update/safe_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzFolder();  // silences the day log
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const PackageRef& p : ParsePackageIndex(text)) {
    FUZZ_CHECK(!p.name.empty() && p.name.size() <= 511);
    FUZZ_CHECK(IsSafeRelativePath(p.name));
    FUZZ_CHECK(p.name.find('\n') == std::string::npos);
  }
  return 0;
}
