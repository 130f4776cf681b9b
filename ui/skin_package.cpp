#include "ui/skin_package.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ui/paint_manager.h"
#include "ui/zip_package.h"

namespace SkinUI {
namespace {

bool ReadDiskFile(const std::string& path, std::string* data, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "Error opening file";
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0) {
    *error = "File is empty";
    return false;
  }
  if (static_cast<std::size_t>(size) > CZipPackage::kMaxFileSize) {
    *error = "File too large";
    return false;
  }
  in.seekg(0);
  data->resize(static_cast<std::size_t>(size));
  if (!in.read(data->data(), size)) {
    *error = "Could not read file";
    return false;
  }
  return true;
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
  std::ifstream in(zip_path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *bytes = all.str();
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
