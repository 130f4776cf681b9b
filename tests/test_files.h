// Small file helpers for tests: whole-file reads and writes and the digest
// of a text, so that each test says what it checks rather than how it reads.
// Header-only; tests that use Md5Of link the update library.
// Thread-safety: plain functions without shared state.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "update/md5.h"

namespace testfiles {

// The whole content of a file; "" when it cannot be read.
inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Writes data to path, creating its folders.
inline void WriteAll(const std::string& path, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

inline std::string Md5Of(const std::string& data) {
  Md5Context c;
  c.Update(data.data(), data.size());
  return c.HexDigest();
}

// A fresh folder under /tmp, with a trailing "/".
inline std::string MakeTempFolder(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
  char* made = mkdtemp(tmpl.data());
  return made ? std::string(made) + "/" : std::string();
}

}  // namespace testfiles
