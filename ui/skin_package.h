// The skin package of a program: where the program lives, the folder skin
// files are read from when no package is set, and the package (a zip held in
// memory) they are read from otherwise. The program makes one in main and
// lends it to the toolkit with CPaintManagerUI::SetSkinPackage; the paint
// managers' static package functions then act on it, so every window of the
// program reads the same package. A test makes its own, which nothing else
// sees.
//
// Thread-safety: the UI thread only, like the windows that read it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace SkinUI {

class CZipPackage;

class SkinPackage {
 public:
  SkinPackage();
  // Stops the toolkit from using it, when it is the package in use.
  ~SkinPackage();
  SkinPackage(const SkinPackage&) = delete;
  SkinPackage& operator=(const SkinPackage&) = delete;

  // The folder of executable_path, with a trailing "/" ("./" without one).
  void SetInstance(const std::string& executable_path);
  // The running program's own executable (/proc/self/exe).
  void SetInstance();
  // "" until SetInstance.
  const std::string& InstancePath() const { return instance_path_; }
  void SetResourcePath(const std::string& folder) { resource_path_ = folder; }
  const std::string& ResourcePath() const { return resource_path_; }

  // Sets the package from memory, which must outlive this object. The
  // first one stays: later calls change nothing ("membuffer").
  void SetZip(const unsigned char* data, std::size_t size);
  // Sets the package from a zip file, read into memory held here; false
  // when it cannot be read or is no zip (files then fail to load).
  bool SetZip(const std::string& zip_path);
  // "membuffer", the zip file's path, or "" while none is set.
  const std::string& ZipName() const { return zip_name_; }

  // A skin or image file by name: from the package when one is set, else
  // from the resource folder; false with the reason in *error.
  bool LoadFile(const std::string& name, std::string* data, std::string* error) const;

 private:
  std::string instance_path_;
  std::string resource_path_;
  std::string zip_name_;
  bool keep_open_ = true;
  std::unique_ptr<CZipPackage> zip_;
  std::unique_ptr<std::string> file_bytes_;  // a package read from a zip file
};

}  // namespace SkinUI
