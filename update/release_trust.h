// What an installation trusts about the releases it installs: the public
// keys releases must be signed with, the highest release serial it has
// accepted ("LauncherConfig/release.serial", so that an older release
// replayed by someone between player and server is refused), and the
// manifest of the release being installed, against which every file the
// launcher fetches before the game files is checked.
//
// Without keys (the default build) it is in unsigned mode: nothing is
// fetched for it and every check passes, so the launcher works with servers
// that do not sign exactly as before.
//
// Thread-safety: Accept and Clear run on the update thread (or the update
// tool's only thread); CheckFile may run on any thread at the same time
// (the manifest is guarded by a lock, and a file is digested outside it).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "update/install_layout.h"
#include "update/release_sig.h"

// The keys this program was built to trust (CMake KESTRAVA_RELEASE_KEYS),
// raw. A build without keys that is not a Release build takes them from the
// environment variable KESTRAVA_RELEASE_KEYS instead, for tests and the
// demo; the environment can never replace or remove keys built in.
std::vector<std::string> BuiltInReleaseKeys();

class ReleaseTrust {
 public:
  // installDir ends with "/"; keys are raw Ed25519 public keys.
  ReleaseTrust(std::string installDir, std::vector<std::string> keys);
  ~ReleaseTrust();
  ReleaseTrust(const ReleaseTrust&) = delete;
  ReleaseTrust& operator=(const ReleaseTrust&) = delete;

  // Whether releases must be signed.
  bool enabled() const { return !keys_.empty(); }

  // Takes the text of a release.sig: signed by a trusted key and not older
  // than the highest serial accepted before (which it raises to this one).
  // It then is the manifest files are checked against. On failure there is
  // none, every check fails, and *error says why.
  bool Accept(const std::string& text, std::string* error);
  // Accept for the release.sig stored at path (at most a small file's
  // size); a file that cannot be read is refused like a damaged one.
  bool AcceptFile(const std::string& path, std::string* error);
  // Forgets the manifest: until the next Accept every check fails.
  void Clear();
  // The accepted manifest's version and serial ("" and 0 without one).
  std::string version() const;
  uint64_t serial() const;

  // Unsigned mode: true. Otherwise whether the file at localPath is the
  // release's file `relative` as signed; *error says why not. sha256: the
  // file's digest when the caller took it already, else empty.
  bool CheckFile(const std::string& relative, const std::string& localPath,
                 const std::string& sha256, std::string* error) const;

  // Unsigned mode: true, anything may be published. Otherwise whether the
  // accepted release.sig names `relative`: a file it does not name would be
  // refused, so it is not worth a request.
  bool MayHave(const std::string& relative) const;

  // The highest serial accepted so far; 0 when none was.
  uint64_t AcceptedSerial() const;

 private:
  std::string SerialPath() const { return InstallLayout(installDir_).releaseSerial(); }
  bool SignedEntry(const std::string& relative, SignedFile* entry, std::string* error) const;

  const std::string installDir_;
  const std::vector<std::string> keys_;
  mutable std::mutex lock_;
  std::unique_ptr<ReleaseManifest> manifest_;  // guarded by lock_
};
