// The launcher keeps its update tool and itself current. A running program
// cannot replace its own file, so the launcher fetches its new archive,
// starts the update tool and ends; the tool does the replacement.
#include "update/self_update.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "diag/log.h"
#include "platform/process.h"
#include "update/archive.h"
#include "update/downloader.h"
#include "update/engine_files.h"
#include "update/file_list.h"
#include "update/md5.h"
#include "util/file_util.h"
#include "util/text_util.h"

int StartDetachedProgram(const std::string& program, const std::string& folder) {
  MakeExecutable(program);
  platform::ProcessStart start;
  start.program = program;
  start.folder = folder;
  start.silent = true;  // it must not hold our terminal or pipes open
  return platform::StartProcess(start);
}

namespace {

std::map<std::string, FileEntry> ReadSelfUpdateList(const std::string& file) {
  std::map<std::string, FileEntry> list;
  FileList read;
  if (!ReadFileList(WideToOem(file), kSmallFileLimit, &read)) {
    WriteLog("Read LaunUpdate.xml False");
    return list;
  }
  for (FileEntry& e : read.entries) list.emplace(e.path, std::move(e));  // first one wins
  return list;
}

}  // namespace

void CVXDlownloader::PostSelfUpdateMessage() {
  if (postSelfUpdateMessage_) postSelfUpdateMessage_();
}

void CVXDlownloader::SetSelfUpdateHooks(std::function<void()> post, std::function<void(int)> exit) {
  postSelfUpdateMessage_ = std::move(post);
  exitProcess_ = std::move(exit);
}

UpdateStatus CVXDlownloader::RunSelfUpdate(bool verify) {
  const std::string listFile = installDir() + "LauncherConfig/update/LaunUpdate.xml";
  RemoveFileIfPresent(listFile);
  if (DownloadFile(releaseBaseUrl_ + "ZEPLauncherUpdate/LaunUpdate.xml", listFile, nullptr,
                   kSmallFileLimit) != Transfer_Complete) {
    return Status_Ready;
  }
  if (!CheckReleaseFile("ZEPLauncherUpdate/LaunUpdate.xml", listFile)) return Status_RestartFailed;
  selfUpdateList_ = ReadSelfUpdateList(listFile);
  UpdateStatus r = UpdateTheUpdateTool(verify);
  if (r != Status_Ready) return r;
  return UpdateTheLauncher(verify);
}

UpdateStatus CVXDlownloader::UpdateTheUpdateTool(bool verify) {
  auto entry = selfUpdateList_.find("Launcher.dat");
  if (entry == selfUpdateList_.end()) return Status_Ready;
  const std::string& toolCode = entry->second.code;
  GetUpdateToolMD5();
  if (toolCode == launcherToolMD5_) return Status_Ready;
  WriteLog("UpdateTool Need To Update");
  const std::string archive = installDir() + "LauncherConfig/update/Launcher.dat.7z";
  const std::string served =
      std::string(verify ? "LauncherUpdate/" : "ZEPLauncherUpdate/") + "Launcher.dat.7z";
  RemoveFileIfPresent(archive);
  TransferResult r = DownloadFile(releaseBaseUrl_ + served, archive, nullptr, kProgramLimit);
  if (r == Transfer_Stopped) return Status_Cancelled;
  if (r != Transfer_Complete) return Status_Ready;
  if (!CheckReleaseFile(served, archive)) return Status_UpdateToolBad;
  std::string md5;
  if (!ExtractToFolder(archive, installDir(), &md5, kProgramLimit)) {
    WriteLogTag("Error", "Unzip %s Fail", FileNameOf(archive).c_str());
    RemoveFileIfPresent(archive);
    return Status_UnzipFailed;
  }
  if (!verify && !CheckFileMD5(toolCode, installDir() + "Launcher.dat")) {
    return Status_UpdateToolBad;
  }
  MakeExecutable(installDir() + "Launcher.dat");
  WriteLog("Update UpdateTool Succeed");
  RemoveFileIfPresent(archive);
  return Status_Ready;
}

UpdateStatus CVXDlownloader::UpdateTheLauncher(bool verify) {
  auto entry = selfUpdateList_.find("Launcher.exe");
  if (entry == selfUpdateList_.end()) return Status_Ready;
  const std::string launcher = installDir() + "Launcher.exe";
  // A command-line run on a folder without a launcher has nothing to replace.
  if (skipMissingLauncher_ && !IsPlainFile(launcher)) return Status_Ready;
  const std::string& exeCode = entry->second.code;
  std::string current = GetFileMD5(launcher);
  if (!verify) {
    WriteLog("Launcher Current Md5 Is %s, Lastest Md5 Is %s", current.c_str(), exeCode.c_str());
  }
  if (current == exeCode) return Status_Ready;
  WriteLog("Launcher Need To Update");
  const std::string archive = installDir() + entry->second.path + ".7z";
  RemoveFileIfPresent(archive);
  selfUpdateBytes_.store(0);
  PostSelfUpdateMessage();
  TransferResult r = DownloadFile(
      releaseBaseUrl_ + "ZEPLauncherUpdate/Launcher.exe.7z", archive,
      [this](int count) { selfUpdateBytes_.fetch_add(count); }, kProgramLimit);
  if (r == Transfer_Stopped) {
    PostSelfUpdateMessage();
    return Status_Cancelled;
  }
  if (r != Transfer_Complete) return Status_Ready;
  // 8 stops the window's self-update display as a failed restart does.
  if (!CheckReleaseFile("ZEPLauncherUpdate/Launcher.exe.7z", archive)) return Status_RestartFailed;
  WriteLog("Download Launcher Succeed");
  return RestartThroughUpdateTool();
}

UpdateStatus CVXDlownloader::RestartThroughUpdateTool() {
  int err = StartDetachedProgram(installDir() + "Launcher.dat", installDir());
  if (err == 0) {
    WriteLog("App Stop And Restart =================================================");
    exitProcess_(0);
    return Status_SelfUpdating;  // only reached when a test replaced exitProcess_
  }
  WriteLog("ErrorCode :%d", err);
  RemoveFileIfPresent(installDir() + "LauncherConfig/update/update.xml");
  WriteLogTag("Error", "Unable To Restart App");
  return Status_RestartFailed;
}
