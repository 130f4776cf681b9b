// skinview: shows a skin from a skin package in a window, or renders it to a
// PNG without showing anything (for skin designers and for tests).
//
//   skinview SKIN.zip SKIN.xml [--png OUT.png] [--title TEXT] [--first-frame]
//
// SKIN.zip "-" uses the package linked into the program. --first-frame shows
// the window, prints the milliseconds from process start to its first
// painted frame and exits.

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "platform/headless_window.h"
#include "platform/painter.h"
#include "platform/process.h"
#include "platform/window.h"
#include "skin/skin_resources.h"
#include "ui/dialog_builder.h"
#include "ui/skin_package.h"
#include "ui/window_impl_base.h"

namespace {

struct Options {
  std::string zip;
  std::string xml;
  std::string png;
  std::string title = "skinview";
  bool first_frame = false;
};

// The window under inspection. Ends the program when it goes away.
class SkinViewWindow : public SkinUI::WindowImplBase {
 public:
  explicit SkinViewWindow(const Options& o) : opts_(o) {}
  std::string WindowClassName() const override { return "SkinView"; }
  std::string SkinFolder() override { return ""; }
  std::string SkinFile() override { return opts_.xml; }
  SkinUI::UILIB_RESOURCETYPE GetResourceType() const override {
    return opts_.zip == "-" ? SkinUI::UILIB_ZIPRESOURCE : SkinUI::UILIB_ZIP;
  }
  std::string GetZIPFileName() const override { return opts_.zip; }
  int GetResourceID() const override { return skin::kSkinZipId; }
  void OnFinalMessage(SkinUI::HWND hwnd) override {
    WindowImplBase::OnFinalMessage(hwnd);
    platform::PostQuitMessage(0);
  }
  void Notify(SkinUI::TNotifyUI& msg) override {
    if (msg.type == "windowinit" && opts_.first_frame) {
      rusage use{};
      getrusage(RUSAGE_SELF, &use);
      const double cpu_ms = (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000.0 +
                            (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000.0;
      std::printf("first frame after %.1f ms (%.1f ms of CPU)\n",
                  platform::MillisecondsSinceProcessStart(), cpu_ms);
      std::fflush(stdout);
      platform::PostQuitMessage(0);
    }
    WindowImplBase::Notify(msg);
  }

 private:
  Options opts_;
};

bool ParseArgs(int argc, char** argv, Options* o) {
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--png" && i + 1 < argc) {
      o->png = argv[++i];
    } else if (a == "--title" && i + 1 < argc) {
      o->title = argv[++i];
    } else if (a == "--first-frame") {
      o->first_frame = true;
    } else if (positional == 0) {
      o->zip = a, ++positional;
    } else if (positional == 1) {
      o->xml = a, ++positional;
    } else {
      return false;
    }
  }
  return positional == 2;
}

// Checks the skin before any window exists, so that a broken one is an error
// message rather than a dialog.
bool CheckSkin(const Options& o) {
  if (o.zip == "-") {
    SkinUI::CPaintManagerUI::SetResourceZip(skin::SkinZipData(), skin::SkinZipSize());
  } else if (!SkinUI::CPaintManagerUI::SetResourceZip(o.zip)) {
    std::fprintf(stderr, "skinview: %s: Error opening zip file\n", o.zip.c_str());
    return false;
  }
  SkinUI::CDialogBuilder builder;
  if (!builder.Create(o.xml, nullptr, nullptr)) {
    std::fprintf(stderr, "skinview: %s: %s\n", o.xml.c_str(), builder.LastError().c_str());
    return false;
  }
  return true;
}

int RenderPng(const Options& o) {
  SkinUI::CWindowWnd::SetNativeWindowFactory(&platform::CreateHeadlessWindow);
  auto owner = std::make_unique<SkinViewWindow>(o);
  SkinViewWindow* w = owner.get();
  if (!w->Create(nullptr, o.title, 0, 0, 0, 0, 0, 0)) return 1;
  const platform::Size size = w->GetHWND()->GetClientSize();
  platform::Surface surface(size.cx, size.cy);
  w->GetPaintManager().Paint(surface.GetPainter(), platform::Rect{0, 0, size.cx, size.cy});
  std::string error;
  if (!surface.WritePng(o.png, &error)) {
    std::fprintf(stderr, "skinview: %s: %s\n", o.png.c_str(), error.c_str());
    return 1;
  }
  std::printf("%s: %d x %d\n", o.png.c_str(), size.cx, size.cy);
  return 0;
}

int ShowWindow(const Options& o) {
  std::string error;
  if (!platform::InitDisplay(&error)) {
    std::fprintf(stderr, "skinview: %s\n", error.c_str());
    return 1;
  }
  auto window = std::make_unique<SkinViewWindow>(o);
  if (!window->Create(nullptr, o.title, SkinUI::UI_WNDSTYLE_FRAME, 0, 0, 0, 0, 0)) return 1;
  window->CenterWindow();
  return platform::RunMessageLoop();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: skinview SKIN.zip SKIN.xml [--png OUT.png] [--title TEXT] "
                 "[--first-frame]\n       SKIN.zip \"-\" uses the built-in skin package\n");
    return 2;
  }
  platform::PrepareProcessEnvironment();
  skin::RegisterSkinResources();
  {
    // A package of its own for the check, so that the window loads afresh.
    SkinUI::SkinPackage checked;
    SkinUI::CPaintManagerUI::SetSkinPackage(&checked);
    if (!CheckSkin(o)) return 1;
  }
  SkinUI::SkinPackage package;
  SkinUI::CPaintManagerUI::SetSkinPackage(&package);
  SkinUI::CPaintManagerUI::SetInstance(argv[0]);
  return o.png.empty() ? ShowWindow(o) : RenderPng(o);
}
