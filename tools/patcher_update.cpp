// `kestrava-patcher update INSTALL_DIR`: brings a folder up to the published
// release with the same update passes the launcher runs, without a window.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include "app/terminal_ui.h"
#include "app/update_driver.h"
#include "diag/log.h"
#include "update/downloader.h"
#include "update/install_lock.h"
#include "update/rate_limit.h"
#include "util/file_util.h"

namespace {

// The folder is held by a launcher or another update (EX_TEMPFAIL: try later).
constexpr int kExitFolderBusy = 75;

// A signal handler reaches nothing but globals: the engine of the running
// pass, set while it runs. RequestCancel is a lock-free atomic store.
std::atomic<CVXDlownloader*> interruptedEngine{nullptr};

void OnInterrupt(int) {
  if (CVXDlownloader* engine = interruptedEngine.load()) engine->RequestCancel();
}

// The launcher ends its process from the update thread once the update tool
// runs; here nothing is left to save, so the end is immediate.
[[noreturn]] void EndForRestart(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

struct UpdateOptions {
  std::string folder;
  std::string url;
  std::string mode = "normal";
  std::string limitRate;
};

int RunUpdate(const UpdateOptions& options) {
  namespace fs = std::filesystem;
  int64_t limit = 0;
  if (!options.limitRate.empty() && !ParseByteRate(options.limitRate, &limit)) {
    std::fprintf(stderr, "update: --limit-rate %s is not a rate such as 5M, 500K or 65536\n",
                 options.limitRate.c_str());
    return 2;
  }
  std::error_code ec;
  fs::create_directories(options.folder, ec);
  std::string dir = fs::absolute(options.folder, ec).lexically_normal().string();
  if (dir.empty() || !fs::is_directory(dir, ec)) {
    std::fprintf(stderr, "update: cannot use folder %s\n", options.folder.c_str());
    return 2;
  }
  if (dir.back() != '/') dir += '/';
  std::string busy;
  std::unique_ptr<InstallLock> lock = InstallLock::TryAcquire(dir, &busy);
  if (!lock) {
    std::fprintf(stderr, "update: %s; try again when it has finished\n", busy.c_str());
    return kExitFolderBusy;
  }
  // The launcher runs from its own folder; its day log lies there too.
  if (chdir(dir.c_str()) != 0) return 2;
  SetLogFile("");
  WriteLog("App Start =================================================");

  static const std::map<std::string, UpdateMode> kModes = {{"normal", UpdateMode::Normal},
                                                           {"repair", UpdateMode::VerifyFiles},
                                                           {"recheck", UpdateMode::Recheck},
                                                           {"full", UpdateMode::FullDownload}};

  CVXDlownloader engine(dir);
  engine.LoadLaunchConf();
  if (!options.url.empty()) engine.SetReleaseBaseUrl(options.url);
  engine.SetRateLimit(limit);
  engine.SetSkipMissingLauncher(true);
  engine.SetSelfUpdateHooks(nullptr, &EndForRestart);
  engine.SetUpdateMode(kModes.at(options.mode));
  engine.CreateDownloadPool();
  interruptedEngine.store(&engine);
  struct sigaction sa {};
  sa.sa_handler = &OnInterrupt;
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process
  sigaction(SIGINT, &sa, nullptr);

  // The engine's timing traces go to standard output, as a debugger trace
  // would; they would tear the progress line, so the display keeps the
  // real output and standard output is silenced.
  const bool tty = isatty(STDOUT_FILENO) != 0;
  std::fflush(stdout);
  FILE* display = fdopen(dup(STDOUT_FILENO), "w");
  if (display == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) display = stdout;
  TerminalUi ui(&engine, display, tty);
  int status;
  {
    UpdateDriver::Options options;
    options.maxRestarts = 2;
    UpdateDriver driver(&engine, &ui, std::move(options));
    driver.StartUpdateThread();
    driver.WaitIdle();
    status = driver.lastStatus();
  }
  interruptedEngine.store(nullptr);
  std::fflush(display);
  WriteLog("App Stop =================================================");
  if (status == Status_Completed) return 0;
  return status != 0 ? status : 1;
}

}  // namespace

void AddUpdateCommand(CLI::App& app) {
  static UpdateOptions options;  // lives as long as the command line
  CLI::App* cmd = app.add_subcommand(
      "update", "Bring an installation folder up to the published release, as the launcher does");
  cmd->add_option("INSTALL_DIR", options.folder, "Installation folder (created when missing)")
      ->required();
  cmd->add_option("--url", options.url,
                  "Base address of the release folder, or several separated by spaces in order "
                  "of preference (default: KESTRAVA_RELEASE_URL or built-in)");
  cmd->add_option("--limit-rate", options.limitRate,
                  "Bandwidth all downloads share: 5M, 500K or bytes per second (default: none)");
  cmd->add_option("--mode", options.mode, "normal, repair, recheck or full")
      ->check(CLI::IsMember({"normal", "repair", "recheck", "full"}));
  cmd->callback([] { std::exit(RunUpdate(options)); });
}
