// A native top-level window seen through the Win32 message model: it owns
// its platform window, receives every native event as a message in
// HandleMessage, and offers Create, ShowModal, Close and SendMessage. A
// window that owns itself deletes itself in OnFinalMessage. UI thread only,
// except PostMessageW (any thread while this object exists) and
// GetWindowId, whose value threads that may outlive the object post through
// with platform::PostToWindow.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/window.h"
#include "ui/ui_values.h"

namespace SkinUI {

using HWND = platform::NativeWindow*;

constexpr unsigned WS_POPUP = 0x80000000;
constexpr unsigned WS_VISIBLE = 0x10000000;
constexpr unsigned WS_CLIPSIBLINGS = 0x04000000;
constexpr unsigned WS_CLIPCHILDREN = 0x02000000;
constexpr unsigned WS_CAPTION = 0x00C00000;
constexpr unsigned WS_BORDER = 0x00800000;
constexpr unsigned WS_THICKFRAME = 0x00040000;
constexpr unsigned WS_SYSMENU = 0x00080000;
constexpr unsigned UI_WNDSTYLE_FRAME = 0x96C80000;
constexpr unsigned CS_DBLCLKS = 0x8;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);

// Makes the platform window behind a CWindowWnd; tests swap in windows
// without a display.
using NativeWindowFactory = std::unique_ptr<platform::NativeWindow> (*)(
    const platform::NativeWindowParams&, platform::NativeWindowSink*);

class CWindowWnd : public platform::NativeWindowSink {
 public:
  CWindowWnd();
  virtual ~CWindowWnd();
  CWindowWnd(const CWindowWnd&) = delete;
  CWindowWnd& operator=(const CWindowWnd&) = delete;

  virtual std::string WindowClassName() const = 0;
  virtual std::string GetSuperClassName() const { return ""; }
  virtual unsigned GetClassStyle() const { return 0; }
  virtual LRESULT HandleMessage(unsigned msg, WPARAM wparam, LPARAM lparam);
  virtual void OnFinalMessage(HWND hwnd) { (void)hwnd; }

  HWND GetHWND() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }
  HWND Create(HWND parent, const std::string& title, unsigned style, unsigned ex_style, int x = 0,
              int y = 0, int cx = 0, int cy = 0, void* menu = nullptr);
  void CenterWindow();
  int ShowModal();
  void Close(int code = 1);
  void ShowWindow(bool show = true, bool take_focus = true);
  LRESULT SendMessageW(unsigned msg, WPARAM wparam = 0, LPARAM lparam = 0);
  bool PostMessageW(unsigned msg, WPARAM wparam = 0, LPARAM lparam = 0);
  // 0 before Create and after the window is gone.
  platform::WindowId GetWindowId() const { return window_id_.load(); }
  void SetIcon(int resource_id);
  unsigned GetWindowStyle() const { return style_; }
  void SetWindowStyle(unsigned style) { style_ = style; }

  static void SetNativeWindowFactory(NativeWindowFactory factory);

 protected:
  // What the system does with a message nobody handled.
  LRESULT DefWindowProc(unsigned msg, WPARAM wparam, LPARAM lparam);
  // Paints the window; the skinned base hands this to its paint manager.
  virtual void OnPaint(platform::Painter& painter, const Rect& dirty) {
    (void)painter, (void)dirty;
  }

  LRESULT OnNativeMessage(unsigned msg, WPARAM wparam, LPARAM lparam) override;
  void OnNativePaint(platform::Painter& painter, const Rect& dirty) override {
    OnPaint(painter, dirty);
  }

  HWND m_hWnd = nullptr;

 private:
  struct ModalState {
    bool alive = true;
    int code = 0;
  };
  std::unique_ptr<platform::NativeWindow> native_;
  std::atomic<platform::WindowId> window_id_{0};
  HWND owner_ = nullptr;
  unsigned style_ = 0;
  int last_close_code_ = 0;
  ModalState* modal_ = nullptr;  // the running ShowModal's state, when there is one
};

}  // namespace SkinUI
