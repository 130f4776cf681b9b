// Small file helpers for tests: whole-file reads and writes and the digest
// of a text, so that each test says what it checks rather than how it reads.
// Header-only; tests that use Md5Of link the update library.
// Thread-safety: plain functions without shared state.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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

// n bytes that do not compress, the same for the same seed.
inline std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

inline std::string Md5Of(const std::string& data) {
  Md5Context c;
  c.Update(data.data(), data.size());
  return c.HexDigest();
}

// Every regular file (and symbolic link) below root, relative and sorted.
inline std::vector<std::string> FilesBelow(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file() || e.is_symlink()) out.push_back(fs::relative(e.path(), root).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A fresh folder under /tmp, with a trailing "/".
inline std::string MakeTempFolder(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
  char* made = mkdtemp(tmpl.data());
  return made ? std::string(made) + "/" : std::string();
}

// A named pipe at path: a program the test starts writes into it, and
// ReadFifoUntilClosed waits for that program instead of polling for a file.
inline bool MakeFifo(const std::string& path) {
  return mkfifo(path.c_str(), 0600) == 0;
}

// Waits up to `seconds` for a writer to open the pipe, then reads until it
// closes it (the writer has finished). Returns what it wrote.
inline std::string ReadFifoUntilClosed(const std::string& path, int seconds) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return {};
  std::string got;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, seconds * 1000) > 0) {
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;  // 0: the writer closed it
    got.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return got;
}

}  // namespace testfiles
