// The difference step: which published files must be fetched, by the rule
// that the update mode selects.
#include "update/difference.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>
#include <system_error>
#include <thread>

#include "diag/log.h"
#include "update/chunk_map.h"
#include "update/file_fetcher.h"
#include "update/file_list.h"
#include "update/install_state.h"
#include "update/local_list.h"
#include "update/md5.h"
#include "update/md5_lanes.h"
#include "update/release_trust.h"
#include "update/safe_path.h"
#include "util/file_util.h"
#include "util/text_util.h"

namespace {

bool SafeOrLogged(const std::string& path) {
  if (IsSafeRelativePath(path)) return true;
  WriteLogTag("Error", "Refused Unsafe Path In List [%s]", path.c_str());
  return false;
}

}  // namespace

namespace {

// Sorts by path and keeps the first entry of each path in document order.
template <typename T, typename PathOf>
void SortUnique(std::vector<T>* list, PathOf pathOf) {
  std::stable_sort(list->begin(), list->end(),
                   [&](const T& a, const T& b) { return pathOf(a) < pathOf(b); });
  list->erase(std::unique(list->begin(), list->end(),
                          [&](const T& a, const T& b) { return pathOf(a) == pathOf(b); }),
              list->end());
}

}  // namespace

bool LoadPublishedList(const std::string& file, PublishedList* published) {
  FileList list;
  if (!ReadFileList(WideToOem(file), kClientListLimit, &list)) return false;
  for (FileEntry& e : list.entries) {
    if (SafeOrLogged(e.path)) published->push_back(std::move(e));
  }
  SortUnique(published, [](const FileEntry& e) -> const std::string& { return e.path; });
  return true;
}

bool LoadLocalCodes(const std::string& file, LocalCodes* codes, std::vector<std::string>* paths) {
  FileList list;
  if (!ReadFileList(WideToOem(file), kClientListLimit, &list)) return false;
  for (FileEntry& e : list.entries) {
    if (!SafeOrLogged(e.path)) continue;
    if (codes) codes->emplace_back(e.path, e.code);
    if (paths) paths->push_back(std::move(e.path));
  }
  if (codes) {
    SortUnique(codes, [](const std::pair<std::string, std::string>& e) -> const std::string& {
      return e.first;
    });
  }
  return true;
}

const FileEntry* FindEntry(const PublishedList& list, const std::string& path) {
  auto it = std::lower_bound(list.begin(), list.end(), path,
                             [](const FileEntry& e, const std::string& p) { return e.path < p; });
  return it != list.end() && it->path == path ? &*it : nullptr;
}

const std::string* FindCode(const LocalCodes& list, const std::string& path) {
  auto it = std::lower_bound(list.begin(), list.end(), path,
                             [](const std::pair<std::string, std::string>& e,
                                const std::string& p) { return e.first < p; });
  return it != list.end() && it->first == path ? &it->second : nullptr;
}

bool IsFetchedExtension(const std::string& path) {
  static const std::set<std::string> kFetched = {"dll", "exe", "cs",    "dso",   "gui",    "mis",
                                                 "xml", "pck", "h",     "hlsl",  "forest", "decals",
                                                 "ttf", "otf", "scope", "plist", "flist",  "ini"};
  size_t dot = path.rfind('.');
  return kFetched.count(dot == std::string::npos ? path : path.substr(dot + 1)) != 0;
}

// ---- The step ----

DifferenceStep::DifferenceStep(Installation* state, const FileFetcher* fetcher)
    : state_(*state), fetcher_(*fetcher) {}

void DifferenceStep::AddTaskOnce(const FileEntry& entry, uint8_t fixNameCase) {
  if (taskedPaths_.insert(entry.path).second) AddDownloadTask(entry, fixNameCase);
}

// Common start of the three rules: counters, task list, published list.
UpdateStatus DifferenceStep::StartDifference(PublishedList* published) {
  state_.Counters().SetCheckCounters(0, 0);
  downloadTasks_.clear();
  taskedPaths_.clear();
  if (!LoadPublishedList(state_.layout().clientList(), published)) {
    WriteLogTag("Error", "Cant Not Open MD5 List");
    return Status_ClientListMissing;
  }
  return Status_DifferencesReady;
}

UpdateStatus DifferenceStep::GetDifferentFiles() {
  switch (state_.GetUpdateMode()) {
    case UpdateMode::VerifyFiles:
      WriteLog("Start GetDifferentFilesWithFiles");
      return GetDifferentFilesWithFiles();
    case UpdateMode::FullDownload:
      WriteLog("Start GetFullDownload!");
      return GetFullDownload();
    default:
      WriteLog("Start GetDiffernetFilesWithMD5List");
      return GetDiffernetFilesWithMD5List();
  }
}

// Digests the listed files on up to four threads (the check is disk and
// CPU bound); result[i]: 0 good, 1 wrong content, 2 missing or named in
// another letter case. Returns false when cancelled. Where the processor
// has vector lanes, the four threads only read, and one helper digests
// their files side by side.
bool DifferenceStep::CheckFilesOnDisk(const std::vector<const FileEntry*>& entries,
                                      std::vector<char>* result) {
  result->assign(entries.size(), 0);
  std::atomic<size_t> next{0};
  const std::unique_ptr<Md5LaneHasher> lanes = Md5LaneHasher::StartIfWorthwhile();
  auto work = [&] {
    auto stream = lanes ? std::make_unique<BackgroundMd5>(lanes.get()) : nullptr;
    for (size_t i; !state_.CancelRequested() && (i = next.fetch_add(1)) < entries.size();) {
      const std::string full = state_.installDir() + entries[i]->path;
      if (!FileExistsWithExactName(full)) {
        (*result)[i] = 2;
      } else if (!CheckFileMD5(entries[i]->code, full, stream.get())) {
        (*result)[i] = 1;
      }
      state_.Counters().AddChecked(1);
    }
  };
  unsigned n = lanes ? 4u : std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < n; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer helpers; this thread checks the rest
    }
  }
  work();
  for (auto& t : helpers) t.join();
  return !state_.CancelRequested();
}

UpdateStatus DifferenceStep::GetDifferentFilesWithFiles() {
  WriteLog("Start Get DifferentFiles With Files");
  PublishedList published;
  UpdateStatus r = StartDifference(&published);
  if (r != Status_DifferencesReady) return r;
  std::vector<std::string> localPaths;
  if (!LoadLocalCodes(state_.layout().localList(), nullptr, &localPaths)) {
    WriteLogTag("Error", "Cant Not Open MD5 List");
    return Status_ClientListMissing;
  }
  if (state_.CancelRequested()) return Status_Cancelled;
  state_.Counters().SetCheckCounters(static_cast<int>(published.size()), 0);

  // Only files the local list knows are examined; while the first
  // installation is unfinished, the ones it lacks are fetched too.
  std::sort(localPaths.begin(), localPaths.end());
  const bool unfinished = state_.IsFirstInstallUnfinished();
  unfinishedPaths_.clear();
  std::vector<const FileEntry*> toCheck;
  int skipped = 0;
  for (const FileEntry& entry : published) {
    if (std::binary_search(localPaths.begin(), localPaths.end(), entry.path)) {
      toCheck.push_back(&entry);
    } else {
      if (unfinished) {
        unfinishedPaths_.push_back(entry.path);
        AddTaskOnce(entry, 0);
      }
      ++skipped;
    }
  }
  state_.Counters().AddChecked(skipped);
  std::vector<char> result;
  if (!CheckFilesOnDisk(toCheck, &result)) return Status_Cancelled;
  for (size_t i = 0; i < toCheck.size(); ++i) {
    if (result[i] != 0) AddTaskOnce(*toCheck[i], result[i] == 2 ? 1 : 0);
  }
  WriteLog("Get DifferentFiles Completed");
  return Status_DifferencesReady;
}

UpdateStatus DifferenceStep::StartDifference(PublishedList* published, LocalCodes* local) {
  UpdateStatus r = StartDifference(published);
  return r == Status_DifferencesReady ? LoadLocalMap(local) : r;
}

UpdateStatus DifferenceStep::LoadLocalMap(LocalCodes* local) {
  const std::string file = state_.layout().localList();
  if (!LoadLocalCodes(file, local, nullptr)) {
    WriteLogTag("Error", "Cant Not Open Old MD5 List");
    return Status_LocalListMissing;
  }
  WriteLog("%s", file.c_str());
  return Status_DifferencesReady;
}

UpdateStatus DifferenceStep::GetDiffernetFilesWithMD5List() {
  WriteLog("Start Get DifferentFiles With MD5");
  PublishedList published;
  LocalCodes local;
  UpdateStatus r = StartDifference(&published, &local);
  if (r != Status_DifferencesReady) return r;
  if (state_.CancelRequested()) return Status_Cancelled;

  oldFiles_.clear();
  for (const auto& [path, code] : local) {
    if (FindEntry(published, path) == nullptr) oldFiles_.push_back(path);
  }
  state_.Counters().SetCheckCounters(static_cast<int>(published.size() + local.size()), 0);
  // New files of other kinds are left to the game, except while the first
  // installation is unfinished: then every file it lacks is fetched.
  const bool unfinished = state_.IsFirstInstallUnfinished();
  unfinishedPaths_.clear();
  // Both lists are sorted by path: walk them in step.
  auto l = local.begin();
  for (const FileEntry& entry : published) {
    if (state_.CancelRequested()) return Status_Cancelled;
    state_.Counters().AddChecked(1);
    while (l != local.end() && l->first < entry.path) ++l;
    bool known = l != local.end() && l->first == entry.path;
    if (!known && unfinished) unfinishedPaths_.push_back(entry.path);
    bool wanted = known ? l->second != entry.code : unfinished || IsFetchedExtension(entry.path);
    if (wanted) AddTaskOnce(entry, 0);
  }
  if (unfinished && unfinishedPaths_.empty()) state_.MarkFirstInstallUnfinished(false);
  CheckImportantFiles(published);
  WriteLog("*******Start Get ScopeList***********");
  r = GetScopeList();
  if (r != Status_ScopeListReady) return r;
  for (const std::string& path : scopeList_) {
    if (state_.CancelRequested()) return Status_Cancelled;
    const FileEntry* entry = FindEntry(published, path);
    if (entry == nullptr) continue;
    const std::string* code = FindCode(local, path);
    if (code == nullptr || *code != entry->code) AddTaskOnce(*entry, 0);
  }
  WriteLog("Get DifferentFiles Completed");
  return Status_DifferencesReady;
}

void DifferenceStep::CheckImportantFiles(const PublishedList& published) {
  WriteLog("*******Start Check Importent Files***********");
  if (std::find(importantFiles_.begin(), importantFiles_.end(), "KestravaBox.exe") ==
      importantFiles_.end()) {
    importantFiles_.push_back("KestravaBox.exe");
  }
  for (const std::string& name : importantFiles_) {
    const FileEntry* entry = FindEntry(published, name);
    if (entry != nullptr && !CheckFileMD5(entry->code, state_.installDir() + name)) {
      AddTaskOnce(*entry, 0);
    }
  }
}

UpdateStatus DifferenceStep::GetFullDownload() {
  WriteLog("Start Get GetFullDownload Files");
  PublishedList published;
  LocalCodes local;
  unfinishedPaths_.clear();
  UpdateStatus r = StartDifference(&published, &local);
  if (r != Status_DifferencesReady) return r;
  state_.Counters().SetCheckCounters(static_cast<int>(published.size()), 0);
  for (const FileEntry& entry : published) {
    state_.Counters().AddChecked(1);
    const std::string* code = FindCode(local, entry.path);
    if (code == nullptr || *code != entry.code) AddTaskOnce(entry, 0);
  }
  return Status_DifferencesReady;
}

UpdateStatus DifferenceStep::GetScopeList() {
  scopeList_.clear();
  const std::string file = WideToOem(state_.layout().scopeFile());
  if (FileSizeOf(file) > kSmallFileLimit) {
    WriteLogTag("Error", "%s is larger than %lld bytes", file.c_str(),
                static_cast<long long>(kSmallFileLimit));
    return Status_ScopeListMissing;
  }
  FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) {
    WriteLog("Open Scope Fail");
    return Status_ScopeListMissing;
  }
  char line[512];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    std::string text = Utf8ToWide(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty()) scopeList_.push_back(text);
  }
  std::fclose(f);
  return Status_ScopeListReady;
}

UpdateStatus DifferenceStep::GetDownloadSize() {
  WriteLog("Start Get Download Size");
  int64_t total = 1;
  state_.Counters().StartSizes();
  std::set<std::string> made;  // many tasks share a folder: each is made once
  auto makeFolderOf = [&made](const std::string& path) {
    if (made.insert(GetParentFolder(path)).second) CreateParentFolders(path);
  };
  for (const DownloadTask& task : downloadTasks_) {
    if (task.size < 0) {
      WriteLogTag("Error", "Enable To Get The Size Of %s", FileNameOf(task.downloadPath).c_str());
      return Status_SizeFailed;
    }
    makeFolderOf(task.downloadPath);
    makeFolderOf(task.targetPath);
    // The sizes are the server's: absurd ones stop the total at its largest
    // value rather than overflow it.
    total = task.size > std::numeric_limits<int64_t>::max() - total
                ? std::numeric_limits<int64_t>::max()
                : total + task.size;
  }
  state_.Counters().SetDownloadSize(total);
  WriteLog("Get Download Size Completed");
  return Status_SizeReady;
}

void DifferenceStep::DeleteOldFile() {
  state_.OpenLocalList();
  WriteLog("Begin DeleteOldFile!");
  for (auto it = oldFiles_.rbegin(); it != oldFiles_.rend(); ++it) {
    // Paths come from our own list, but it may have been edited by hand.
    if (!IsSafeRelativePath(*it)) continue;
    const std::string full = state_.installDir() + *it;
    if (IsPlainFile(full)) RemoveFileIfPresent(full);
    state_.ForgetLocalListEntry(WideToOem(*it));
  }
}

void DifferenceStep::AddDownloadTask(const FileEntry& entry, uint8_t fixNameCase) {
  static const char* const kSuffix[] = {"", ".zip", ".7z", ".4g"};
  if (!IsSafeRelativePath(entry.path)) {
    WriteLogTag("Error", "Refused unsafe path [%s]", entry.path.c_str());
    return;
  }
  const char* suffix = (entry.zip >= 0 && entry.zip <= 3) ? kSuffix[entry.zip] : "";
  DownloadTask task;
  task.TaskKind = TaskKindOf(entry.zip);
  task.fixNameCase = fixNameCase;
  task.downloadUrl = fetcher_.releaseBaseUrl() + entry.path + suffix;
  task.downloadPath = state_.layout().InUpdateArea(entry.path + suffix);
  task.targetPath = state_.installDir() + entry.path;
  task.code = entry.code;
  task.size = entry.size;
  task.zipSize =
      (TaskKindOf(entry.zip) == TaskKind::Zip || TaskKindOf(entry.zip) == TaskKind::SevenZip)
          ? entry.zipSize
          : 0;
  // A big plain file may be fetched as a delta against the copy on disk. A
  // signed release names its maps: a file without one (below the
  // publisher's --delta-min-size) costs no request for it.
  if (task.TaskKind == TaskKind::Plain && task.size >= kDeltaMinFileSize) {
    const std::string map = release_layout::DeltaMapPath(entry.path);
    if (state_.trust().MayHave(map)) {
      task.deltaMap = map;
      task.deltaMapUrl = fetcher_.releaseBaseUrl() + task.deltaMap;
    }
  }
  if (FileSizeOf(task.downloadPath) != 0 && !IsFileMD5Equal(task.code, task.downloadPath)) {
    RemoveFileIfPresent(task.downloadPath);
  }
  downloadTasks_.push_back(std::move(task));
}

void DifferenceStep::FinishFirstInstallIfComplete() {
  if (!state_.IsFirstInstallUnfinished()) return;
  for (const std::string& path : unfinishedPaths_) {
    if (!state_.localList()->Contains(WideToOem(path))) return;
  }
  state_.MarkFirstInstallUnfinished(false);
}
