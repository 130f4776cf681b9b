#include "app/launcher_system.h"

#include <unistd.h>

#include <cstdio>

#include "diag/log.h"
#include "platform/find_window.h"
#include "platform/process.h"
#include "platform/window.h"

namespace {

class RealLauncherSystem : public LauncherSystem {
 public:
  bool QueryDiskSpace(const std::string& folder, platform::DiskSpace* out) override {
    return platform::QueryDiskSpace(folder, out);
  }
  int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
    return platform::SystemMessageBox(nullptr, text, caption, type);
  }
  bool OpenUrl(const std::string& url) override { return platform::OpenInBrowser(url); }
  bool IsWindowOpen(const std::string& title) override {
    return platform::FindTopLevelWindow(title) != 0;
  }
  int StartGame(const GameCommand& command, const std::string& folder) override {
    platform::ProcessStart start;
    start.program = command.program;
    start.args = command.args;
    start.folder = folder;
    return platform::StartProcess(start);
  }
  void EndProcess(int code) override { EndLauncherProcess(code); }
  unsigned TickCount() override { return platform::TickCount(); }
};

}  // namespace

std::unique_ptr<LauncherSystem> CreateRealLauncherSystem() {
  return std::make_unique<RealLauncherSystem>();
}

void EndLauncherProcess(int code) {
  CloseLog();
  std::fflush(nullptr);
  _exit(code);
}
