// The first download of an empty installation: fetch the packages named in
// the server's index, unpack them on the workers, and record every unpacked
// file that its package list describes and whose content matches it.
#include "update/first_download.h"

#include <cstdlib>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>

#include "diag/function_timer.h"
#include "diag/log.h"
#include "update/downloader.h"
#include "update/engine_files.h"
#include "update/md5.h"
#include "update/patch.h"
#include "update/release_url.h"
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

int CVXDlownloader::FirstDownload() {
  ResetTransferProgress();
  {
    std::lock_guard<std::mutex> hold(engineLock);
    progress.downloadSize = 1;
  }
  WriteLog("Start Download file size: %d  ", GetDownloadTaskCount());
  const std::string index = installDir() + "LauncherConfig/update/firstdownload";
  CreateParentFolders(index);
  if (DownloadFile(
          releaseBaseUrl + "LauncherConfig/update/firstdownload" + AnsiToWide(TimeStampQuery()),
          index, nullptr) != Transfer_Complete) {
    WriteLog("Download FristDownload Failed");
    return FirstDownloadFailed();
  }
  packageNames.clear();
  packageSizes.clear();
  bool ok = false;
  std::string text = ReadWholeFile(index, &ok);
  if (!ok) return FirstDownloadFailed();
  for (PackageRef& p : ParsePackageIndex(text)) {
    packageNames.push_back(p.name);
    packageSizes.push_back(p.size);
  }
  WriteLog("Start Download file size: %d ", GetDownloadTaskCount());
  if (pool() == nullptr) CreateDownloadPool();
  for (size_t i = 0; i < packageNames.size(); ++i) QueuePackage(packageNames[i], packageSizes[i]);
  OpenLocalList();
  pool()->ProcessFirstDownloadTask();
  WriteLocalClient();
  return Status_Ready;
}

// The comparison that follows must find an (empty) local list; without one
// it reports the list broken, the pass restarts, and the first download
// fails again, for ever.
int CVXDlownloader::FirstDownloadFailed() {
  OpenLocalList();
  WriteLocalClient();
  return Status_FirstDownloadFailed;
}

void CVXDlownloader::QueuePackage(const std::string& name, int64_t size) {
  DownloadTask task;
  task.TaskKind = Package;
  task.size = size;
  task.downloadUrl = releaseBaseUrl + name;
  task.downloadPath = installDir() + name;
  task.targetPath = name;
  {
    std::lock_guard<std::mutex> hold(engineLock);
    progress.totalBytes += size;
  }
  WriteLog("+++++updateDownLoadSize(0,%d)++++", static_cast<int>(size));
  pool()->AddTask(task, true);
}

void ReadPackageList(const std::string& installDir, const DownloadTask& package,
                     std::map<std::string, FileEntry>* files) {
  const std::string list =
      installDir + "LauncherConfig/update/" + FileNameOf(package.downloadPath) + ".md5";
  pugi::xml_document doc;
  if (!doc.load_file(WideToOem(list).c_str(), pugi::parse_default, pugi::encoding_utf8)) {
    WriteLog("Unzip Fail,Cannot Open Xml");
    return;
  }
  pugi::xml_node root = doc.child("Filelist");
  (void)root.child("Number");
  for (pugi::xml_node f : root.child("Files").children("File")) {
    FileEntry e;
    e.path = f.attribute("Path").value();
    if (!IsSafeRelativePath(e.path)) continue;
    e.code = f.attribute("Code").value();
    e.size = std::strtoll(f.attribute("Size").value(), nullptr, 10);
    e.zip = static_cast<int32_t>(std::strtol(f.attribute("Zip").value(), nullptr, 10));
    (*files)[e.path] = e;
  }
  RemoveFileIfPresent(list);
  WriteLog("Unzip %s", package.downloadPath.c_str());
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

}  // namespace

bool CDownloaderThreadPool::ProcessFirstDownloadTask() {
  WriteLog(" @@@@@@@@@@@@@@@@ProcessFirstDownloadTask process start begin@@@@@@@@@@@@ ");
  char label[160];
  std::snprintf(label, sizeof label,
                " PPPPPPPPPPPPPPPP thread: %d  ProcessFirstDownloadTask cost time ",
                CurrentThreadId());
  WriteLog("%s", label);
  TestFunctionTime timer(true, 0, "%s", label);
  const std::string& dir = engine_->installDir();
  ApplyEachFinished([&](const DownloadTask& task) {
    if (task.TaskKind == Package) {
      ReadPackageList(dir, task, &packageFiles);
      return;
    }
    if (task.TaskKind != Plain) return;
    auto it = packageFiles.find(WideToOem(task.targetPath));
    if (it == packageFiles.end()) return;
    if (UnpackedFileMatches(dir, task, it->second)) engine_->RecordFileInLocalList(it->second);
    packageFiles.erase(it);
    std::lock_guard<std::mutex> counters(engine_->engineLock);
    ++engine_->progress.finishedFileCount;
  });
  WriteLog("####################  ProcessFirstDownloadTask  process OK ********************");
  return true;
}
