// Fuzzes the published file list (LauncherConfig/client.md5) as the
// difference step reads it, then the step itself under each comparison rule
// against a small local list and scope file, and the download-size step that
// makes the tasks' folders. Checked: the list read is sorted, unique and
// holds only safe paths; every task stays inside the installation folder;
// nothing is written outside it (write guard).
#include <algorithm>

#include "tests/fuzz/fuzz_lists.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/write_guard.h"
#include "update/difference.h"
#include "update/safe_path.h"

namespace {

void CheckPublished(const PublishedList& list) {
  for (size_t i = 0; i < list.size(); ++i) {
    FUZZ_CHECK(IsSafeRelativePath(list[i].path));
    FUZZ_CHECK(i == 0 || list[i - 1].path < list[i].path);
    FUZZ_CHECK(FindEntry(list, list[i].path) == &list[i]);
  }
}

void CheckTasks(const CVXDlownloader& engine, size_t published) {
  const std::string& dir = engine.installDir();
  FUZZ_CHECK(engine.downloadTasks().size() <= published);
  for (const DownloadTask& task : engine.downloadTasks()) {
    FUZZ_CHECK(IsInsideFolder(dir, task.targetPath));
    FUZZ_CHECK(IsInsideFolder(dir + "LauncherConfig/update/", task.downloadPath));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("install");
  WriteInput(dir + "LauncherConfig/client.md5", data, size);
  WriteText(dir + "LauncherConfig/localclient.md5", fuzz_lists::kLocal);
  WriteText(dir + "scope/login.scope", fuzz_lists::kScope);
  WriteText(dir + "Kestrava.exe", "a");

  PublishedList published;
  if (!LoadPublishedList(dir + "LauncherConfig/client.md5", &published)) return 0;
  CheckPublished(published);

  FuzzEngine fuzz(dir);
  CVXDlownloader& engine = *fuzz.engine;
  WriteGuard guard(dir);
  for (UpdateMode mode : {UpdateMode::Normal, UpdateMode::FullDownload, UpdateMode::VerifyFiles}) {
    engine.SetUpdateMode(mode);
    if (engine.GetDifferentFiles() != Status_DifferencesReady) continue;
    CheckTasks(engine, published.size());
    const int r = engine.GetDownloadSize();
    FUZZ_CHECK(r == Status_SizeReady || r == Status_SizeFailed);
  }
  return 0;
}
