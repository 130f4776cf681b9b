// The first download of an empty installation: fetch the packages named in
// the server's index, unpack them on the workers, and record every unpacked
// file that its package list describes and whose content matches it.
#include "update/first_download.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "diag/function_timer.h"
#include "diag/log.h"
#include "update/downloader.h"
#include "update/engine_files.h"
#include "update/file_list.h"
#include "update/md5.h"
#include "update/patch.h"
#include "update/safe_path.h"
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

namespace {

std::string ReadWholeFile(const std::string& path, bool* ok) {
  std::ifstream in(WideToOem(path), std::ios::binary);
  *ok = static_cast<bool>(in);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

UpdateStatus CVXDlownloader::FirstDownload() {
  // Until every package has arrived and every file in it matched, the
  // installation is unfinished: the comparison then fetches every published
  // file the local list lacks, however this download ends.
  MarkFirstInstallUnfinished(true);
  progress_.ResetTransfer();
  progress_.SetDownloadSize(1);
  WriteLog("Start Download file size: %d  ", GetDownloadTaskCount());
  const std::string index = installDir() + "LauncherConfig/update/firstdownload";
  CreateParentFolders(index);
  if (DownloadFile(
          releaseBaseUrl_ + "LauncherConfig/update/firstdownload" + AnsiToWide(TimeStampQuery()),
          index, nullptr, kSmallFileLimit) != Transfer_Complete) {
    WriteLog("Download FristDownload Failed");
    return FirstDownloadFailed();
  }
  if (!CheckReleaseFile("LauncherConfig/update/firstdownload", index)) return FirstDownloadFailed();
  packageNames_.clear();
  packageSizes_.clear();
  bool ok = false;
  std::string text = ReadWholeFile(index, &ok);
  if (!ok) return FirstDownloadFailed();
  for (PackageRef& p : ParsePackageIndex(text)) {
    packageNames_.push_back(p.name);
    packageSizes_.push_back(p.size);
  }
  WriteLog("Start Download file size: %d ", GetDownloadTaskCount());
  if (pool() == nullptr) CreateDownloadPool();
  for (size_t i = 0; i < packageNames_.size(); ++i)
    QueuePackage(packageNames_[i], packageSizes_[i]);
  OpenLocalList();
  std::map<std::string, std::string> signedCodes;
  if (SignedReleases()) signedCodes = ClientListCodes();
  const bool complete =
      pool()->ProcessFirstDownloadTask(static_cast<int>(packageNames_.size()),
                                       SignedReleases() ? &signedCodes : nullptr) &&
      !packageNames_.empty();
  WriteLocalClient();
  if (complete) MarkFirstInstallUnfinished(false);
  return Status_Ready;
}

bool CVXDlownloader::IsFirstInstallUnfinished() const {
  return FileExists(installDir() + "LauncherConfig/install.unfinished");
}

void CVXDlownloader::MarkFirstInstallUnfinished(bool unfinished) {
  const std::string marker = installDir() + "LauncherConfig/install.unfinished";
  if (!unfinished) {
    RemoveFileIfPresent(marker);
    return;
  }
  CreateParentFolders(marker);
  WriteFileAtomically(marker, "The first installation of this folder has not finished.\n");
}

// Path to MD5 of the published list LauncherConfig/client.md5, which the
// update-list step checked against the signed update.xml; empty when it
// cannot be read.
std::map<std::string, std::string> CVXDlownloader::ClientListCodes() {
  std::map<std::string, std::string> codes;
  FileList list;
  if (!ReadFileList(WideToOem(installDir() + "LauncherConfig/client.md5"), kClientListLimit,
                    &list)) {
    return codes;
  }
  for (FileEntry& e : list.entries) codes[e.path] = std::move(e.code);
  return codes;
}

// The comparison that follows must find an (empty) local list; without one
// it reports the list broken, the pass restarts, and the first download
// fails again, for ever.
UpdateStatus CVXDlownloader::FirstDownloadFailed() {
  OpenLocalList();
  WriteLocalClient();
  return Status_FirstDownloadFailed;
}

void CVXDlownloader::QueuePackage(const std::string& name, int64_t size) {
  DownloadTask task;
  task.TaskKind = Package;
  task.size = size;
  task.downloadUrl = releaseBaseUrl_ + name;
  task.downloadPath = installDir() + name;
  task.targetPath = name;
  progress_.AddTotalBytes(size);
  WriteLog("+++++updateDownLoadSize(0,%d)++++", static_cast<int>(size));
  pool()->AddTask(task, true);
}

bool ReadPackageList(const std::string& installDir, const DownloadTask& package,
                     std::map<std::string, FileEntry>* files) {
  const std::string list =
      installDir + "LauncherConfig/update/" + FileNameOf(package.downloadPath) + ".md5";
  FileList read;
  if (!ReadFileList(WideToOem(list), kClientListLimit, &read)) {
    WriteLog("Unzip Fail,Cannot Open Xml");
    return false;
  }
  for (FileEntry& e : read.entries) {
    if (IsSafeRelativePath(e.path)) (*files)[e.path] = std::move(e);
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

}  // namespace

bool CDownloaderThreadPool::ProcessFirstDownloadTask(
    int packages, const std::map<std::string, std::string>* signedCodes) {
  WriteLog(" @@@@@@@@@@@@@@@@ProcessFirstDownloadTask process start begin@@@@@@@@@@@@ ");
  char label[160];
  std::snprintf(label, sizeof label,
                " PPPPPPPPPPPPPPPP thread: %d  ProcessFirstDownloadTask cost time ",
                CurrentThreadId());
  WriteLog("%s", label);
  TestFunctionTime timer(true, 0, "%s", label);
  const std::string& dir = engine_->installDir();
  int unpacked = 0;
  bool allMatched = true;
  ApplyEachFinished([&](const DownloadTask& task) {
    if (task.TaskKind == Package) {
      allMatched &= ReadPackageList(dir, task, &packageFiles);
      ++unpacked;
      return;
    }
    if (task.TaskKind != Plain) return;
    auto it = packageFiles.find(WideToOem(task.targetPath));
    if (it == packageFiles.end()) return;
    if (UnpackedFileMatches(dir, task, it->second) && MatchesSignedList(signedCodes, it->second)) {
      engine_->RecordFileInLocalList(it->second);
    } else {
      allMatched = false;
    }
    packageFiles.erase(it);
    engine_->Counters().AddFinishedFiles(1);
  });
  // Files a package's list names that never came out of it.
  allMatched &= packageFiles.empty();
  packageFiles.clear();
  WriteLog("####################  ProcessFirstDownloadTask  process OK ********************");
  return allMatched && unpacked == packages;
}
