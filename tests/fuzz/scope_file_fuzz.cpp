// Fuzzes the scope file (scope/login.scope): the files needed to log in, one
// path a line, which the normal comparison always brings up to date. Read by
// the engine, then used by that comparison against small fixed lists.
// Checked: no empty entry and no line break inside one; every task stays
// inside the installation folder; nothing is written outside it (write
// guard).
#include "tests/fuzz/fuzz_lists.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/write_guard.h"
#include "update/safe_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("install");
  WriteInput(dir + "scope/login.scope", data, size);
  WriteText(dir + "LauncherConfig/client.md5", fuzz_lists::kPublished);
  WriteText(dir + "LauncherConfig/localclient.md5", fuzz_lists::kLocal);
  FuzzEngine fuzz(dir);
  CVXDlownloader& engine = *fuzz.engine;
  WriteGuard guard(dir);

  FUZZ_CHECK(engine.GetScopeList() == Status_ScopeListReady);
  for (const std::string& path : engine.scopeList()) {
    FUZZ_CHECK(!path.empty() && path.find('\n') == std::string::npos);
  }
  FUZZ_CHECK(engine.GetDifferentFiles() == Status_DifferencesReady);
  for (const DownloadTask& task : engine.downloadTasks()) {
    FUZZ_CHECK(IsInsideFolder(dir, task.targetPath));
  }
  return 0;
}
