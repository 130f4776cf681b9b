// kestrava-launcher, published as Launcher.exe: the program players start
// from the game folder. Start-up in its fixed order: the crash handler; a
// second start raises the running launcher and ends; then the day log, the
// display, the main window (which starts the first update pass) and the
// message loop.
//
// The process never returns from main while other threads may run: every
// end goes through EndLauncherProcess, which closes the day log and ends
// without static destructors.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/launcher_system.h"
#include "app/main_frame.h"
#include "diag/log.h"
#include "platform/crash/crash_handler.h"
#include "platform/find_window.h"
#include "platform/window.h"
#include "skin/skin_resources.h"
#include "ui/paint_manager.h"
#include "ui/skin_package.h"
#include "update/install_lock.h"
#include "util/file_util.h"

namespace {

// Raises the launcher window titled kMainWindowTitle; false when none shows.
bool RaiseRunningLauncher() {
  const unsigned long window = platform::FindTopLevelWindow(kMainWindowTitle);
  if (window == 0) return false;
  platform::ActivateTopLevelWindow(window);
  return true;
}

// Another launcher (or an update from the command line) holds the folder.
// A launcher started at the same moment may not show its window yet: wait
// for it and raise it, or for the folder to become free. False when the
// other launcher was raised and this one has nothing to do.
bool WaitForTheFolder(const std::string& installDir, std::unique_ptr<InstallLock>* lock) {
  for (;;) {
    if (RaiseRunningLauncher()) return false;
    if ((*lock = InstallLock::TryAcquire(installDir))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace

int main(int, char**) {  // the command line changes nothing
  // Every file of the installation (the day log, LauncherConfig/) is named
  // relative to the current folder; a menu entry or a file manager starts
  // us in the home folder rather than the game's.
  EnterModuleFolder();
  // A crash anywhere, from here on, leaves a crash folder and ends with 0.
  InstallCrashHandler();
  platform::PrepareProcessEnvironment();
  // The display is opened before anything else talks to the X server: a
  // server with no client left resets itself, and a short-lived connection
  // of the window search would make the next one wait for that reset.
  std::string error;
  const bool display = platform::InitDisplay(&error);
  if (RaiseRunningLauncher()) return 0;
  // The skin package and the program's folder, for every window of the run.
  SkinUI::SkinPackage skinPackage;
  SkinUI::CPaintManagerUI::SetSkinPackage(&skinPackage);
  SkinUI::CPaintManagerUI::SetInstance();
  const std::string installDir = SkinUI::CPaintManagerUI::GetInstancePath();
  std::unique_ptr<InstallLock> lock = InstallLock::TryAcquire(installDir);
  if (!lock && !WaitForTheFolder(installDir, &lock)) return 0;

  SetLogFile("");
  WriteLog("App Start =================================================");
  if (!display) {
    std::fprintf(stderr, "kestrava-launcher: %s\n", error.c_str());
    EndLauncherProcess(0);
  }
  skin::RegisterSkinResources();
  std::unique_ptr<LauncherSystem> system = CreateRealLauncherSystem();
  // The window owns itself: it deletes the object when it goes.
  auto* frame = new CMainFrame(system.get());
  if (const char* report = std::getenv("KESTRAVA_FIRST_FRAME_FILE"))
    frame->ReportFirstFrameTo(report);
  frame->Create(nullptr, kMainWindowTitle, SkinUI::UI_WNDSTYLE_FRAME, 0, SkinUI::CW_USEDEFAULT,
                SkinUI::CW_USEDEFAULT, SkinUI::CW_USEDEFAULT, SkinUI::CW_USEDEFAULT);
  frame->CenterWindow();
  frame->InitWindow();
  SkinUI::CPaintManagerUI::MessageLoop();
  WriteLog("App Stop =================================================");
  EndLauncherProcess(0);
}
