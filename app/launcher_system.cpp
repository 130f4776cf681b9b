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
  int StartGame(const std::string& executable, const std::string& commandLine) override {
    platform::ProcessStart start;
    start.program = executable;
    start.args = {commandLine};
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
