#include "platform/headless_window.h"

namespace platform {

HeadlessWindow::HeadlessWindow(const NativeWindowParams& params, NativeWindowSink* sink)
    : sink_(sink), rect_(params.rect), title_(params.title) {
  if (rect_.Width() <= 0) rect_.right = rect_.left + 100;
  if (rect_.Height() <= 0) rect_.bottom = rect_.top + 100;
  id_ = RegisterWindow(this, &HeadlessWindow::Enqueue, title_);
}

HeadlessWindow::~HeadlessWindow() {
  UnregisterWindow(id_);
}

void HeadlessWindow::Enqueue(NativeWindow* w, WindowId, unsigned msg, WPARAM wparam,
                             LPARAM lparam) {
  auto* self = static_cast<HeadlessWindow*>(w);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->posted_.push_back(Posted{msg, wparam, lparam});
}

void HeadlessWindow::SetTitle(const std::string& title) {
  title_ = title;
  SetRegisteredTitle(id_, title);
}

bool HeadlessWindow::SetTimer(unsigned id, unsigned ms) {
  if (destroyed_) return false;
  timers_[id] = ms;
  return true;
}

bool HeadlessWindow::KillTimer(unsigned id) {
  return timers_.erase(id) > 0;
}

void HeadlessWindow::Move(int x, int y) {
  rect_ = Rect{x, y, x + rect_.Width(), y + rect_.Height()};
}

void HeadlessWindow::Resize(int width, int height) {
  if (width == rect_.Width() && height == rect_.Height()) return;
  rect_.right = rect_.left + width;
  rect_.bottom = rect_.top + height;
  sink_->OnNativeMessage(WM_SIZE, 0, MakeLParam(width, height));
}

void HeadlessWindow::Show(int cmd) {
  visible_ = cmd != SW_HIDE;
  minimized_ = cmd == SW_MINIMIZE || cmd == SW_SHOWMINIMIZED;
  maximized_ = cmd == SW_SHOWMAXIMIZED;
}

void HeadlessWindow::Destroy() {
  UnregisterWindow(id_);  // no post reaches a destroyed window
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (destroyed_) return;
    destroyed_ = true;
    posted_.clear();
  }
  timers_.clear();
  NativeWindowSink* sink = sink_;
  sink->OnNativeMessage(WM_DESTROY, 0, 0);
  // The sink may delete this object while handling the last message.
  sink->OnNativeMessage(WM_NCDESTROY, 0, 0);
}

int HeadlessWindow::DeliverPosted() {
  int n = 0;
  while (DeliverOnePosted()) ++n;
  return n;
}

bool HeadlessWindow::DeliverOnePosted() {
  Posted p;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (posted_.empty()) return false;
    p = posted_.front();
    posted_.pop_front();
  }
  sink_->OnNativeMessage(p.msg, p.wparam, p.lparam);
  return true;
}

bool HeadlessWindow::FireTimer(unsigned id) {
  if (!timers_.count(id)) return false;
  sink_->OnNativeMessage(WM_TIMER, id, 0);
  return true;
}

Rect HeadlessWindow::PaintDirty(Painter& painter, bool everything) {
  Rect r = everything ? Rect{0, 0, rect_.Width(), rect_.Height()} : dirty_;
  dirty_ = Rect{};
  if (!r.IsEmpty()) sink_->OnNativePaint(painter, r);
  return r;
}

std::unique_ptr<NativeWindow> CreateHeadlessWindow(const NativeWindowParams& params,
                                                   NativeWindowSink* sink) {
  return std::make_unique<HeadlessWindow>(params, sink);
}

}  // namespace platform
