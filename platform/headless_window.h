// A window without a display: it keeps its size, timers and posted messages
// in memory and paints only when asked. Used to render skins to pictures on
// machines without a screen, and by tests that drive the toolkit message by
// message. Single-threaded except Post, which may come from any thread.
#pragma once

#include <deque>
#include <map>
#include <mutex>

#include "platform/window.h"

namespace platform {

class HeadlessWindow : public NativeWindow {
 public:
  HeadlessWindow(const NativeWindowParams& params, NativeWindowSink* sink);
  ~HeadlessWindow() override;

  WindowId Id() const override { return id_; }
  bool SetTimer(unsigned id, unsigned ms) override;
  bool KillTimer(unsigned id) override;
  void Invalidate(const Rect& r) override { dirty_ = Union(dirty_, r); }
  Size GetClientSize() const override { return Size{rect_.Width(), rect_.Height()}; }
  Rect GetWindowRect() const override { return rect_; }
  Rect GetWorkArea() const override { return Rect{0, 0, 1600, 1200}; }
  void Move(int x, int y) override;
  void Resize(int width, int height) override;
  void Show(int cmd) override;
  bool IsVisible() const override { return visible_; }
  bool IsMinimized() const override { return minimized_; }
  bool IsMaximized() const override { return maximized_; }
  void SetTitle(const std::string& title) override;
  void SetTopmost(bool on) override { topmost_ = on; }
  void SetEnabled(bool on) override { enabled_ = on; }
  void Focus() override {}
  void SetCursor(CursorKind kind) override { cursor_ = kind; }
  void SetIconPng(const unsigned char*, std::size_t) override { has_icon_ = true; }
  Point ScreenToClient(Point p) const override { return Point{p.x - rect_.left, p.y - rect_.top}; }
  void Destroy() override;
  void* NativeContainer() override { return nullptr; }

  // Delivers the queued posted messages; returns how many.
  int DeliverPosted();
  // Delivers the oldest posted message only; false when none was queued.
  bool DeliverOnePosted();
  // Fires timer `id` once as the system would; false when it is not running.
  bool FireTimer(unsigned id);
  // Paints the invalid part (or all of it) into `painter` and clears it.
  Rect PaintDirty(Painter& painter, bool everything);

  const std::map<unsigned, unsigned>& Timers() const { return timers_; }  // id -> ms
  const Rect& Dirty() const { return dirty_; }
  void ClearDirty() { dirty_ = Rect{}; }
  const std::string& Title() const { return title_; }
  bool Topmost() const { return topmost_; }
  bool Enabled() const { return enabled_; }
  CursorKind Cursor() const { return cursor_; }
  bool Destroyed() const { return destroyed_; }

 private:
  struct Posted {
    unsigned msg;
    WPARAM wparam;
    LPARAM lparam;
  };
  static void Enqueue(NativeWindow* w, WindowId, unsigned msg, WPARAM wparam, LPARAM lparam);

  NativeWindowSink* sink_;
  WindowId id_ = 0;
  Rect rect_;
  Rect dirty_;
  std::string title_;
  std::map<unsigned, unsigned> timers_;
  std::mutex mutex_;  // guards posted_ and destroyed_ against posting threads
  std::deque<Posted> posted_;
  bool destroyed_ = false;
  bool visible_ = false;
  bool minimized_ = false;
  bool maximized_ = false;
  bool topmost_ = false;
  bool enabled_ = true;
  bool has_icon_ = false;
  CursorKind cursor_ = CursorKind::kArrow;
};

std::unique_ptr<NativeWindow> CreateHeadlessWindow(const NativeWindowParams& params,
                                                   NativeWindowSink* sink);

}  // namespace platform
