// Speed of the main window's progress display: one progress-bar update (set
// `bkimage` of ctrProcess, repaint what changed) against a full repaint.
// Runs without a display: the paint goes to an off-screen surface.

#include <benchmark/benchmark.h>

#include <cstdio>

#include "platform/headless_window.h"
#include "skin/skin_resources.h"
#include "ui/skin_package.h"
#include "ui/window_impl_base.h"

namespace {

class MainSkin : public SkinUI::WindowImplBase {
 public:
  std::string WindowClassName() const override { return "BenchWindow"; }
  std::string SkinFolder() override { return ""; }
  std::string SkinFile() override { return "mainframe.xml"; }
};

struct Fixture {
  Fixture() : surface(1094, 516) {
    SkinUI::CPaintManagerUI::SetSkinPackage(&package);
    SkinUI::CPaintManagerUI::SetResourceZip(skin::SkinZipData(), skin::SkinZipSize());
    SkinUI::CWindowWnd::SetNativeWindowFactory(&platform::CreateHeadlessWindow);
    window.Create(nullptr, "bench", 0, 0, 0, 0, 0, 0);
    native = static_cast<platform::HeadlessWindow*>(window.GetHWND());
    native->PaintDirty(surface.GetPainter(), true);  // images decoded, first paint done
    bar = window.GetPaintManager().FindControl("ctrProcess");
  }
  SkinUI::SkinPackage package;
  MainSkin window;
  platform::HeadlessWindow* native = nullptr;
  platform::Surface surface;
  SkinUI::CControlUI* bar = nullptr;
};

void BM_ProgressBarUpdate(benchmark::State& state) {
  Fixture f;
  char image[160];
  int n = 0;
  for (auto _ : state) {
    n = (n + 7) % f.bar->GetWidth();
    std::snprintf(image, sizeof image,
                  "file='Schedule_background.png' dest='2,0,%d,37' source='2,0,%d,37'", n, n);
    f.bar->SetAttribute("bkimage", image);
    benchmark::DoNotOptimize(f.native->PaintDirty(f.surface.GetPainter(), false));
  }
}
BENCHMARK(BM_ProgressBarUpdate)->Unit(benchmark::kMicrosecond);

void BM_WholeWindowRepaint(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.native->PaintDirty(f.surface.GetPainter(), true));
  }
}
BENCHMARK(BM_WholeWindowRepaint)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
