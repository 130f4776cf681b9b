// Signed releases: the trust an installation keeps, and the engine's part in
// it (fetching release.sig at the start of a pass, checking each release
// file it fetches afterwards).
#include "update/release_trust.h"

#include <cinttypes>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "diag/log.h"
#include "platform/crypto.h"
#include "update/types.h"
#include "util/file_util.h"
#include "util/text_util.h"

#ifndef KESTRAVA_RELEASE_KEYS
#define KESTRAVA_RELEASE_KEYS ""
#endif
#ifndef KESTRAVA_KEYS_FROM_ENVIRONMENT
#define KESTRAVA_KEYS_FROM_ENVIRONMENT 0
#endif

std::vector<std::string> BuiltInReleaseKeys() {
  std::string keys = KESTRAVA_RELEASE_KEYS;
  if (keys.empty() && KESTRAVA_KEYS_FROM_ENVIRONMENT) {
    const char* env = std::getenv("KESTRAVA_RELEASE_KEYS");
    if (env != nullptr) keys = env;
  }
  return ParseKeyList(keys);
}

// ---- ReleaseTrust ----

ReleaseTrust::ReleaseTrust(std::string installDir, std::vector<std::string> keys)
    : installDir_(std::move(installDir)), keys_(std::move(keys)) {}

ReleaseTrust::~ReleaseTrust() = default;

uint64_t ReleaseTrust::AcceptedSerial() const {
  std::string text;
  if (!ReadWholeFile(SerialPath(), 64, &text)) return 0;
  return std::strtoull(text.c_str(), nullptr, 10);
}

bool ReleaseTrust::Accept(const std::string& text, std::string* error) {
  Clear();
  auto manifest = std::make_unique<ReleaseManifest>();
  if (!VerifyManifest(text, keys_, manifest.get(), error)) return false;
  const uint64_t accepted = AcceptedSerial();
  if (manifest->serial < accepted) {
    *error = "its serial " + std::to_string(manifest->serial) + " is older than the serial " +
             std::to_string(accepted) + " accepted before";
    return false;
  }
  if (manifest->serial > accepted) {
    CreateParentFolders(SerialPath());
    if (!WriteFileAtomically(SerialPath(), std::to_string(manifest->serial) + "\n")) {
      *error = "cannot write " + SerialPath();
      return false;
    }
  }
  std::lock_guard<std::mutex> hold(lock_);
  manifest_ = std::move(manifest);
  return true;
}

bool ReleaseTrust::AcceptFile(const std::string& path, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, kSmallFileLimit, &text)) {
    Clear();
    *error = "cannot read " + path;
    return false;
  }
  return Accept(text, error);
}

void ReleaseTrust::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  manifest_.reset();
}

std::string ReleaseTrust::version() const {
  std::lock_guard<std::mutex> hold(lock_);
  return manifest_ ? manifest_->version : std::string();
}

uint64_t ReleaseTrust::serial() const {
  std::lock_guard<std::mutex> hold(lock_);
  return manifest_ ? manifest_->serial : 0;
}

bool ReleaseTrust::MayHave(const std::string& relative) const {
  if (!enabled()) return true;
  SignedFile entry;
  std::string why;
  return SignedEntry(relative, &entry, &why);
}

bool ReleaseTrust::SignedEntry(const std::string& relative, SignedFile* entry,
                               std::string* error) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (!manifest_) {
    *error = "no verified release.sig";
    return false;
  }
  auto it = manifest_->files.find(relative);
  if (it == manifest_->files.end()) {
    *error = "it is not signed";
    return false;
  }
  *entry = it->second;
  return true;
}

// The file is digested outside the lock: workers check packages at once.
bool ReleaseTrust::CheckFile(const std::string& relative, const std::string& localPath,
                             const std::string& sha256, std::string* error) const {
  if (!enabled()) return true;
  SignedFile expected;
  if (!SignedEntry(relative, &expected, error)) return false;
  // The size first: a wrong size needs no digest.
  const int64_t size = FileSizeOf(localPath);
  if (size != expected.size) {
    *error = "its size is " + std::to_string(size) + ", signed " + std::to_string(expected.size);
    return false;
  }
  std::string sha = sha256;
  int64_t read = size;
  if (sha.empty() && !platform::Sha256OfFile(localPath, &sha, &read)) read = -1;
  if (read != expected.size || sha != expected.sha256) {
    *error = "its SHA-256 differs from the signed one";
    return false;
  }
  return true;
}
