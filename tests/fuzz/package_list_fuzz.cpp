// Fuzzes the list a first-download package brings
// (LauncherConfig/update/<package>.md5), as the first download reads it to
// learn which unpacked files to record. Checked: only safe paths are kept,
// each under its own "Path"; a list that gave entries is gone afterwards.
#include "tests/fuzz/fuzz_support.h"
#include "update/first_download.h"
#include "update/safe_path.h"
#include "util/file_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("install");
  const std::string list = dir + "LauncherConfig/update/data.7z.md5";
  WriteInput(list, data, size);
  DownloadTask package;
  package.TaskKind = TaskKind::Package;
  package.downloadPath = dir + "data.7z";
  package.targetPath = "data.7z";
  std::map<std::string, FileEntry> files;
  ReadPackageList(dir, package, &files);
  for (const auto& [path, entry] : files) {
    FUZZ_CHECK(path == entry.path);
    FUZZ_CHECK(IsSafeRelativePath(path));
  }
  if (!files.empty()) FUZZ_CHECK(!FileExists(list));
  return 0;
}
