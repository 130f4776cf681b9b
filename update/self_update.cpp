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
#include "update/file_fetcher.h"
#include "update/file_list.h"
#include "update/install_state.h"
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

bool MarkLauncherNotReplaced(const std::string& installDir) {
  const std::string marker = InstallLayout(installDir).launcherNotReplaced();
  CreateParentFolders(marker);
  return WriteFileAtomically(marker, "The update tool could not replace Launcher.exe.\n");
}

bool TakeLauncherNotReplaced(const std::string& installDir) {
  const std::string marker = InstallLayout(installDir).launcherNotReplaced();
  if (!FileExists(marker)) return false;
  RemoveFileIfPresent(marker);
  return true;
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

SelfUpdateStep::SelfUpdateStep(Installation* state, FileFetcher* fetcher)
    : state_(*state), fetcher_(*fetcher) {}

void SelfUpdateStep::GetUpdateToolMD5() {
  launcherToolMD5_ = Md5OfFile(state_.layout().updateTool());
}

void SelfUpdateStep::PostSelfUpdateMessage() {
  if (postSelfUpdateMessage_) postSelfUpdateMessage_();
}

void SelfUpdateStep::SetSelfUpdateHooks(std::function<void()> post, std::function<void(int)> exit) {
  postSelfUpdateMessage_ = std::move(post);
  exitProcess_ = std::move(exit);
}

UpdateStatus SelfUpdateStep::RunSelfUpdate(bool verify) {
  std::call_once(notReplacedOnce_,
                 [this] { launcherNotReplaced_ = TakeLauncherNotReplaced(state_.installDir()); });
  const std::string listFile = state_.layout().InUpdateArea("LaunUpdate.xml");
  RemoveFileIfPresent(listFile);
  if (fetcher_.DownloadFile(fetcher_.releaseBaseUrl() + release_layout::kLauncherList, listFile,
                            nullptr, kSmallFileLimit) != Transfer_Complete) {
    return Status_Ready;
  }
  if (!state_.CheckReleaseFile(release_layout::kLauncherList, listFile))
    return Status_RestartFailed;
  selfUpdateList_ = ReadSelfUpdateList(listFile);
  UpdateStatus r = UpdateTheUpdateTool(verify);
  if (r != Status_Ready) return r;
  return UpdateTheLauncher(verify);
}

UpdateStatus SelfUpdateStep::UpdateTheUpdateTool(bool verify) {
  auto entry = selfUpdateList_.find("Launcher.dat");
  if (entry == selfUpdateList_.end()) return Status_Ready;
  const std::string& toolCode = entry->second.code;
  GetUpdateToolMD5();
  if (toolCode == launcherToolMD5_) return Status_Ready;
  WriteLog("UpdateTool Need To Update");
  const std::string archive = state_.layout().InUpdateArea(release_layout::kUpdateToolArchiveName);
  const std::string served = std::string(verify ? release_layout::kLauncherRepairFolder
                                                : release_layout::kLauncherUpdateFolder) +
                             release_layout::kUpdateToolArchiveName;
  RemoveFileIfPresent(archive);
  TransferResult r =
      fetcher_.DownloadFile(fetcher_.releaseBaseUrl() + served, archive, nullptr, kProgramLimit);
  if (r == Transfer_Stopped) return Status_Cancelled;
  if (r != Transfer_Complete) return Status_Ready;
  if (!state_.CheckReleaseFile(served, archive)) return Status_UpdateToolBad;
  std::string md5;
  if (!ExtractToFolder(archive, state_.installDir(), &md5, kProgramLimit)) {
    WriteLogTag("Error", "Unzip %s Fail", FileNameOf(archive).c_str());
    RemoveFileIfPresent(archive);
    return Status_UnzipFailed;
  }
  if (!verify && !CheckFileMD5(toolCode, state_.layout().updateTool())) {
    return Status_UpdateToolBad;
  }
  MakeExecutable(state_.layout().updateTool());
  WriteLog("Update UpdateTool Succeed");
  RemoveFileIfPresent(archive);
  return Status_Ready;
}

UpdateStatus SelfUpdateStep::UpdateTheLauncher(bool verify) {
  auto entry = selfUpdateList_.find("Launcher.exe");
  if (entry == selfUpdateList_.end()) return Status_Ready;
  const std::string launcher = state_.layout().launcher();
  // A command-line run on a folder without a launcher has nothing to replace.
  if (skipMissingLauncher_ && !IsPlainFile(launcher)) return Status_Ready;
  const std::string& exeCode = entry->second.code;
  std::string current = Md5OfFile(launcher);
  if (!verify) {
    WriteLog("Launcher Current Md5 Is %s, Lastest Md5 Is %s", current.c_str(), exeCode.c_str());
  }
  if (current == exeCode) return Status_Ready;
  WriteLog("Launcher Need To Update");
  if (launcherNotReplaced_) {
    // The update tool fell back on us: handing over again would end this
    // pass the same way, and every pass after it.
    WriteLogTag("Error", "Update Tool Could Not Replace Launcher, Keep It Until The Next Start");
    return Status_Ready;
  }
  const std::string archive = state_.installDir() + entry->second.path + ".7z";
  RemoveFileIfPresent(archive);
  selfUpdateBytes_.store(0);
  PostSelfUpdateMessage();
  TransferResult r = fetcher_.DownloadFile(
      fetcher_.releaseBaseUrl() + release_layout::kLauncherArchive, archive,
      [this](int count) { selfUpdateBytes_.fetch_add(count); }, kProgramLimit);
  if (r == Transfer_Stopped) {
    PostSelfUpdateMessage();
    return Status_Cancelled;
  }
  if (r != Transfer_Complete) return Status_Ready;
  // 8 stops the window's self-update display as a failed restart does.
  if (!state_.CheckReleaseFile(release_layout::kLauncherArchive, archive))
    return Status_RestartFailed;
  WriteLog("Download Launcher Succeed");
  return RestartThroughUpdateTool();
}

UpdateStatus SelfUpdateStep::RestartThroughUpdateTool() {
  int err = StartDetachedProgram(state_.layout().updateTool(), state_.installDir());
  if (err == 0) {
    WriteLog("App Stop And Restart =================================================");
    exitProcess_(0);
    return Status_SelfUpdating;  // only reached when a test replaced exitProcess_
  }
  WriteLog("ErrorCode :%d", err);
  RemoveFileIfPresent(state_.layout().InUpdateArea("update.xml"));
  WriteLogTag("Error", "Unable To Restart App");
  return Status_RestartFailed;
}
