// Fuzzes 7z archives through our extraction (packages, packed game files,
// the client list's and the launcher's archives): hostile names, links,
// damaged headers and streams. See archive_harness.h for what is checked.
#include "tests/fuzz/archive_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  archive_fuzz::Run(data, size, ".7z");
  return 0;
}
