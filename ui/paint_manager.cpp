#include "ui/paint_manager.h"

#include <algorithm>

#include "ui/control.h"
#include "ui/skin_package.h"

namespace SkinUI {
namespace {

// Registration lists hold each listener once.
template <typename T>
bool AddOnce(std::vector<T*>& list, T* item) {
  if (std::find(list.begin(), list.end(), item) != list.end()) return false;
  list.push_back(item);
  return true;
}

template <typename T>
bool RemoveOnce(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

}  // namespace

CPaintManagerUI::CPaintManagerUI()
    : default_font_(platform::Font::Create("", 12, false, false, false)) {
  timers_.reserve(11);
}

CPaintManagerUI::~CPaintManagerUI() {
  RemoveAllTimers();
  // Controls reap themselves from this manager as they go.
  root_.reset();
}

SkinPackage* CPaintManagerUI::package_ = nullptr;

void CPaintManagerUI::SetSkinPackage(SkinPackage* package) {
  package_ = package;
}

void CPaintManagerUI::SetInstance(const std::string& executable_path) {
  if (package_) package_->SetInstance(executable_path);
}

void CPaintManagerUI::SetInstance() {
  if (package_) package_->SetInstance();
}

std::string CPaintManagerUI::GetInstancePath() {
  return package_ ? package_->InstancePath() : std::string();
}

void CPaintManagerUI::SetResourcePath(const std::string& folder) {
  if (package_) package_->SetResourcePath(folder);
}

std::string CPaintManagerUI::GetResourcePath() {
  return package_ ? package_->ResourcePath() : std::string();
}

std::string CPaintManagerUI::GetResourceZip() {
  return package_ ? package_->ZipName() : std::string();
}

void CPaintManagerUI::SetResourceZip(const unsigned char* data, std::size_t size) {
  if (package_) package_->SetZip(data, size);
}

bool CPaintManagerUI::SetResourceZip(const std::string& zip_path) {
  return package_ && package_->SetZip(zip_path);
}

bool CPaintManagerUI::LoadFile(const std::string& name, std::string* data, std::string* error) {
  if (package_) return package_->LoadFile(name, data, error);
  if (error) *error = "No skin package in use";
  return false;
}

void CPaintManagerUI::Init(platform::NativeWindow* window) {
  window_ = window;
}

bool CPaintManagerUI::AttachDialog(CControlUI* root) {
  if (!root) return false;
  hover_ = capture_ = focus_ = nullptr;
  root_.reset(root);
  root_->SetManager(this, nullptr, true);
  update_needed_ = true;
  // Laid out at once, so that the program can ask controls for their place
  // before the first paint.
  EnsureLayout();
  Invalidate(Rect{0, 0, GetClientSize().cx, GetClientSize().cy});
  return true;
}

std::unique_ptr<CControlUI> CPaintManagerUI::DetachRoot() {
  hover_ = capture_ = focus_ = nullptr;
  names_.clear();
  return std::move(root_);
}

void CPaintManagerUI::SetWindowAttribute(const std::string& name, const std::string& value) {
  auto is = [&name](const char* n) { return EqualNoCase(name, n); };
  TWindowAttributes& a = attrs_;
  if (is("size")) {
    a.size = ParseSize(value);
    if (window_ && !root_) window_->Resize(a.size.cx, a.size.cy);
  } else if (is("sizebox")) {
    a.sizebox = ParseRect(value);
  } else if (is("caption")) {
    a.caption = ParseRect(value);
  } else if (is("roundcorner")) {
    a.roundcorner = ParseSize(value);
  } else if (is("mininfo")) {
    a.mininfo = ParseSize(value);
  } else if (is("maxinfo")) {
    a.maxinfo = ParseSize(value);
  } else if (is("layeredimage")) {
    a.layered = true;
    a.layered_image = value;
  } else if (is("defaultfontcolor")) {
    ParseColor(value, &a.default_font_color);
  } else if (is("disabledfontcolor")) {
    ParseColor(value, &a.disabled_font_color);
  } else if (is("showdirty") || is("noactivate") || is("opacity") || is("layeredopacity") ||
             is("linkfontcolor") || is("linkhoverfontcolor") || is("selectedcolor")) {
    // Known, without effect on these windows.
  } else {
    a.custom[name] = value;
  }
}

Size CPaintManagerUI::GetClientSize() const {
  if (window_) return window_->GetClientSize();
  return attrs_.size;
}

void CPaintManagerUI::Invalidate(const Rect& r) {
  if (window_ && !r.IsEmpty()) window_->Invalidate(r);
}

void CPaintManagerUI::EnsureLayout() {
  if (!update_needed_ || !root_) return;
  update_needed_ = false;
  const Size s = GetClientSize();
  root_->SetPos(Rect{0, 0, s.cx, s.cy}, true);
}

void CPaintManagerUI::Paint(platform::Painter& painter, const Rect& dirty) {
  EnsureLayout();
  if (root_ && root_->IsVisible()) root_->DoPaint(painter, dirty);
  if (first_paint_ && root_) {
    first_paint_ = false;
    SendNotify(root_.get(), "windowinit", 0, 0, false);
  }
  DispatchAsyncNotify();
}

const platform::Image* CPaintManagerUI::GetImage(const TImageInfo& info) {
  if (info.file.empty()) return nullptr;
  // A masked picture differs from the plain one, so it is kept apart.
  std::string key = info.file;
  if (info.has_mask) key += "|mask=" + std::to_string(info.mask & 0xFFFFFF);
  auto it = images_.find(key);
  if (it != images_.end()) return it->second.get();
  std::string bytes, error;
  std::unique_ptr<platform::Image> img;
  if (LoadFile(info.file, &bytes, &error))
    img = platform::Image::DecodePng(bytes.data(), bytes.size(), &error);
  if (img && info.has_mask) img->MakeColorTransparent(info.mask);
  // A missing picture is remembered too, so that it is not looked for again.
  return (images_[key] = std::move(img)).get();
}

void CPaintManagerUI::AddFont(int id, const std::string& face, int size, bool bold, bool underline,
                              bool italic) {
  fonts_[id] = platform::Font::Create(face, size, bold, underline, italic);
}

const platform::Font* CPaintManagerUI::GetFont(int id) {
  auto it = fonts_.find(id);
  return it == fonts_.end() ? default_font_.get() : it->second.get();
}

void CPaintManagerUI::SetCursor(platform::CursorKind kind) {
  if (window_) window_->SetCursor(kind);
}

CControlUI* CPaintManagerUI::FindControl(const std::string& name) const {
  auto it = names_.find(name);
  return it == names_.end() ? nullptr : it->second;
}

CControlUI* CPaintManagerUI::FindControl(Point pt) {
  EnsureLayout();
  if (!root_) return nullptr;
  return root_->FindControl([pt](CControlUI* c) {
    return c->IsVisible() && c->IsMouseEnabled() && c->GetPos().Contains(pt);
  });
}

void CPaintManagerUI::NameControl(CControlUI* control) {
  const std::string name = control->GetName();
  if (!name.empty() && !names_.count(name)) names_[name] = control;
}

void CPaintManagerUI::ReapObjects(CControlUI* control) {
  if (hover_ == control) hover_ = nullptr;
  if (capture_ == control) capture_ = nullptr;
  if (focus_ == control) focus_ = nullptr;
  KillTimer(control);
  timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                               [control](const TimerInfo& t) { return t.control == control; }),
                timers_.end());
  for (auto it = names_.begin(); it != names_.end();) {
    it = it->second == control ? names_.erase(it) : std::next(it);
  }
  for (TNotifyUI& n : async_notify_) {
    if (n.sender == control) n.sender = nullptr;
  }
}

void CPaintManagerUI::SetFocus(CControlUI* control) {
  if (focus_ == control) return;
  if (focus_) Event(focus_, UIEVENT_KILLFOCUS, mouse_);
  focus_ = control;
  if (focus_) Event(focus_, UIEVENT_SETFOCUS, mouse_);
}

bool CPaintManagerUI::NextSystemTimerId(unsigned* id) {
  // Ids cycle through 0..254. An id still held by a record is skipped, so two
  // timers never share one system timer.
  for (int tries = 0; tries < 255; ++tries) {
    last_timer_id_ = (last_timer_id_ + 1) % 255;
    const bool used = std::any_of(timers_.begin(), timers_.end(), [this](const TimerInfo& t) {
      return t.system_id == last_timer_id_;
    });
    if (!used) {
      *id = last_timer_id_;
      return true;
    }
  }
  return false;
}

bool CPaintManagerUI::SetTimer(CControlUI* control, unsigned id, unsigned elapse_ms) {
  for (TimerInfo& t : timers_) {
    if (t.control == control && t.window == window_ && t.local_id == id) {
      if (!t.killed) return false;
      if (!window_ || !window_->SetTimer(t.system_id, elapse_ms)) return false;
      t.killed = false;
      return true;
    }
  }
  unsigned system_id = 0;
  if (!window_ || !NextSystemTimerId(&system_id)) return false;
  if (!window_->SetTimer(system_id, elapse_ms)) return false;
  timers_.push_back(TimerInfo{control, id, window_, system_id, false});
  return true;
}

bool CPaintManagerUI::KillTimer(CControlUI* control, unsigned id) {
  for (TimerInfo& t : timers_) {
    if (t.control == control && t.window == window_ && t.local_id == id && !t.killed) {
      if (window_) window_->KillTimer(t.system_id);
      t.killed = true;
      return true;
    }
  }
  return false;
}

void CPaintManagerUI::KillTimer(CControlUI* control) {
  for (TimerInfo& t : timers_) {
    if (t.control == control && !t.killed) {
      if (window_) window_->KillTimer(t.system_id);
      t.killed = true;
    }
  }
}

void CPaintManagerUI::RemoveAllTimers() {
  for (TimerInfo& t : timers_) {
    if (!t.killed && window_) window_->KillTimer(t.system_id);
  }
  timers_.clear();
}

unsigned CPaintManagerUI::SystemTimerId(CControlUI* control, unsigned id) const {
  for (const TimerInfo& t : timers_) {
    if (t.control == control && t.local_id == id) return t.system_id;
  }
  return 0xFFFFFFFF;
}

bool CPaintManagerUI::AddNotifier(INotifyUI* notifier) {
  return AddOnce(notifiers_, notifier);
}

bool CPaintManagerUI::RemoveNotifier(INotifyUI* notifier) {
  return RemoveOnce(notifiers_, notifier);
}

bool CPaintManagerUI::AddPreMessageFilter(IMessageFilterUI* filter) {
  return AddOnce(pre_filters_, filter);
}

bool CPaintManagerUI::RemovePreMessageFilter(IMessageFilterUI* filter) {
  return RemoveOnce(pre_filters_, filter);
}

void CPaintManagerUI::SendNotify(CControlUI* control, const std::string& type, WPARAM wparam,
                                 LPARAM lparam, bool async, bool allow_repeat) {
  TNotifyUI msg;
  msg.type = type;
  msg.sender = control;
  msg.timestamp = platform::TickCount();
  msg.mousePoint = mouse_;
  msg.wParam = wparam;
  msg.lParam = lparam;
  if (async) {
    if (!allow_repeat) {
      for (TNotifyUI& queued : async_notify_) {
        if (queued.sender == control && queued.type == type) {
          queued = msg;
          return;
        }
      }
    }
    async_notify_.push_back(msg);
    return;
  }
  NotifyAll(msg);
}

void CPaintManagerUI::NotifyAll(TNotifyUI& msg) {
  // A notifier may remove itself while being told.
  std::vector<INotifyUI*> notifiers = notifiers_;
  for (INotifyUI* n : notifiers) n->Notify(msg);
}

void CPaintManagerUI::DispatchAsyncNotify() {
  while (!async_notify_.empty()) {
    TNotifyUI msg = async_notify_.front();
    async_notify_.erase(async_notify_.begin());
    if (!msg.sender) continue;  // its control went away meanwhile
    NotifyAll(msg);
  }
}

bool CPaintManagerUI::PreMessageHandler(unsigned msg, WPARAM wparam, LPARAM lparam,
                                        LRESULT& result) {
  std::vector<IMessageFilterUI*> filters = pre_filters_;
  for (IMessageFilterUI* f : filters) {
    bool handled = false;
    const LRESULT r = f->MessageHandler(msg, wparam, lparam, handled);
    if (handled) {
      result = r;
      return true;
    }
  }
  return false;
}

void CPaintManagerUI::Event(CControlUI* control, int type, Point pt, WPARAM wparam, LPARAM lparam) {
  TEventUI e;
  e.Type = type;
  e.pSender = control;
  e.dwTimestamp = platform::TickCount();
  e.ptMouse = pt;
  e.chKey = wparam;
  e.wParam = wparam;
  e.lParam = lparam;
  control->Event(e);
}

void CPaintManagerUI::OnMouseMove(Point pt) {
  mouse_ = pt;
  CControlUI* now = FindControl(pt);
  if (now != hover_) {
    CControlUI* old = hover_;
    hover_ = now;
    if (old) Event(old, UIEVENT_MOUSELEAVE, pt);
    if (now) Event(now, UIEVENT_MOUSEENTER, pt);
  }
  if (capture_) {
    Event(capture_, UIEVENT_MOUSEMOVE, pt);
  } else if (now) {
    Event(now, UIEVENT_MOUSEMOVE, pt);
  }
}

void CPaintManagerUI::OnButton(unsigned msg, Point pt) {
  mouse_ = pt;
  if (msg == platform::WM_LBUTTONUP) {
    CControlUI* target = capture_;
    capture_ = nullptr;
    if (target) Event(target, UIEVENT_BUTTONUP, pt);
    return;
  }
  CControlUI* c = FindControl(pt);
  if (!c) return;
  SetFocus(c);
  capture_ = c;
  Event(c, msg == platform::WM_LBUTTONDBLCLK ? UIEVENT_DBLCLICK : UIEVENT_BUTTONDOWN, pt);
}

void CPaintManagerUI::OnTimer(unsigned system_id) {
  for (const TimerInfo& t : timers_) {
    if (t.window == window_ && t.system_id == system_id && !t.killed) {
      Event(t.control, UIEVENT_TIMER, mouse_, t.local_id);
      return;
    }
  }
}

bool CPaintManagerUI::MessageHandler(unsigned msg, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  using namespace platform;
  result = 0;
  const Point pt{LParamX(lparam), LParamY(lparam)};
  bool handled = true;
  switch (msg) {
    case WM_SIZE:
      update_needed_ = true;
      Invalidate(Rect{0, 0, GetClientSize().cx, GetClientSize().cy});
      handled = false;
      break;
    case WM_TIMER:
      OnTimer(static_cast<unsigned>(wparam));
      break;
    case WM_MOUSEMOVE:
      OnMouseMove(pt);
      break;
    case WM_MOUSELEAVE:
      if (hover_) Event(hover_, UIEVENT_MOUSELEAVE, mouse_);
      hover_ = nullptr;
      break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_LBUTTONUP:
      OnButton(msg, pt);
      break;
    case WM_KEYDOWN:
      if (focus_) Event(focus_, UIEVENT_KEYDOWN, mouse_, wparam, lparam);
      handled = focus_ != nullptr;
      break;
    case WM_MOUSEWHEEL: {
      const Point client = window_ ? window_->ScreenToClient(pt) : pt;
      if (CControlUI* c = FindControl(client))
        Event(c, UIEVENT_SCROLLWHEEL, client, wparam, lparam);
      break;
    }
    default:
      handled = false;
      break;
  }
  DispatchAsyncNotify();
  return handled;
}

int CPaintManagerUI::MessageLoop() {
  return platform::RunMessageLoop();
}

}  // namespace SkinUI
