#include "tools/updatetool.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <pugixml.hpp>
#include <thread>

#include "diag/log.h"
#include "update/archive.h"
#include "update/engine_files.h"
#include "update/release_trust.h"
#include "update/self_update.h"
#include "util/file_util.h"

namespace {

std::string ReadLink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, n) : std::string();
}

// argv of a process as separate texts.
std::vector<std::string> CommandLineOf(const std::string& pidDir) {
  std::ifstream in(pidDir + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
  return args;
}

// An argument names program when it is program itself or, relative, lies in
// the process's working folder.
bool NamesProgram(const std::string& arg, const std::string& cwd, const std::string& program) {
  if (arg.empty()) return false;
  std::string full = arg[0] == '/' ? arg : cwd + "/" + arg;
  char resolved[4096];
  if (realpath(full.c_str(), resolved) == nullptr) return full == program;
  return program == resolved;
}

std::string ExpectedLauncherCode(const std::string& folder) {
  pugi::xml_document doc;
  if (!doc.load_file((folder + "LauncherConfig/update/LaunUpdate.xml").c_str())) return "";
  for (pugi::xml_node f : doc.child("Filelist").child("Files").children("File")) {
    if (std::string(f.attribute("Path").value()) == "Launcher.exe") {
      return f.attribute("Code").value();
    }
  }
  return "";
}

// With keys, nothing the launcher left behind is believed unless the
// release's signature vouches for it: the list naming the new launcher and
// the archive holding it.
bool SignedFilesAreGenuine(const std::string& folder, const std::vector<std::string>& keys) {
  ReleaseTrust trust(folder, keys);
  if (!trust.enabled()) return true;
  std::string why;
  if (!trust.AcceptFile(folder + "LauncherConfig/update/release.sig", &why)) {
    WriteLogTag("Error", "release.sig Refused: %s", why.c_str());
    return false;
  }
  const std::pair<const char*, std::string> files[] = {
      {"ZEPLauncherUpdate/LaunUpdate.xml", folder + "LauncherConfig/update/LaunUpdate.xml"},
      {"ZEPLauncherUpdate/Launcher.exe.7z", folder + "Launcher.exe.7z"}};
  for (const auto& [relative, local] : files) {
    if (!trust.CheckFile(relative, local, "", &why)) {
      WriteLogTag("Error", "%s Refused, It Does Not Match release.sig: %s", relative, why.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

bool IsProgramRunning(const std::string& program) {
  char resolved[4096];
  std::string target = realpath(program.c_str(), resolved) ? resolved : program;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  const std::string self = std::to_string(getpid());
  bool found = false;
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9' || self == e->d_name) continue;
    const std::string dir = std::string("/proc/") + e->d_name;
    if (ReadLink(dir + "/exe") == target) {
      found = true;
    } else {
      std::vector<std::string> args = CommandLineOf(dir);
      std::string cwd = ReadLink(dir + "/cwd");
      for (size_t i = 0; i < args.size() && i < 2 && !found; ++i) {
        found = NamesProgram(args[i], cwd, target);
      }
    }
    if (found) break;
  }
  closedir(proc);
  return found;
}

bool WaitUntilNotRunning(const std::string& program, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (IsProgramRunning(program)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

bool ReplaceLauncher(const std::string& folder, const std::vector<std::string>& trustedKeys) {
  const std::string archive = folder + "Launcher.exe.7z";
  const std::string launcher = folder + "Launcher.exe";
  const std::string fresh = launcher + ".new";
  if (!SignedFilesAreGenuine(folder, trustedKeys)) return false;
  std::string expected = ExpectedLauncherCode(folder);
  if (expected.empty() && !trustedKeys.empty()) {
    WriteLogTag("Error", "LaunUpdate.xml Names No Launcher.exe");
    return false;
  }
  std::string md5;
  if (!ExtractSingleFile(archive, fresh, &md5)) {
    WriteLogTag("Error", "Unzip %s Fail", FileNameOf(archive).c_str());
    return false;
  }
  if (!expected.empty() && expected != md5) {
    WriteLog("Error ! MD5 Of %s Error, RightMD5:%s, ErrorMD5:%s, FileSize:%d", "Launcher.exe",
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

int RunUpdateTool(const std::string& folder, int waitMs,
                  const std::vector<std::string>& trustedKeys) {
  WriteLog("Update Tool Start =================================================");
  const std::string launcher = folder + "Launcher.exe";
  if (!WaitUntilNotRunning(launcher, waitMs)) {
    WriteLogTag("Error", "Launcher Still Running, Replace It Anyway");
  }
  if (!ReplaceLauncher(folder, trustedKeys)) {
    WriteLogTag("Error", "Replace Launcher Fail");
    return 1;
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
