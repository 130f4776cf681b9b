// MD5 digests (RFC 1321) of memory and files, as the 32 lowercase hex
// characters that file lists carry in "Code", and the file checks built on
// them.
//
// Thread-safety: an Md5Context belongs to one thread; the free functions
// keep no shared state and run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One running digest. Init, Update any number of times, then HexDigest;
// asking for the digest again returns the same text.
class Md5Context {
 public:
  Md5Context() { Init(); }
  void Init();
  void Update(const void* data, size_t size);
  // Finalises on the first call after an Update.
  std::string HexDigest();
  const uint8_t* Digest();  // 16 bytes

 private:
  void Finalize();
  void Transform(const uint8_t* block, size_t blocks);

  uint32_t state[4];
  uint32_t bitCount[2];  // low word first
  uint8_t block[64];
  uint8_t digest[16];
  uint8_t finalized;
};

// Hex digest of a file for tools that must tell a failed read from a short
// file: false, with errno's value in *error, when opening or reading failed.
bool DigestFile(const std::string& path, std::string* hex, int* error);

// Hex digest of a file, "" when it cannot be opened. A read error ends the
// file early, so the digest then mismatches any list entry.
std::string Md5OfFile(const std::string& path);

// True when the file's digest equals `expected` exactly (uppercase never
// matches). Logs the reason of a failure.
bool CheckFileMD5(std::string expected, std::string path);

// CheckFileMD5 without log lines.
bool IsFileMD5Equal(std::string expected, std::string path);

// True only when the path exists and its last name is spelled exactly so,
// letter case included, also on a case-insensitive file system.
bool FileExistsWithExactName(std::string path);
