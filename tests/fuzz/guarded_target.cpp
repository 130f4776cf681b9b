// LLVMFuzzerInitialize of the targets that run under the write guard:
// linked into each of them (kestrava_fuzz_target GUARDED), so that none
// starts unless the guard is in force.
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/write_guard.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  SetUpWriteGuard(*argc, *argv, FreshFolder("guard-check"));
  return 0;
}
