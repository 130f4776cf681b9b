// The signature file of a release, "LauncherConfig/release.sig": a small
// text manifest naming the release, its serial and the SHA-256 and size of
// every file the launcher reads before it can judge game files (the lists,
// the first-download index and packages, the launcher's own archives, the
// game client's server list), followed by the Ed25519 signature of every
// byte before the signature line:
//
//   kestrava-release-sig 1
//   version 1.4.3
//   serial 8
//   file <64 hex digits of SHA-256> <size> <path relative to the release>
//   ...
//   signature <base64 of the 64-byte signature>
//
// Lines end with a line feed; file lines are sorted by path. Game files
// need no line: the signed client list holds their MD5s. A server that does
// not sign simply has no such file, so older launchers never notice it.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr const char* kReleaseSigPath = "LauncherConfig/release.sig";

// What the manifest says of one file.
struct SignedFile {
  std::string sha256;  // 64 lowercase hex digits
  int64_t size = 0;
};

struct ReleaseManifest {
  std::string version;  // the release's version text, for the log
  // Grows with every release; an installation refuses a release older than
  // one it accepted before.
  uint64_t serial = 0;
  std::map<std::string, SignedFile> files;  // by release-relative path
};

// The signed part: every line but the signature. Empty when the version or
// a path cannot be written on one line.
std::string ManifestBody(const ReleaseManifest& manifest);

// The whole signature file, signed with the private key (PEM). False with
// the reason in *error.
bool SignManifest(const ReleaseManifest& manifest, const std::string& privateKeyPem,
                  std::string* text, std::string* error);

// Reads a signature file without checking the signature (the publisher
// reads its previous release's serial this way). False with the line at
// fault in *error.
bool ParseManifest(const std::string& text, ReleaseManifest* manifest, std::string* error);

// Reads a signature file and checks that one of the trusted raw public keys
// signed it. False, with the reason in *error, for anything else.
bool VerifyManifest(const std::string& text, const std::vector<std::string>& trustedKeys,
                    ReleaseManifest* manifest, std::string* error);

// Public keys as the build and the operator write them: base64 of the 32
// raw bytes, several separated by commas or blanks. An entry that is not a
// key becomes an empty key, which verifies nothing: a mistyped key must not
// turn the checks off.
std::vector<std::string> ParseKeyList(const std::string& text);
