// The first download of an empty installation: fetch the packages named in
// the server's index, unpack them on the workers, and record every unpacked
// file that its package list describes and whose content matches it.
#include "update/first_download.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "diag/function_timer.h"
#include "diag/log.h"
#include "platform/process.h"
#include "update/file_fetcher.h"
#include "update/file_list.h"
#include "update/install_state.h"
#include "update/md5.h"
#include "update/safe_path.h"
#include "update/worker_pool.h"
#include "util/file_util.h"
#include "util/text_util.h"

std::vector<PackageRef> ParsePackageIndex(const std::string& text) {
  std::vector<PackageRef> packages;
  std::istringstream in(text);
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    if (line.size() > 511) line.resize(511);
    size_t comma = line.rfind(',');
    if (comma == std::string::npos || comma == 0) continue;
    PackageRef ref{Utf8ToWide(line.substr(0, comma)),
                   std::strtoll(line.c_str() + comma + 1, nullptr, 10)};
    if (!IsSafeRelativePath(ref.name)) {
      WriteLogTag("Error", "Refused Unsafe Package Name [%s]", ref.name.c_str());
      continue;
    }
    packages.push_back(std::move(ref));
  }
  return packages;
}

FirstDownloadStep::FirstDownloadStep(Installation* state, FileFetcher* fetcher)
    : state_(*state), fetcher_(*fetcher) {}

UpdateStatus FirstDownloadStep::FirstDownload(CDownloaderThreadPool* pool, int taskCount) {
  // Until every package has arrived and every file in it matched, the
  // installation is unfinished: the comparison then fetches every published
  // file the local list lacks, however this download ends.
  state_.MarkFirstInstallUnfinished(true);
  state_.Counters().ResetTransfer();
  state_.Counters().SetDownloadSize(1);
  WriteLog("Start Download file size: %d  ", taskCount);
  const std::string index = state_.layout().Path(release_layout::kFirstDownloadIndex);
  CreateParentFolders(index);
  if (fetcher_.DownloadFile(fetcher_.releaseBaseUrl() + release_layout::kFirstDownloadIndex +
                                AnsiToWide(TimeStampQuery()),
                            index, nullptr, kSmallFileLimit) != Transfer_Complete) {
    WriteLog("Download FristDownload Failed");
    return FirstDownloadFailed();
  }
  if (!state_.CheckReleaseFile(release_layout::kFirstDownloadIndex, index))
    return FirstDownloadFailed();
  packageNames_.clear();
  packageSizes_.clear();
  std::string text;
  if (!ReadWholeFile(WideToOem(index), kSmallFileLimit, &text)) return FirstDownloadFailed();
  for (PackageRef& p : ParsePackageIndex(text)) {
    packageNames_.push_back(p.name);
    packageSizes_.push_back(p.size);
  }
  WriteLog("Start Download file size: %d ", taskCount);
  for (size_t i = 0; i < packageNames_.size(); ++i)
    QueuePackage(pool, packageNames_[i], packageSizes_[i]);
  state_.OpenLocalList();
  std::map<std::string, std::string> signedCodes;
  if (state_.SignedReleases()) signedCodes = ClientListCodes();
  const bool complete = ApplyUnpackedPackages(pool, &state_, static_cast<int>(packageNames_.size()),
                                              state_.SignedReleases() ? &signedCodes : nullptr) &&
                        !packageNames_.empty();
  state_.WriteLocalClient();
  if (complete) state_.MarkFirstInstallUnfinished(false);
  return Status_Ready;
}

// Path to MD5 of the published list LauncherConfig/client.md5, which the
// update-list step checked against the signed update.xml; empty when it
// cannot be read.
std::map<std::string, std::string> FirstDownloadStep::ClientListCodes() {
  std::map<std::string, std::string> codes;
  FileList list;
  if (!ReadFileList(WideToOem(state_.layout().clientList()), kClientListLimit, &list)) {
    return codes;
  }
  for (FileEntry& e : list.entries) codes[e.path] = std::move(e.code);
  return codes;
}

// The comparison that follows must find an (empty) local list; without one
// it reports the list broken, the pass restarts, and the first download
// fails again, for ever.
UpdateStatus FirstDownloadStep::FirstDownloadFailed() {
  state_.OpenLocalList();
  state_.WriteLocalClient();
  return Status_FirstDownloadFailed;
}

void FirstDownloadStep::QueuePackage(CDownloaderThreadPool* pool, const std::string& name,
                                     int64_t size) {
  DownloadTask task;
  task.TaskKind = TaskKind::Package;
  task.size = size;
  task.downloadUrl = fetcher_.releaseBaseUrl() + name;
  task.downloadPath = state_.installDir() + name;
  task.targetPath = name;
  state_.Counters().AddTotalBytes(size);
  WriteLog("+++++updateDownLoadSize(0,%d)++++", static_cast<int>(size));
  pool->AddTask(task, true);
}

bool ReadPackageList(const std::string& installDir, const DownloadTask& package,
                     std::map<std::string, FileEntry>* files, std::set<std::string>* paths) {
  const std::string list =
      InstallLayout(installDir)
          .Path(release_layout::PackageListPath(FileNameOf(package.downloadPath)));
  FileList read;
  if (!ReadFileList(WideToOem(list), kClientListLimit, &read)) {
    WriteLog("Unzip Fail,Cannot Open Xml");
    return false;
  }
  for (FileEntry& e : read.entries) {
    if (!IsSafeRelativePath(e.path)) continue;
    if (paths != nullptr) paths->insert(e.path);
    (*files)[e.path] = std::move(e);
  }
  RemoveFileIfPresent(list);
  WriteLog("Unzip %s", package.downloadPath.c_str());
  return true;
}

namespace {

// The worker hands the digest of each unpacked file in the task's code;
// an older worker that leaves it empty costs a second read here.
bool UnpackedFileMatches(const std::string& installDir, const DownloadTask& task,
                         const FileEntry& entry) {
  std::string md5 = task.code.empty() ? Md5OfFile(installDir + task.targetPath) : task.code;
  if (md5 == entry.code) return true;
  WriteLog("Error ! MD5 Of %s Error, RightMD5:%s, ErrorMD5:%s, FileSize:%d",
           FileNameOf(task.targetPath).c_str(), entry.code.c_str(), md5.c_str(),
           static_cast<int>(FileSizeOf(installDir + task.targetPath)));
  return false;
}

bool MatchesSignedList(const std::map<std::string, std::string>* signedCodes,
                       const FileEntry& entry) {
  if (signedCodes == nullptr) return true;
  auto it = signedCodes->find(entry.path);
  if (it != signedCodes->end() && it->second == entry.code) return true;
  WriteLogTag("Error", "%s Refused, It Does Not Match The Signed Client List", entry.path.c_str());
  return false;
}

// The package whose files are being recorded. A worker hands a package on
// together with all the files it unpacked, so the package is done with when
// the next package or the end of the queue comes.
class PackageInHand {
 public:
  PackageInHand() = default;
  explicit PackageInHand(std::string path) : path_(std::move(path)) {}
  // Reads the package's list into files; false when it does not load.
  bool ReadList(const std::string& installDir, const DownloadTask& package,
                std::map<std::string, FileEntry>* files) {
    listRead_ = ReadPackageList(installDir, package, files, &waiting_);
    return listRead_;
  }
  void Recorded(const std::string& path) { waiting_.erase(path); }
  // Once every file its list names is recorded, the package only doubles
  // the space the installation takes. One with files missing or refused
  // stays, as the only whole copy of what it holds.
  void Finish() {
    if (path_.empty() || !listRead_ || !waiting_.empty()) return;
    if (FileExists(path_) && RemoveFileIfPresent(path_)) {
      WriteLog("Delete Package %s", path_.c_str());
    }
    path_.clear();
  }

 private:
  std::string path_;
  bool listRead_ = false;
  std::set<std::string> waiting_;  // paths of its list not recorded yet
};

}  // namespace

bool ApplyUnpackedPackages(CDownloaderThreadPool* pool, InstallState* state, int packages,
                           const std::map<std::string, std::string>* signedCodes) {
  WriteLog(" @@@@@@@@@@@@@@@@ProcessFirstDownloadTask process start begin@@@@@@@@@@@@ ");
  char label[160];
  std::snprintf(label, sizeof label,
                " PPPPPPPPPPPPPPPP thread: %d  ProcessFirstDownloadTask cost time ",
                platform::CurrentThreadId());
  WriteLog("%s", label);
  TestFunctionTime timer(true, 0, "%s", label);
  const std::string& dir = state->installDir();
  std::map<std::string, FileEntry> packageFiles;  // the lists' entries not seen yet
  int unpacked = 0;
  bool allMatched = true;
  PackageInHand package;
  pool->ApplyEachFinished([&](const DownloadTask& task) {
    if (task.TaskKind == TaskKind::Package) {
      package.Finish();
      package = PackageInHand(task.downloadPath);
      allMatched &= package.ReadList(dir, task, &packageFiles);
      ++unpacked;
      return;
    }
    if (task.TaskKind != TaskKind::Plain) return;
    auto it = packageFiles.find(WideToOem(task.targetPath));
    if (it == packageFiles.end()) return;
    if (UnpackedFileMatches(dir, task, it->second) && MatchesSignedList(signedCodes, it->second)) {
      state->RecordFileInLocalList(it->second);
      package.Recorded(it->first);
    } else {
      allMatched = false;
    }
    packageFiles.erase(it);
    state->Counters().AddFinishedFiles(1);
  });
  package.Finish();
  // Files a package's list names that never came out of it.
  allMatched &= packageFiles.empty();
  WriteLog("####################  ProcessFirstDownloadTask  process OK ********************");
  return allMatched && unpacked == packages;
}
