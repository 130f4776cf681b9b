#include "ui/skin_package.h"

#include <cstdint>
#include <filesystem>

#include "ui/paint_manager.h"
#include "ui/zip_package.h"
#include "util/file_util.h"

namespace SkinUI {
namespace {

// A package far beyond any skin is damage, not a skin; the zip reader's
// offsets are 32-bit anyway.
constexpr std::int64_t kMaxPackageSize = std::int64_t{256} << 20;

bool ReadDiskFile(const std::string& path, std::string* data, std::string* error) {
  const std::int64_t limit = CZipPackage::kMaxFileSize;
  if (ReadWholeFile(path, limit, data)) {
    if (!data->empty()) return true;
    *error = "File is empty";
  } else if (!IsPlainFile(path) || FileSizeOf(path) == 0) {  // 0: cannot be read
    *error = "Error opening file";
  } else {
    *error = FileSizeOf(path) > limit ? "File too large" : "Could not read file";
  }
  return false;
}

}  // namespace

SkinPackage::SkinPackage() = default;

SkinPackage::~SkinPackage() {
  if (CPaintManagerUI::GetSkinPackage() == this) CPaintManagerUI::SetSkinPackage(nullptr);
}

void SkinPackage::SetInstance(const std::string& executable_path) {
  const std::size_t slash = executable_path.rfind('/');
  instance_path_ = slash == std::string::npos ? "./" : executable_path.substr(0, slash + 1);
}

void SkinPackage::SetInstance() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  SetInstance(ec ? std::string("./") : self.string());
}

void SkinPackage::SetZip(const unsigned char* data, std::size_t size) {
  if (zip_name_ == "membuffer") return;  // the first window's package stays
  zip_.reset();
  zip_name_ = "membuffer";
  if (keep_open_) zip_ = CZipPackage::Open(data, size, nullptr);
}

bool SkinPackage::SetZip(const std::string& zip_path) {
  auto bytes = std::make_unique<std::string>();
  std::string error;
  if (!ReadWholeFile(zip_path, kMaxPackageSize, bytes.get())) return false;
  zip_ = CZipPackage::Open(reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size(),
                           &error);
  file_bytes_ = std::move(bytes);
  zip_name_ = zip_path;
  return zip_ != nullptr;
}

bool SkinPackage::LoadFile(const std::string& name, std::string* data, std::string* error) const {
  std::string ignored;
  if (!error) error = &ignored;
  if (!zip_name_.empty()) {
    if (!zip_) {
      *error = "Error opening zip file";
      return false;
    }
    return zip_->Extract(name, data, error);
  }
  return ReadDiskFile(resource_path_ + name, data, error);
}

}  // namespace SkinUI
