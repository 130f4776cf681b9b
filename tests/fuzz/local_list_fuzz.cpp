// Fuzzes the installed-files list (LauncherConfig/localclient.md5): the
// in-memory list the engine keeps (load, look-ups, changes, save and load
// again), the comparison's reading of it, and the steps that act on it: the
// comparison against a small published list and the removal of files the
// release no longer has. Checked: every indexed path is found again, a saved
// list loads again with the same entries, paths read for the comparison are
// safe and sorted, nothing is written or deleted outside the installation
// folder (write guard).
#include "tests/fuzz/fuzz_lists.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/write_guard.h"
#include "update/difference.h"
#include "update/local_list.h"
#include "update/safe_path.h"

namespace {

// Load, look up, change, save, load again.
void RoundTrip(const std::string& file) {
  LocalList list;
  if (!list.Load(file)) return;
  const std::vector<FileEntry> entries = list.Entries();
  FUZZ_CHECK(list.IndexSize() <= entries.size());
  for (const FileEntry& e : entries) FUZZ_CHECK(list.Find(e.path, nullptr));
  if (!entries.empty()) list.Remove(entries.front().path);
  FileEntry added{"data/new.pak", "0cc175b9c0f1b6a831c399e269772661", 1, 2, 9};
  list.Record(added.path, added);
  FUZZ_CHECK(list.Save());
  LocalList again;
  FUZZ_CHECK(again.Load(file));
  const std::vector<FileEntry> saved = list.Entries(), loaded = again.Entries();
  FUZZ_CHECK(saved.size() == loaded.size());
  for (size_t i = 0; i < saved.size(); ++i) {
    FUZZ_CHECK(saved[i].path == loaded[i].path && saved[i].code == loaded[i].code);
    FUZZ_CHECK(saved[i].size == loaded[i].size && saved[i].zip == loaded[i].zip);
  }
  FUZZ_CHECK(again.IndexSize() == list.IndexSize());
  FileEntry found;
  FUZZ_CHECK(again.Find(added.path, &found) && found.code == added.code);
}

void CheckCodes(const std::string& file) {
  LocalCodes codes;
  std::vector<std::string> paths;
  if (!LoadLocalCodes(file, &codes, &paths)) return;
  FUZZ_CHECK(codes.size() <= paths.size());
  for (size_t i = 0; i < codes.size(); ++i) {
    FUZZ_CHECK(IsSafeRelativePath(codes[i].first));
    FUZZ_CHECK(i == 0 || codes[i - 1].first < codes[i].first);
    FUZZ_CHECK(FindCode(codes, codes[i].first) == &codes[i].second);
  }
  for (const std::string& p : paths) FUZZ_CHECK(IsSafeRelativePath(p));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("install");
  const std::string file = dir + "LauncherConfig/localclient.md5";
  WriteInput(file, data, size);
  WriteText(dir + "LauncherConfig/client.md5", fuzz_lists::kPublished);
  WriteText(dir + "scope/login.scope", fuzz_lists::kScope);
  WriteText(dir + "data/old.pak", "x");
  WriteGuard guard(dir);

  CheckCodes(file);
  FuzzEngine fuzz(dir);
  CVXDlownloader& engine = *fuzz.engine;
  engine.OpenLocalList();
  if (engine.GetDifferentFiles() == Status_DifferencesReady) {
    for (const std::string& old : engine.oldFiles()) FUZZ_CHECK(IsSafeRelativePath(old));
    engine.DeleteOldFile();
  }
  engine.WriteLocalClient();
  WriteInput(file, data, size);
  RoundTrip(file);
  return 0;
}
