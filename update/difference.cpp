// The difference step: which published files must be fetched, by the rule
// that the update mode selects.
#include "update/difference.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <pugixml.hpp>
#include <set>
#include <thread>

#include "diag/log.h"
#include "update/downloader.h"
#include "update/engine_files.h"
#include "update/md5.h"
#include "update/safe_path.h"
#include "util/file_util.h"
#include "util/text_util.h"

namespace {

int64_t ParseInt64(const char* text) {
  return std::strtoll(text, nullptr, 10);
}

FileEntry EntryOf(pugi::xml_node f) {
  FileEntry e;
  e.path = AnsiToWide(f.attribute("Path").value());
  e.code = AnsiToWide(f.attribute("Code").value());
  e.size = ParseInt64(f.attribute("Size").value());
  e.zip = static_cast<int32_t>(std::strtol(f.attribute("Zip").value(), nullptr, 10));
  if (e.zip == Zip || e.zip == SevenZip) e.zipSize = ParseInt64(f.attribute("zipSize").value());
  return e;
}

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
  pugi::xml_document doc;
  if (!doc.load_file(WideToOem(file).c_str())) return false;
  for (pugi::xml_node f : doc.child("Filelist").child("Files").children("File")) {
    FileEntry e = EntryOf(f);
    if (SafeOrLogged(e.path)) published->push_back(std::move(e));
  }
  SortUnique(published, [](const FileEntry& e) -> const std::string& { return e.path; });
  return true;
}

bool LoadLocalCodes(const std::string& file, LocalCodes* codes, std::vector<std::string>* paths) {
  pugi::xml_document doc;
  if (!doc.load_file(WideToOem(file).c_str())) return false;
  for (pugi::xml_node f : doc.child("Filelist").child("Files").children("File")) {
    std::string path = AnsiToWide(f.attribute("Path").value());
    if (!SafeOrLogged(path)) continue;
    if (codes) codes->emplace_back(path, AnsiToWide(f.attribute("Code").value()));
    if (paths) paths->push_back(std::move(path));
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

// ---- CVXDlownloader members ----

void CVXDlownloader::SetCheckCounters(int listed, int checked) {
  std::lock_guard<std::mutex> hold(engineLock);
  progress.listFileCount = listed;
  progress.checkedFileCount = checked;
}

void CVXDlownloader::AddChecked(int n) {
  std::lock_guard<std::mutex> hold(engineLock);
  progress.checkedFileCount += n;
}

void CVXDlownloader::AddTaskOnce(const FileEntry& entry, uint8_t fixNameCase) {
  if (taskedPaths_.insert(entry.path).second) AddDownloadTask(entry, fixNameCase);
}

// Common start of the three rules: counters, task list, published list.
int CVXDlownloader::StartDifference(PublishedList* published) {
  SetCheckCounters(0, 0);
  downloadTasks.clear();
  taskedPaths_.clear();
  if (!LoadPublishedList(installDir() + "LauncherConfig/client.md5", published)) {
    WriteLogTag("Error", "Cant Not Open MD5 List");
    return Status_ClientListMissing;
  }
  return Status_DifferencesReady;
}

int CVXDlownloader::GetDifferentFiles() {
  switch (updateMode.load()) {
    case VerifyFiles:
      WriteLog("Start GetDifferentFilesWithFiles");
      return GetDifferentFilesWithFiles();
    case FullDownload:
      WriteLog("Start GetFullDownload!");
      return GetFullDownload();
    default:
      WriteLog("Start GetDiffernetFilesWithMD5List");
      return GetDiffernetFilesWithMD5List();
  }
}

// Digests the listed files on up to four threads (the check is disk and
// CPU bound); result[i]: 0 good, 1 wrong content, 2 missing or named in
// another letter case. Returns false when cancelled.
bool CVXDlownloader::CheckFilesOnDisk(const std::vector<const FileEntry*>& entries,
                                      std::vector<char>* result) {
  result->assign(entries.size(), 0);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; !cancelRequested.load() && (i = next.fetch_add(1)) < entries.size();) {
      const std::string full = installDir() + entries[i]->path;
      if (!FileExistsWithExactName(full)) {
        (*result)[i] = 2;
      } else if (!CheckFileMD5(entries[i]->code, full)) {
        (*result)[i] = 1;
      }
      AddChecked(1);
    }
  };
  unsigned n = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < n; ++t) helpers.emplace_back(work);
  work();
  for (auto& t : helpers) t.join();
  return !cancelRequested.load();
}

int CVXDlownloader::GetDifferentFilesWithFiles() {
  WriteLog("Start Get DifferentFiles With Files");
  PublishedList published;
  int r = StartDifference(&published);
  if (r != Status_DifferencesReady) return r;
  std::vector<std::string> localPaths;
  if (!LoadLocalCodes(installDir() + "LauncherConfig/localclient.md5", nullptr, &localPaths)) {
    WriteLogTag("Error", "Cant Not Open MD5 List");
    return Status_ClientListMissing;
  }
  if (cancelRequested.load()) return Status_Cancelled;
  SetCheckCounters(static_cast<int>(published.size()), 0);

  // Only files the local list knows are examined.
  std::sort(localPaths.begin(), localPaths.end());
  std::vector<const FileEntry*> toCheck;
  int skipped = 0;
  for (const FileEntry& entry : published) {
    if (std::binary_search(localPaths.begin(), localPaths.end(), entry.path)) {
      toCheck.push_back(&entry);
    } else {
      ++skipped;
    }
  }
  AddChecked(skipped);
  std::vector<char> result;
  if (!CheckFilesOnDisk(toCheck, &result)) return Status_Cancelled;
  for (size_t i = 0; i < toCheck.size(); ++i) {
    if (result[i] != 0) AddTaskOnce(*toCheck[i], result[i] == 2 ? 1 : 0);
  }
  WriteLog("Get DifferentFiles Completed");
  return Status_DifferencesReady;
}

int CVXDlownloader::StartDifference(PublishedList* published, LocalCodes* local) {
  int r = StartDifference(published);
  return r == Status_DifferencesReady ? LoadLocalMap(local) : r;
}

int CVXDlownloader::LoadLocalMap(LocalCodes* local) {
  const std::string file = installDir() + "LauncherConfig/localclient.md5";
  if (!LoadLocalCodes(file, local, nullptr)) {
    WriteLogTag("Error", "Cant Not Open Old MD5 List");
    return Status_LocalListMissing;
  }
  WriteLog("%s", file.c_str());
  return Status_DifferencesReady;
}

int CVXDlownloader::GetDiffernetFilesWithMD5List() {
  WriteLog("Start Get DifferentFiles With MD5");
  PublishedList published;
  LocalCodes local;
  int r = StartDifference(&published, &local);
  if (r != Status_DifferencesReady) return r;
  if (cancelRequested.load()) return Status_Cancelled;

  oldFiles.clear();
  for (const auto& [path, code] : local) {
    if (FindEntry(published, path) == nullptr) oldFiles.push_back(path);
  }
  SetCheckCounters(static_cast<int>(published.size() + local.size()), 0);
  // Both lists are sorted by path: walk them in step.
  auto l = local.begin();
  for (const FileEntry& entry : published) {
    if (cancelRequested.load()) return Status_Cancelled;
    AddChecked(1);
    while (l != local.end() && l->first < entry.path) ++l;
    bool known = l != local.end() && l->first == entry.path;
    bool wanted = known ? l->second != entry.code : IsFetchedExtension(entry.path);
    if (wanted) AddTaskOnce(entry, 0);
  }
  CheckImportantFiles(published);
  WriteLog("*******Start Get ScopeList***********");
  r = GetScopeList();
  if (r != Status_ScopeListReady) return r;
  for (const std::string& path : scopeList) {
    if (cancelRequested.load()) return Status_Cancelled;
    const FileEntry* entry = FindEntry(published, path);
    if (entry == nullptr) continue;
    const std::string* code = FindCode(local, path);
    if (code == nullptr || *code != entry->code) AddTaskOnce(*entry, 0);
  }
  WriteLog("Get DifferentFiles Completed");
  return Status_DifferencesReady;
}

void CVXDlownloader::CheckImportantFiles(const PublishedList& published) {
  WriteLog("*******Start Check Importent Files***********");
  if (std::find(importantFiles.begin(), importantFiles.end(), "KestravaBox.exe") ==
      importantFiles.end()) {
    importantFiles.push_back("KestravaBox.exe");
  }
  for (const std::string& name : importantFiles) {
    const FileEntry* entry = FindEntry(published, name);
    if (entry != nullptr && !CheckFileMD5(entry->code, installDir() + name)) {
      AddTaskOnce(*entry, 0);
    }
  }
}

int CVXDlownloader::GetFullDownload() {
  WriteLog("Start Get GetFullDownload Files");
  PublishedList published;
  LocalCodes local;
  int r = StartDifference(&published, &local);
  if (r != Status_DifferencesReady) return r;
  SetCheckCounters(static_cast<int>(published.size()), 0);
  for (const FileEntry& entry : published) {
    AddChecked(1);
    const std::string* code = FindCode(local, entry.path);
    if (code == nullptr || *code != entry.code) AddTaskOnce(entry, 0);
  }
  return Status_DifferencesReady;
}

int CVXDlownloader::GetScopeList() {
  scopeList.clear();
  FILE* f = std::fopen(WideToOem(installDir() + "scope/login.scope").c_str(), "rb");
  if (f == nullptr) {
    WriteLog("Open Scope Fail");
    return Status_ScopeListMissing;
  }
  char line[512];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    std::string text = Utf8ToWide(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty()) scopeList.push_back(text);
  }
  std::fclose(f);
  return Status_ScopeListReady;
}

int CVXDlownloader::GetDownloadSize() {
  WriteLog("Start Get Download Size");
  int64_t total = 1;
  {
    std::lock_guard<std::mutex> hold(engineLock);
    progress.downloadSize = 1;
    progress.totalBytes = 1;
    progress.downloadedBytes = 1;
  }
  for (const DownloadTask& task : downloadTasks) {
    if (task.size < 0) {
      WriteLogTag("Error", "Enable To Get The Size Of %s", FileNameOf(task.downloadPath).c_str());
      return Status_SizeFailed;
    }
    CreateParentFolders(task.downloadPath);
    CreateParentFolders(task.targetPath);
    // The sizes are the server's: absurd ones stop the total at its largest
    // value rather than overflow it.
    total = task.size > std::numeric_limits<int64_t>::max() - total
                ? std::numeric_limits<int64_t>::max()
                : total + task.size;
  }
  {
    std::lock_guard<std::mutex> hold(engineLock);
    progress.downloadSize = total;
  }
  WriteLog("Get Download Size Completed");
  return Status_SizeReady;
}

void CVXDlownloader::DeleteOldFile() {
  OpenLocalList();
  WriteLog("Begin DeleteOldFile!");
  for (auto it = oldFiles.rbegin(); it != oldFiles.rend(); ++it) {
    // Paths come from our own list, but it may have been edited by hand.
    if (!IsSafeRelativePath(*it)) continue;
    const std::string full = installDir() + *it;
    if (IsPlainFile(full)) RemoveFileIfPresent(full);
    ForgetLocalListEntry(WideToOem(*it));
  }
}
