// A zip archive held in memory: the skin package. Reads the central
// directory once, then finds entries by name (ASCII case ignored, "\" read as
// "/") and inflates them on demand. Immutable after Open; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace SkinUI {

class CZipPackage {
 public:
  static constexpr std::size_t kMaxFileSize = 4194304;  // 4 MiB

  // Borrows `data`, which must outlive the package. Null with "Error opening
  // zip file" when the bytes are no readable zip archive.
  static std::unique_ptr<CZipPackage> Open(const unsigned char* data, std::size_t size,
                                           std::string* error);

  // The entry's bytes; false with one of "Could not find ziped file", "File
  // is empty", "File too large", "Could not unzip file".
  bool Extract(const std::string& name, std::string* out, std::string* error) const;

  std::size_t EntryCount() const { return entries_.size(); }

 private:
  struct Entry {
    std::string name;
    std::uint16_t method;
    std::uint32_t crc;
    std::uint32_t packed_size;
    std::uint32_t size;
    std::uint32_t local_offset;
  };
  CZipPackage(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool ReadDirectory();
  const Entry* Find(const std::string& name) const;
  bool Inflate(const Entry& e, std::string* out) const;

  const unsigned char* data_;
  std::size_t size_;
  std::vector<Entry> entries_;
};

}  // namespace SkinUI
