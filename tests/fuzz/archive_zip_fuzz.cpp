// Fuzzes zip archives through our extraction (the server may store a packed
// file as .zip): hostile names, links, damaged headers and streams. See
// archive_harness.h for what is checked.
#include "tests/fuzz/archive_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  archive_fuzz::Run(data, size, ".zip");
  return 0;
}
