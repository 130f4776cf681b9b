// Fuzzes the signature file of a signed release (LauncherConfig/release.sig),
// the first thing the launcher reads from a server when it trusts keys.
// Checked: a file that parses names only safe paths with 64-digit digests
// and sizes of at least 0, and writes back to a body that parses to the same
// manifest; no input verifies against a key that never signed anything.
#include <cstring>

#include "tests/fuzz/fuzz_support.h"
#include "update/release_sig.h"
#include "update/safe_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ReleaseManifest manifest;
  std::string error;
  if (!ParseManifest(text, &manifest, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  for (const auto& [path, file] : manifest.files) {
    FUZZ_CHECK(IsSafeRelativePath(path));
    FUZZ_CHECK(file.sha256.size() == 64 && file.size >= 0);
  }
  const std::string body = ManifestBody(manifest);
  FUZZ_CHECK(!body.empty());
  ReleaseManifest again;
  FUZZ_CHECK(ParseManifest(body + "signature AAAA\n", &again, &error));
  FUZZ_CHECK(again.version == manifest.version && again.serial == manifest.serial);
  FUZZ_CHECK(again.files.size() == manifest.files.size());
  // Any 32 bytes are a key of no one who signs.
  const std::string key(32, '\x2a');
  FUZZ_CHECK(!VerifyManifest(text, {key}, &again, &error));
  return 0;
}
