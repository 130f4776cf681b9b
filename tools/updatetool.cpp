#include "tools/updatetool.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "diag/log.h"
#include "platform/process.h"
#include "update/archive.h"
#include "update/file_list.h"
#include "update/install_layout.h"
#include "update/release_layout.h"
#include "update/release_trust.h"
#include "update/self_update.h"
#include "update/types.h"
#include "util/file_util.h"

namespace {

using namespace release_layout;

bool IsMd5Hex(const std::string& code) {
  return code.size() == 32 && code.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// What the launcher's list (LaunUpdate.xml in the update area) says of the
// new launcher.
enum class ListedLauncher {
  kNoList,      // no list: nothing to check against
  kUnreadable,  // too large, or not a list
  kNotNamed,    // a list without a Launcher.exe entry
  kBadCode,     // named, with a Code that is no MD5 digest
  kNamed,       // named, with its Code
};

// Read as the launcher read it before it handed over, so that both see the
// same entry.
ListedLauncher ReadListedLauncher(const InstallLayout& install, std::string* code) {
  const std::string list = install.InUpdateArea(kLauncherListName);
  if (!FileExists(list)) return ListedLauncher::kNoList;
  FileList read;
  if (!ReadFileList(list, kSmallFileLimit, &read)) return ListedLauncher::kUnreadable;
  for (const FileEntry& e : read.entries) {
    if (e.path != kLauncherName) continue;  // the first entry of that name counts
    *code = e.code;
    return IsMd5Hex(e.code) ? ListedLauncher::kNamed : ListedLauncher::kBadCode;
  }
  return ListedLauncher::kNotNamed;
}

// The Code the new launcher must have: "" to take it unchecked (no list,
// or a list that does not name it, without keys). False when the
// replacement must not go on.
bool ExpectedLauncherCode(const InstallLayout& install, bool signedRelease, std::string* expected) {
  expected->clear();
  switch (ReadListedLauncher(install, expected)) {
    case ListedLauncher::kUnreadable:
      WriteLogTag("Error", "Read %s False", kLauncherListName);
      return false;
    case ListedLauncher::kBadCode:
      WriteLogTag("Error", "%s Gives %s No MD5 Code [%s]", kLauncherListName, kLauncherName,
                  expected->c_str());
      return false;
    case ListedLauncher::kNoList:
    case ListedLauncher::kNotNamed:
      if (!signedRelease) return true;
      WriteLogTag("Error", "LaunUpdate.xml Names No Launcher.exe");
      return false;
    case ListedLauncher::kNamed:
      return true;
  }
  return false;
}

// With keys, nothing the launcher left behind is believed unless the
// release's signature vouches for it: the list naming the new launcher and
// the archive holding it.
bool SignedFilesAreGenuine(const InstallLayout& install, const std::vector<std::string>& keys) {
  ReleaseTrust trust(install.root(), keys);
  if (!trust.enabled()) return true;
  std::string why;
  if (!trust.AcceptFile(install.InUpdateArea(FileNameOf(kReleaseSig)), &why)) {
    WriteLogTag("Error", "release.sig Refused: %s", why.c_str());
    return false;
  }
  const std::pair<const char*, std::string> files[] = {
      {kLauncherList, install.InUpdateArea(kLauncherListName)},
      {kLauncherArchive, install.launcherArchive()}};
  for (const auto& [relative, local] : files) {
    if (!trust.CheckFile(relative, local, "", &why)) {
      WriteLogTag("Error", "%s Refused, It Does Not Match release.sig: %s", relative, why.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool WaitUntilNotRunning(const std::string& program, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (platform::IsProgramRunning(program)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

bool ReplaceLauncher(const std::string& folder, const std::vector<std::string>& trustedKeys) {
  const InstallLayout install(folder);
  const std::string archive = install.launcherArchive();
  const std::string launcher = install.launcher();
  const std::string fresh = launcher + ".new";
  if (!SignedFilesAreGenuine(install, trustedKeys)) return false;
  std::string expected;
  if (!ExpectedLauncherCode(install, !trustedKeys.empty(), &expected)) return false;
  std::string md5;
  if (!ExtractSingleFile(archive, fresh, &md5)) {
    WriteLogTag("Error", "Unzip %s Fail", FileNameOf(archive).c_str());
    return false;
  }
  if (!expected.empty() && expected != md5) {
    WriteLog("Error ! MD5 Of %s Error, RightMD5:%s, ErrorMD5:%s, FileSize:%d", kLauncherName,
             expected.c_str(), md5.c_str(), static_cast<int>(FileSizeOf(fresh)));
    RemoveFileIfPresent(fresh);
    return false;
  }
  if (!MakeExecutable(fresh) || std::rename(fresh.c_str(), launcher.c_str()) != 0) {
    RemoveFileIfPresent(fresh);
    return false;
  }
  RemoveFileIfPresent(archive);
  return true;
}

namespace {

// The player must be left with a launcher that runs: when the new one could
// not be put in place, the old one is started, told by the marker not to
// hand over again at once.
int StartOldLauncher(const std::string& folder, const std::string& launcher) {
  MarkLauncherNotReplaced(folder);
  int err = StartDetachedProgram(launcher, folder);
  if (err != 0) {
    // Nobody took the marker; the next start must update again.
    TakeLauncherNotReplaced(folder);
    WriteLogTag("Error", "Start Old Launcher Fail, ErrorCode :%d", err);
    return 1;
  }
  WriteLog("Old Launcher Started");
  return 1;
}

}  // namespace

int RunUpdateTool(const std::string& folder, int waitMs,
                  const std::vector<std::string>& trustedKeys) {
  WriteLog("Update Tool Start =================================================");
  const std::string launcher = InstallLayout(folder).launcher();
  if (!WaitUntilNotRunning(launcher, waitMs)) {
    WriteLogTag("Error", "Launcher Still Running, Replace It Anyway");
  }
  if (!ReplaceLauncher(folder, trustedKeys)) {
    WriteLogTag("Error", "Replace Launcher Fail");
    return StartOldLauncher(folder, launcher);
  }
  WriteLog("Replace Launcher Succeed");
  int err = StartDetachedProgram(launcher, folder);
  if (err != 0) {
    WriteLogTag("Error", "Start Launcher Fail, ErrorCode :%d", err);
    return 1;
  }
  WriteLog("Update Tool Stop =================================================");
  return 0;
}
