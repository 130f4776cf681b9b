// The paint manager of one skinned window: it holds the control tree, lays it
// out and paints it, routes mouse, keyboard and timer messages to controls,
// runs control timers and delivers named notifications. Its static functions
// load skin files and images from the program's skin package (SkinPackage).
// Everything runs on the window's (the UI) thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/painter.h"
#include "platform/window.h"
#include "ui/image_string.h"
#include "ui/ui_values.h"

namespace SkinUI {

class CControlUI;
class SkinPackage;

enum EventType {
  UIEVENT_MOUSEMOVE = 1,
  UIEVENT_MOUSELEAVE,
  UIEVENT_MOUSEENTER,
  UIEVENT_BUTTONDOWN,
  UIEVENT_BUTTONUP,
  UIEVENT_DBLCLICK,
  UIEVENT_KEYDOWN,
  UIEVENT_SCROLLWHEEL,
  UIEVENT_SETFOCUS,
  UIEVENT_KILLFOCUS,
  UIEVENT_TIMER,
};

// An input or timer event on its way to one control.
struct TEventUI {
  int Type = 0;
  CControlUI* pSender = nullptr;
  unsigned dwTimestamp = 0;
  Point ptMouse;
  WPARAM chKey = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// A named notification, as the window's message map receives it.
struct tagTNotifyUI {
  CSkinString type;
  CSkinString virtualWindow;
  CControlUI* sender = nullptr;
  unsigned timestamp = 0;
  Point mousePoint;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};
using TNotifyUI = tagTNotifyUI;

// Receives notifications of a paint manager.
class INotifyUI {
 public:
  virtual void Notify(TNotifyUI& msg) = 0;

 protected:
  ~INotifyUI() = default;
};

// Sees a window's messages before anything else does.
class IMessageFilterUI {
 public:
  virtual LRESULT MessageHandler(unsigned msg, WPARAM wparam, LPARAM lparam, bool& handled) = 0;

 protected:
  ~IMessageFilterUI() = default;
};

// Window-wide values of a skin's `Window` element.
struct TWindowAttributes {
  Size size;
  Rect sizebox;
  Rect caption;
  Size roundcorner;
  Size mininfo;
  Size maxinfo;
  bool layered = false;
  std::string layered_image;
  std::uint32_t default_font_color = 0xFF000000;
  std::uint32_t disabled_font_color = 0xFFA7A6AA;
  std::map<std::string, std::string> custom;
};

class CPaintManagerUI {
 public:
  CPaintManagerUI();
  ~CPaintManagerUI();
  CPaintManagerUI(const CPaintManagerUI&) = delete;
  CPaintManagerUI& operator=(const CPaintManagerUI&) = delete;

  // --- the program's skin package and paths ---
  // The package every static function below acts on (borrowed; null: none,
  // then the getters answer "" and files do not load). The program sets its
  // own in main; a package stops being used when it is destroyed.
  static void SetSkinPackage(SkinPackage* package);
  static SkinPackage* GetSkinPackage() { return package_; }
  static void SetInstance(const std::string& executable_path);
  // The running program's own executable (/proc/self/exe).
  static void SetInstance();
  static std::string GetInstancePath();
  static void SetResourcePath(const std::string& folder);
  static std::string GetResourcePath();
  // Sets the package from memory; keeps the first one ("membuffer") for good.
  static void SetResourceZip(const unsigned char* data, std::size_t size);
  // Sets the package from a zip file, read into memory held for the process.
  static bool SetResourceZip(const std::string& zip_path);
  static std::string GetResourceZip();
  // A skin or image file by name: from the package when one is set, else
  // from the resource folder; false with the reason in *error.
  static bool LoadFile(const std::string& name, std::string* data, std::string* error);

  // --- the window ---
  void Init(platform::NativeWindow* window);
  platform::NativeWindow* GetPaintWindow() const { return window_; }
  bool AttachDialog(CControlUI* root);  // takes ownership
  CControlUI* GetRoot() const { return root_.get(); }
  std::unique_ptr<CControlUI> DetachRoot();
  TWindowAttributes& Attributes() { return attrs_; }
  void SetWindowAttribute(const std::string& name, const std::string& value);
  Size GetClientSize() const;

  // --- drawing ---
  void Invalidate(const Rect& r);
  void NeedUpdate() { update_needed_ = true; }
  void Paint(platform::Painter& painter, const Rect& dirty);
  const platform::Image* GetImage(const TImageInfo& info);
  void AddFont(int id, const std::string& face, int size, bool bold, bool underline, bool italic);
  const platform::Font* GetFont(int id);
  std::uint32_t GetDefaultFontColor() const { return attrs_.default_font_color; }
  std::uint32_t GetDefaultDisabledColor() const { return attrs_.disabled_font_color; }
  void SetCursor(platform::CursorKind kind);

  // --- controls ---
  CControlUI* FindControl(const std::string& name) const;
  CControlUI* FindControl(Point pt);  // topmost visible, mouse-enabled control
  void NameControl(CControlUI* control);
  void ReapObjects(CControlUI* control);  // a control is going away
  CControlUI* GetFocus() const { return focus_; }
  void SetFocus(CControlUI* control);
  void SetCapture(CControlUI* control) { capture_ = control; }
  void ReleaseCapture() { capture_ = nullptr; }
  Point GetMousePos() const { return mouse_; }

  // --- timers ---
  bool SetTimer(CControlUI* control, unsigned id, unsigned elapse_ms);
  bool KillTimer(CControlUI* control, unsigned id);
  void KillTimer(CControlUI* control);
  void RemoveAllTimers();
  std::size_t TimerRecordCount() const { return timers_.size(); }
  unsigned SystemTimerId(CControlUI* control, unsigned id) const;  // 0xFFFFFFFF when none

  // --- notifications ---
  bool AddNotifier(INotifyUI* notifier);
  bool RemoveNotifier(INotifyUI* notifier);
  void SendNotify(CControlUI* control, const std::string& type, WPARAM wparam = 0,
                  LPARAM lparam = 0, bool async = false, bool allow_repeat = true);
  bool AddPreMessageFilter(IMessageFilterUI* filter);
  bool RemovePreMessageFilter(IMessageFilterUI* filter);
  bool PreMessageHandler(unsigned msg, WPARAM wparam, LPARAM lparam, LRESULT& result);

  // Painting, input and timers of the window; true when consumed.
  bool MessageHandler(unsigned msg, WPARAM wparam, LPARAM lparam, LRESULT& result);
  // Runs the thread's windows until the quit message.
  static int MessageLoop();

 private:
  struct TimerInfo {
    CControlUI* control;
    unsigned local_id;
    platform::NativeWindow* window;
    unsigned system_id;
    bool killed;
  };
  void EnsureLayout();
  void OnMouseMove(Point pt);
  void OnButton(unsigned msg, Point pt);
  void OnTimer(unsigned system_id);
  void DispatchAsyncNotify();
  void NotifyAll(TNotifyUI& msg);
  void Event(CControlUI* control, int type, Point pt, WPARAM wparam = 0, LPARAM lparam = 0);
  bool NextSystemTimerId(unsigned* id);

  static SkinPackage* package_;  // borrowed from the program; see SetSkinPackage

  platform::NativeWindow* window_ = nullptr;
  std::unique_ptr<CControlUI> root_;
  TWindowAttributes attrs_;
  bool update_needed_ = true;
  bool first_paint_ = true;
  std::map<std::string, CControlUI*> names_;
  std::map<std::string, std::unique_ptr<platform::Image>> images_;  // null: could not load
  std::map<int, std::unique_ptr<platform::Font>> fonts_;
  std::unique_ptr<platform::Font> default_font_;
  CControlUI* hover_ = nullptr;
  CControlUI* capture_ = nullptr;
  CControlUI* focus_ = nullptr;
  Point mouse_;
  std::vector<TimerInfo> timers_;
  unsigned last_timer_id_ = 0;
  std::vector<INotifyUI*> notifiers_;
  std::vector<IMessageFilterUI*> pre_filters_;
  std::vector<TNotifyUI> async_notify_;
};

}  // namespace SkinUI
