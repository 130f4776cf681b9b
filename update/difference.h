// The difference step: which published files a pass fetches, by the rule of
// the update mode, and the download tasks made for them; and the readers of
// the two file lists it compares.
//
// Thread-safety: the list readers are pure functions over their arguments;
// a DifferenceStep runs on the update thread only.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "update/types.h"

class FileFetcher;
class Installation;

// A file list read for comparison: entries sorted by path (byte order), one
// per path, the first of the document kept. Sorted vectors rather than maps:
// the comparison walks both lists in step, and 100,000 entries stay cheap.
using PublishedList = std::vector<FileEntry>;
using LocalCodes = std::vector<std::pair<std::string, std::string>>;  // path, code

// Published list. Entries whose path would leave the installation folder are
// refused with an "Error" log line. False when the file does not load.
bool LoadPublishedList(const std::string& file, PublishedList* published);

// Local list: sorted path -> code, and the paths in document order with
// duplicates. Unsafe paths are left out of both. False when the file does not
// load.
bool LoadLocalCodes(const std::string& file, LocalCodes* codes, std::vector<std::string>* paths);

// Binary searches of the sorted lists; null when the path is not there.
const FileEntry* FindEntry(const PublishedList& list, const std::string& path);
const std::string* FindCode(const LocalCodes& list, const std::string& path);

// Whether a new file with this path is fetched in a normal pass: its
// extension (the text after the last ".", the whole path without one) is
// one of the game's program and script types, compared case-sensitively.
bool IsFetchedExtension(const std::string& path);

class DifferenceStep {
 public:
  // Both borrowed; they outlive the step.
  DifferenceStep(Installation* state, const FileFetcher* fetcher);

  // Fills the task list with the files to fetch, by the rule of the update
  // mode. 34 ready, or 15, 30, 31, 36.
  UpdateStatus GetDifferentFiles();
  UpdateStatus GetDifferentFilesWithFiles();    // every listed file checked on disk
  UpdateStatus GetDiffernetFilesWithMD5List();  // local list against published list
  UpdateStatus GetFullDownload();
  // Reads scope/login.scope into scopeList: 14, or 15 when it is missing.
  UpdateStatus GetScopeList();
  // Totals the task sizes into the download size, creates their folders:
  // 6 or 26.
  UpdateStatus GetDownloadSize();
  // Deletes the files of oldFiles and forgets them in the local list.
  void DeleteOldFile();
  // Builds one task from a list entry and appends it to the task list; a
  // leftover in the update area that is not the expected file is deleted.
  void AddDownloadTask(const FileEntry& entry, uint8_t fixNameCase);
  // After every task was applied: ends the unfinished state of a first
  // installation once every path this pass found missing is recorded.
  void FinishFirstInstallIfComplete();

  const std::vector<DownloadTask>& downloadTasks() const { return downloadTasks_; }
  const std::vector<std::string>& oldFiles() const { return oldFiles_; }
  const std::vector<std::string>& scopeList() const { return scopeList_; }

 private:
  UpdateStatus StartDifference(PublishedList* published);
  // The same, then the local list's codes.
  UpdateStatus StartDifference(PublishedList* published, LocalCodes* local);
  UpdateStatus LoadLocalMap(LocalCodes* local);
  void CheckImportantFiles(const PublishedList& published);
  bool CheckFilesOnDisk(const std::vector<const FileEntry*>& entries, std::vector<char>* result);
  // AddDownloadTask unless this pass already has a task for the path.
  void AddTaskOnce(const FileEntry& entry, uint8_t fixNameCase);

  Installation& state_;
  const FileFetcher& fetcher_;
  std::vector<DownloadTask> downloadTasks_;
  std::vector<std::string> oldFiles_;
  std::vector<std::string> importantFiles_;
  std::vector<std::string> scopeList_;
  std::set<std::string> taskedPaths_;
  // While the first installation is unfinished: the published paths this
  // pass found missing from the local list.
  std::vector<std::string> unfinishedPaths_;
};
