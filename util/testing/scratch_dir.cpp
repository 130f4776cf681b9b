#include "util/testing/scratch_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "util/file_util.h"

ScratchDir::ScratchDir(const std::string& tag) {
  std::string pattern = "/tmp/kestrava-" + tag + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) != nullptr) path_ = name.data();
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  DeleteFolderContents(path_, true, false);
  rmdir(path_.c_str());
}

std::string ScratchDir::Write(const std::string& relative, const std::string& data) const {
  std::string full = *this / relative;
  CreateParentFolders(full);
  std::ofstream(full, std::ios::binary) << data;
  return full;
}

std::string ScratchDir::Read(const std::string& relative) const {
  std::ifstream in(*this / relative, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
