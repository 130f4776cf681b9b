#include "ui/zip_package.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "ui/ui_values.h"

namespace SkinUI {
namespace {

std::uint16_t U16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kDirectoryEntry = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;

std::string Normalise(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

}  // namespace

std::unique_ptr<CZipPackage> CZipPackage::Open(const unsigned char* data, std::size_t size,
                                               std::string* error) {
  std::unique_ptr<CZipPackage> zip(new CZipPackage(data, size));
  if (!data || !zip->ReadDirectory()) {
    if (error) *error = "Error opening zip file";
    return nullptr;
  }
  return zip;
}

bool CZipPackage::ReadDirectory() {
  if (size_ < 22) return false;
  // The end record sits in the last 22 bytes plus a comment of up to 64 KiB.
  std::size_t lowest = size_ > 22 + 65535 ? size_ - 22 - 65535 : 0;
  std::size_t end = size_ - 22 + 1;
  const unsigned char* eocd = nullptr;
  while (end-- > lowest) {
    if (U32(data_ + end) == kEndOfDirectory) {
      eocd = data_ + end;
      break;
    }
  }
  if (!eocd) return false;
  const std::uint16_t count = U16(eocd + 10);
  std::size_t offset = U32(eocd + 16);
  for (std::uint16_t i = 0; i < count; ++i) {
    if (offset > size_ || size_ - offset < 46 || U32(data_ + offset) != kDirectoryEntry)
      return false;
    const unsigned char* p = data_ + offset;
    const std::size_t name_len = U16(p + 28), extra_len = U16(p + 30), comment_len = U16(p + 32);
    if (size_ - offset - 46 < name_len) return false;
    Entry e{std::string(reinterpret_cast<const char*>(p + 46), name_len),
            U16(p + 10),
            U32(p + 16),
            U32(p + 20),
            U32(p + 24),
            U32(p + 42)};
    if (U16(p + 8) & 1) e.method = 0xFFFF;  // encrypted: never readable here
    entries_.push_back(std::move(e));
    offset += 46 + name_len + extra_len + comment_len;
  }
  return true;
}

const CZipPackage::Entry* CZipPackage::Find(const std::string& name) const {
  const std::string wanted = Normalise(name.substr(0, 255));
  for (const Entry& e : entries_) {
    if (EqualNoCase(Normalise(e.name), wanted)) return &e;
  }
  return nullptr;
}

bool CZipPackage::Inflate(const Entry& e, std::string* out) const {
  const std::size_t lh = e.local_offset;
  if (lh > size_ || size_ - lh < 30 || U32(data_ + lh) != kLocalHeader) return false;
  const std::size_t start = lh + 30 + U16(data_ + lh + 26) + U16(data_ + lh + 28);
  if (start > size_ || size_ - start < e.packed_size) return false;
  const unsigned char* src = data_ + start;
  out->assign(e.size, '\0');
  if (e.method == 0) {
    if (e.packed_size != e.size) return false;
    std::memcpy(out->data(), src, e.size);
  } else if (e.method == 8) {
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return false;
    zs.next_in = const_cast<Bytef*>(src);
    zs.avail_in = e.packed_size;
    zs.next_out = reinterpret_cast<Bytef*>(out->data());
    zs.avail_out = e.size;
    const int rc = inflate(&zs, Z_FINISH);
    const bool complete = rc == Z_STREAM_END && zs.total_out == e.size;
    inflateEnd(&zs);
    if (!complete) return false;
  } else {
    return false;
  }
  return crc32(0L, reinterpret_cast<const Bytef*>(out->data()), static_cast<uInt>(out->size())) ==
         e.crc;
}

bool CZipPackage::Extract(const std::string& name, std::string* out, std::string* error) const {
  auto fail = [error](const char* why) {
    if (error) *error = why;
    return false;
  };
  const Entry* e = Find(name);
  if (!e) return fail("Could not find ziped file");
  if (e->size == 0) return fail("File is empty");
  if (e->size > kMaxFileSize) return fail("File too large");
  if (!Inflate(*e, out)) {
    out->clear();
    return fail("Could not unzip file");
  }
  return true;
}

}  // namespace SkinUI
