// Helpers shared by the toolkit's tests: a zip writer for made-up packages,
// a skin package of the test's own and a skinned window on a display-less
// native window.
#pragma once

#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/headless_window.h"
#include "platform/window.h"
#include "skin/skin_resources.h"
#include "ui/button.h"
#include "ui/skin_package.h"
#include "ui/window_impl_base.h"

// LeakSanitizer's tracer crashes while scanning the thread-local storage of
// WebKit's threads (the page module is loaded at run time); leaks are still
// looked for everywhere else. Options from LSAN_OPTIONS come on top of these.
// Without the TLS roots the loader's own thread-local tables look leaked.
extern "C" const char* __lsan_default_options() {
  return "use_tls=0";
}
extern "C" const char* __lsan_default_suppressions() {
  return "leak:_dl_resize_dtv\nleak:add_to_global_resize\nleak:_dl_allocate_tls\n";
}

namespace SkinUI::testing {

// Builds a zip archive of stored (uncompressed) entries in memory.
class ZipWriter {
 public:
  void Add(const std::string& name, const std::string& data) { files_.emplace_back(name, data); }

  std::string Finish() const {
    std::string out, dir;
    for (const auto& [name, data] : files_) {
      const std::uint32_t crc = static_cast<std::uint32_t>(
          crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
      const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
      Put32(&out, 0x04034b50);
      Put16(&out, 20), Put16(&out, 0), Put16(&out, 0), Put16(&out, 0), Put16(&out, 0);
      Put32(&out, crc), Put32(&out, data.size()), Put32(&out, data.size());
      Put16(&out, name.size()), Put16(&out, 0);
      out += name + data;
      Put32(&dir, 0x02014b50);
      Put16(&dir, 20), Put16(&dir, 20), Put16(&dir, 0), Put16(&dir, 0), Put16(&dir, 0),
          Put16(&dir, 0);
      Put32(&dir, crc), Put32(&dir, data.size()), Put32(&dir, data.size());
      Put16(&dir, name.size()), Put16(&dir, 0), Put16(&dir, 0), Put16(&dir, 0), Put16(&dir, 0);
      Put32(&dir, 0), Put32(&dir, offset);
      dir += name;
    }
    const std::uint32_t dir_offset = static_cast<std::uint32_t>(out.size());
    out += dir;
    Put32(&out, 0x06054b50);
    Put16(&out, 0), Put16(&out, 0), Put16(&out, files_.size()), Put16(&out, files_.size());
    Put32(&out, dir.size()), Put32(&out, dir_offset), Put16(&out, 0);
    return out;
  }

 private:
  static void Put16(std::string* s, std::size_t v) {
    s->push_back(static_cast<char>(v & 0xFF));
    s->push_back(static_cast<char>((v >> 8) & 0xFF));
  }
  static void Put32(std::string* s, std::size_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, (v >> 16) & 0xFFFF);
  }
  std::vector<std::pair<std::string, std::string>> files_;
};

// A window that loads "test.xml" from whatever package is set, on a
// display-less native window; it records the notifications it receives.
class TestWindow : public WindowImplBase {
 public:
  std::string WindowClassName() const override { return "TestWindow"; }
  std::string SkinFolder() override { return ""; }
  std::string SkinFile() override { return skin_file; }
  void OnClick(TNotifyUI& msg) override {
    clicks.push_back(msg.sender ? msg.sender->GetName() : "");
    WindowImplBase::OnClick(msg);
  }
  void OnTimerNotify(TNotifyUI& msg) { timers.push_back(static_cast<unsigned>(msg.wParam)); }
  LRESULT OnInitWL(WPARAM, LPARAM) {
    ++inits;
    return 0;
  }
  // Messages nothing else handles go to on_message when it is set.
  LRESULT HandleCustomMessage(unsigned msg, WPARAM wparam, LPARAM lparam, bool& handled) override {
    handled = msg >= platform::WM_USER && on_message != nullptr;
    if (handled) on_message(msg);
    return handled ? 0 : WindowImplBase::HandleCustomMessage(msg, wparam, lparam, handled);
  }

  platform::HeadlessWindow* Native() { return static_cast<platform::HeadlessWindow*>(GetHWND()); }
  // Creates the window; the package must already be set.
  bool Open() {
    CWindowWnd::SetNativeWindowFactory(&platform::CreateHeadlessWindow);
    return Create(nullptr, "skin test window", 0, 0, 0, 0, 0, 0) != nullptr;
  }
  // Creates a real, shown window on the display.
  bool OpenOnScreen(const std::string& title = "skin test window") {
    CWindowWnd::SetNativeWindowFactory(&platform::CreateGtkWindow);
    const bool ok = Create(nullptr, title, WS_VISIBLE, 0, 0, 0, 0, 0) != nullptr;
    CWindowWnd::SetNativeWindowFactory(&platform::CreateHeadlessWindow);
    return ok;
  }
  template <typename T>
  T* Find(const std::string& name) {
    return static_cast<T*>(m_PaintManager.FindControl(name));
  }
  // Client point -> the lParam of a mouse message.
  static LPARAM At(int x, int y) { return platform::MakeLParam(x, y); }
  // Counts the paints (the system's and CaptureClientArea's) and keeps the
  // last one's area, so that a test can wait for the repaint it caused.
  void OnPaint(platform::Painter& painter, const Rect& dirty) override {
    WindowImplBase::OnPaint(painter, dirty);
    ++paints;
    last_painted = dirty;
  }

  std::string skin_file = "test.xml";
  std::vector<std::string> clicks;
  std::vector<unsigned> timers;
  int inits = 0;
  int paints = 0;
  Rect last_painted;
  std::function<void(unsigned)> on_message;

  SKIN_DECLARE_MESSAGE_MAP()
};

inline SKIN_BEGIN_MESSAGE_MAP(TestWindow, WindowImplBase)
    SKIN_ON_MSGTYPE("timer", TestWindow::OnTimerNotify)
        SKIN_ON_MSGTYPE_WL("windowinit", TestWindow::OnInitWL) SKIN_END_MESSAGE_MAP()

    // Handles window events until `done` holds or 20 s pass (a bound for a
    // broken case, not a timing); true when it holds.
    template <typename F>
    bool PumpUntil(F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < end) {
    platform::PumpPendingMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// The skin package of one test, used by every paint manager while the object
// lives: a test starts with an empty package and no test sees another's.
// UI thread only, like the package itself.
class TestPackage : public SkinPackage {
 public:
  TestPackage() { CPaintManagerUI::SetSkinPackage(this); }
  // Sets the package from zip bytes, which must outlive this object.
  void UseZip(const std::string& zip_bytes) {
    SetZip(reinterpret_cast<const unsigned char*>(zip_bytes.data()), zip_bytes.size());
  }
  // Sets the skin package built into the program.
  void UseShippedSkin() { SetZip(skin::SkinZipData(), skin::SkinZipSize()); }
};

}  // namespace SkinUI::testing
