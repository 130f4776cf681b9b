// The launcher's self-update: keeping the update tool (Launcher.dat) and
// the launcher current. A running program cannot replace its own file, so
// the step fetches the new launcher's archive, starts the update tool and
// ends; the tool does the replacement and leaves a marker when it could not.
//
// Thread-safety: the free functions have no shared state (the marker is one
// file, taken once). The step runs on the update thread; selfUpdateBytes
// may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "update/types.h"

class FileFetcher;
class Installation;

// Starts program (its execute bit set first) with no arguments, in folder,
// without waiting for it. Returns 0 when it started, else the errno value.
int StartDetachedProgram(const std::string& program, const std::string& folder);

// Left by the update tool in installDir when it could not replace
// Launcher.exe and starts the old one instead, so that the old one does not
// fetch and hand over again in a loop. True when it was written.
bool MarkLauncherNotReplaced(const std::string& installDir);
// Removes the marker; true when it was there. The launcher takes it once
// per process, so only the start right after the failed replacement keeps
// its old self, and the next start updates again.
bool TakeLauncherNotReplaced(const std::string& installDir);

class SelfUpdateStep {
 public:
  // Both borrowed; they outlive the step.
  SelfUpdateStep(Installation* state, FileFetcher* fetcher);

  // Refreshes Launcher.dat and, when Launcher.exe is out of date, fetches
  // its archive and restarts through Launcher.dat. 32 to go on, or 8, 9,
  // 25, 36 (5 only when exitProcess returned).
  UpdateStatus RunSelfUpdate(bool verify);
  // The MD5 of the installed update tool, into launcherToolMD5.
  void GetUpdateToolMD5();
  const std::string& launcherToolMD5() const { return launcherToolMD5_; }

  // Bytes of the launcher's archive fetched so far; any thread.
  int64_t selfUpdateBytes() const { return selfUpdateBytes_.load(); }
  // `post` posts the self-update message to the main window (none without
  // a window); `exit` ends the process once the update tool runs (tests
  // keep it going).
  void SetSelfUpdateHooks(std::function<void()> post, std::function<void(int)> exit);
  // Command-line runs: a folder without Launcher.exe has no launcher to
  // replace, so the launcher part of the step is skipped.
  void SetSkipMissingLauncher(bool skip) { skipMissingLauncher_ = skip; }

 private:
  void PostSelfUpdateMessage();
  UpdateStatus UpdateTheUpdateTool(bool verify);
  UpdateStatus UpdateTheLauncher(bool verify);
  UpdateStatus RestartThroughUpdateTool();

  Installation& state_;
  FileFetcher& fetcher_;
  std::string launcherToolMD5_;
  std::map<std::string, FileEntry> selfUpdateList_;
  std::atomic<int64_t> selfUpdateBytes_{0};
  std::function<void()> postSelfUpdateMessage_;
  std::function<void(int)> exitProcess_ = [](int code) { std::exit(code); };
  bool skipMissingLauncher_ = false;
  // Whether the update tool started this process after failing to replace
  // the launcher; taken once, by the first self-update step.
  std::once_flag notReplacedOnce_;
  bool launcherNotReplaced_ = false;
};
