// ScratchDir: a fresh folder under /tmp for one test or one benchmark run,
// with everything in it removed when the object goes. Small read and write
// helpers keep the tests about what they check.
//
// Thread-safety: one owner; the folder itself may be used from any thread.
#pragma once

#include <string>

class ScratchDir {
 public:
  // tag names the folder (/tmp/kestrava-TAG-XXXXXX) so leftovers are traceable.
  explicit ScratchDir(const std::string& tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The folder, without a trailing "/"; "" when it could not be made.
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
  // Writes a file below the folder, making its folders; returns its full path.
  std::string Write(const std::string& relative, const std::string& data) const;
  // The whole content of a file below the folder; "" when it cannot be read.
  std::string Read(const std::string& relative) const;

 private:
  std::string path_;
};
