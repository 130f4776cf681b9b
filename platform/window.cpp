#include "platform/window.h"

#include "platform/display_connect.h"

#include <gtk/gtk.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>

namespace platform {

class GtkNativeWindow;

namespace {

std::atomic<bool> g_quit{false};
std::atomic<int> g_quit_code{0};

struct PostedMessage {
  WindowId id;
  unsigned msg;
  WPARAM wparam;
  LPARAM lparam;
};

WPARAM VirtualKey(guint keyval) {
  switch (keyval) {
    case GDK_KEY_Escape:
      return VK_ESCAPE;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
      return VK_RETURN;
    case GDK_KEY_space:
      return VK_SPACE;
    default:
      break;
  }
  guint upper = gdk_keyval_to_upper(keyval);
  return upper < 0x80 ? upper : (keyval & 0xFFFF);
}

GdkWindowEdge EdgeOf(int hit) {
  switch (hit) {
    case HTLEFT:
      return GDK_WINDOW_EDGE_WEST;
    case HTRIGHT:
      return GDK_WINDOW_EDGE_EAST;
    case HTTOP:
      return GDK_WINDOW_EDGE_NORTH;
    case HTTOPLEFT:
      return GDK_WINDOW_EDGE_NORTH_WEST;
    case HTTOPRIGHT:
      return GDK_WINDOW_EDGE_NORTH_EAST;
    case HTBOTTOM:
      return GDK_WINDOW_EDGE_SOUTH;
    case HTBOTTOMLEFT:
      return GDK_WINDOW_EDGE_SOUTH_WEST;
    default:
      return GDK_WINDOW_EDGE_SOUTH_EAST;
  }
}

}  // namespace

// A GTK toplevel holding a drawing area (the skin) in a GtkFixed, above which
// embedded views are placed. Lives on the GTK main thread; other threads
// reach it only by posting through the window table.
class GtkNativeWindow : public NativeWindow {
 public:
  GtkNativeWindow(const NativeWindowParams& params, NativeWindowSink* sink);
  ~GtkNativeWindow() override;

  WindowId Id() const override { return id_; }
  bool SetTimer(unsigned id, unsigned ms) override;
  bool KillTimer(unsigned id) override;
  void Invalidate(const Rect& r) override;
  Size GetClientSize() const override { return size_; }
  Rect GetWindowRect() const override;
  Rect GetWorkArea() const override;
  void Move(int x, int y) override { gtk_window_move(GTK_WINDOW(window_), x, y); }
  void Resize(int width, int height) override;
  void Show(int cmd) override;
  bool IsVisible() const override { return window_ && gtk_widget_get_visible(window_); }
  bool IsMinimized() const override { return state_ & GDK_WINDOW_STATE_ICONIFIED; }
  bool IsMaximized() const override { return state_ & GDK_WINDOW_STATE_MAXIMIZED; }
  void SetTitle(const std::string& t) override {
    SetRegisteredTitle(id_, t);
    gtk_window_set_title(GTK_WINDOW(window_), t.c_str());
  }
  void SetTopmost(bool on) override { gtk_window_set_keep_above(GTK_WINDOW(window_), on); }
  void SetEnabled(bool on) override;
  void Focus() override;
  void SetCursor(CursorKind kind) override;
  void SetIconPng(const unsigned char* data, std::size_t size) override;
  Point ScreenToClient(Point p) const override;
  void Destroy() override;
  void* NativeContainer() override { return fixed_; }

  void DeliverPosted(const PostedMessage& m) { sink_->OnNativeMessage(m.msg, m.wparam, m.lparam); }
  static void Enqueue(NativeWindow*, WindowId id, unsigned msg, WPARAM wparam, LPARAM lparam);

 private:
  struct Timer {
    GtkNativeWindow* owner;
    unsigned id;
  };
  static gboolean OnTimer(gpointer data);
  static gboolean OnDraw(GtkWidget*, cairo_t* cr, gpointer self);
  static gboolean OnButton(GtkWidget*, GdkEventButton* e, gpointer self);
  static gboolean OnMotion(GtkWidget*, GdkEventMotion* e, gpointer self);
  static gboolean OnLeave(GtkWidget*, GdkEventCrossing*, gpointer self);
  static gboolean OnScroll(GtkWidget*, GdkEventScroll* e, gpointer self);
  static gboolean OnKey(GtkWidget*, GdkEventKey* e, gpointer self);
  static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean OnConfigure(GtkWidget*, GdkEventConfigure* e, gpointer self);
  static gboolean OnState(GtkWidget*, GdkEventWindowState* e, gpointer self);
  static gboolean OnFocus(GtkWidget*, GdkEventFocus* e, gpointer self);
  void Connect();
  void RemoveTimers();
  bool PressInFrame(GdkEventButton* e);

  NativeWindowSink* sink_;
  GtkWidget* window_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  GtkWidget* area_ = nullptr;
  Size size_;
  std::map<unsigned, guint> timers_;  // timer id -> GLib source id
  WindowId id_;
  guint state_ = 0;
  bool enabled_ = true;
};

GtkNativeWindow::GtkNativeWindow(const NativeWindowParams& p, NativeWindowSink* sink)
    : sink_(sink), id_(RegisterWindow(this, &GtkNativeWindow::Enqueue, p.title)) {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
  gtk_widget_set_app_paintable(window_, TRUE);
  gtk_window_set_title(GTK_WINDOW(window_), p.title.c_str());
  GdkScreen* screen = gtk_widget_get_screen(window_);
  GdkVisual* rgba = gdk_screen_get_rgba_visual(screen);
  // Per-pixel alpha only shows through a compositor; without one an ARGB
  // window would show garbage where the skin is transparent.
  if (p.layered && rgba && gdk_screen_is_composited(screen)) gtk_widget_set_visual(window_, rgba);
  if (p.owner) {
    gtk_window_set_transient_for(
        GTK_WINDOW(window_),
        GTK_WINDOW(gtk_widget_get_toplevel(static_cast<GtkWidget*>(p.owner->NativeContainer()))));
  }
  fixed_ = gtk_fixed_new();
  area_ = gtk_drawing_area_new();
  gtk_widget_set_can_focus(area_, TRUE);
  gtk_widget_add_events(area_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                   GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK |
                                   GDK_SCROLL_MASK | GDK_KEY_PRESS_MASK);
  gtk_fixed_put(GTK_FIXED(fixed_), area_, 0, 0);
  gtk_container_add(GTK_CONTAINER(window_), fixed_);
  int w = p.rect.Width() > 0 ? p.rect.Width() : 100;
  int h = p.rect.Height() > 0 ? p.rect.Height() : 100;
  Resize(w, h);
  gtk_window_move(GTK_WINDOW(window_), p.rect.left, p.rect.top);
  gtk_widget_show(fixed_);
  gtk_widget_show(area_);
  Connect();
}

GtkNativeWindow::~GtkNativeWindow() {
  UnregisterWindow(id_);
  RemoveTimers();
  if (window_) {
    g_signal_handlers_disconnect_by_data(window_, this);
    g_signal_handlers_disconnect_by_data(area_, this);
    gtk_widget_destroy(window_);
  }
}

void GtkNativeWindow::Connect() {
  g_signal_connect(area_, "draw", G_CALLBACK(OnDraw), this);
  g_signal_connect(area_, "button-press-event", G_CALLBACK(OnButton), this);
  g_signal_connect(area_, "button-release-event", G_CALLBACK(OnButton), this);
  g_signal_connect(area_, "motion-notify-event", G_CALLBACK(OnMotion), this);
  g_signal_connect(area_, "leave-notify-event", G_CALLBACK(OnLeave), this);
  g_signal_connect(area_, "scroll-event", G_CALLBACK(OnScroll), this);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(OnKey), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(OnDelete), this);
  g_signal_connect(window_, "configure-event", G_CALLBACK(OnConfigure), this);
  g_signal_connect(window_, "window-state-event", G_CALLBACK(OnState), this);
  g_signal_connect(window_, "focus-in-event", G_CALLBACK(OnFocus), this);
  g_signal_connect(window_, "focus-out-event", G_CALLBACK(OnFocus), this);
}

// Runs with the window table's lock held: only queues. Delivery looks the
// window up again, so a message for a window destroyed meanwhile is dropped.
void GtkNativeWindow::Enqueue(NativeWindow*, WindowId id, unsigned msg, WPARAM wparam,
                              LPARAM lparam) {
  auto* m = new PostedMessage{id, msg, wparam, lparam};
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        auto* posted = static_cast<PostedMessage*>(data);
        if (NativeWindow* w = FindLiveWindow(posted->id))
          static_cast<GtkNativeWindow*>(w)->DeliverPosted(*posted);
        return G_SOURCE_REMOVE;
      },
      m, [](gpointer data) { delete static_cast<PostedMessage*>(data); });
}

void GtkNativeWindow::SetEnabled(bool on) {
  enabled_ = on;
  // Insensitive, the container keeps every embedded view (the web page)
  // from taking clicks and keys as well.
  if (fixed_) gtk_widget_set_sensitive(fixed_, on);
}

gboolean GtkNativeWindow::OnTimer(gpointer data) {
  auto* t = static_cast<Timer*>(data);
  t->owner->sink_->OnNativeMessage(WM_TIMER, t->id, 0);
  return G_SOURCE_CONTINUE;
}

bool GtkNativeWindow::SetTimer(unsigned id, unsigned ms) {
  KillTimer(id);
  auto* t = new Timer{this, id};
  timers_[id] = g_timeout_add_full(G_PRIORITY_DEFAULT, ms, OnTimer, t,
                                   [](gpointer d) { delete static_cast<Timer*>(d); });
  return true;
}

bool GtkNativeWindow::KillTimer(unsigned id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  g_source_remove(it->second);
  timers_.erase(it);
  return true;
}

void GtkNativeWindow::RemoveTimers() {
  for (auto& [id, source] : timers_) g_source_remove(source);
  timers_.clear();
}

void GtkNativeWindow::Invalidate(const Rect& r) {
  if (area_ && !r.IsEmpty())
    gtk_widget_queue_draw_area(area_, r.left, r.top, r.Width(), r.Height());
}

Rect GtkNativeWindow::GetWindowRect() const {
  int x = 0, y = 0;
  gtk_window_get_position(GTK_WINDOW(window_), &x, &y);
  return Rect{x, y, x + size_.cx, y + size_.cy};
}

Rect GtkNativeWindow::GetWorkArea() const {
  GdkDisplay* display = gtk_widget_get_display(window_);
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  GdkRectangle a{0, 0, 1024, 768};
  if (monitor) gdk_monitor_get_workarea(monitor, &a);
  return Rect{a.x, a.y, a.x + a.width, a.y + a.height};
}

void GtkNativeWindow::Resize(int width, int height) {
  size_ = Size{width, height};
  gtk_widget_set_size_request(area_, width, height);
  gtk_window_resize(GTK_WINDOW(window_), width, height);
}

void GtkNativeWindow::Show(int cmd) {
  GtkWindow* w = GTK_WINDOW(window_);
  switch (cmd) {
    case SW_HIDE:
      gtk_widget_hide(window_);
      return;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
      gtk_window_iconify(w);
      return;
    case SW_SHOWMAXIMIZED:
      gtk_window_maximize(w);
      break;
    case SW_RESTORE:
      gtk_window_deiconify(w);
      gtk_window_unmaximize(w);
      break;
    default:
      break;
  }
  gtk_widget_show(window_);
}

void GtkNativeWindow::Focus() {
  gtk_window_present(GTK_WINDOW(window_));
  gtk_widget_grab_focus(area_);
}

void GtkNativeWindow::SetCursor(CursorKind kind) {
  GdkWindow* gw = gtk_widget_get_window(area_);
  if (!gw) return;
  GdkCursor* c = gdk_cursor_new_from_name(gdk_window_get_display(gw),
                                          kind == CursorKind::kHand ? "pointer" : "default");
  gdk_window_set_cursor(gw, c);
  if (c) g_object_unref(c);
}

void GtkNativeWindow::SetIconPng(const unsigned char* data, std::size_t size) {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  if (gdk_pixbuf_loader_write(loader, data, size, nullptr) &&
      gdk_pixbuf_loader_close(loader, nullptr)) {
    if (GdkPixbuf* pix = gdk_pixbuf_loader_get_pixbuf(loader))
      gtk_window_set_icon(GTK_WINDOW(window_), pix);
  }
  g_object_unref(loader);
}

Point GtkNativeWindow::ScreenToClient(Point p) const {
  GdkWindow* gw = gtk_widget_get_window(area_);
  int ox = 0, oy = 0;
  if (gw) {
    gdk_window_get_origin(gw, &ox, &oy);
  } else {
    Rect r = GetWindowRect();
    ox = r.left;
    oy = r.top;
  }
  return Point{p.x - ox, p.y - oy};
}

void GtkNativeWindow::Destroy() {
  if (!window_) return;
  UnregisterWindow(id_);
  RemoveTimers();
  g_signal_handlers_disconnect_by_data(window_, this);
  g_signal_handlers_disconnect_by_data(area_, this);
  gtk_widget_destroy(window_);
  window_ = fixed_ = area_ = nullptr;
  NativeWindowSink* sink = sink_;
  sink->OnNativeMessage(WM_DESTROY, 0, 0);
  // The sink may delete this object while handling the last message.
  sink->OnNativeMessage(WM_NCDESTROY, 0, 0);
}

gboolean GtkNativeWindow::OnDraw(GtkWidget*, cairo_t* cr, gpointer self) {
  auto* w = static_cast<GtkNativeWindow*>(self);
  GdkRectangle clip{0, 0, w->size_.cx, w->size_.cy};
  gdk_cairo_get_clip_rectangle(cr, &clip);
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cr, 0, 0, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
  Painter painter(cr);
  w->sink_->OnNativePaint(painter, Rect{clip.x, clip.y, clip.x + clip.width, clip.y + clip.height});
  return TRUE;
}

bool GtkNativeWindow::PressInFrame(GdkEventButton* e) {
  LRESULT hit = sink_->OnNativeMessage(
      WM_NCHITTEST, 0, MakeLParam(static_cast<int>(e->x_root), static_cast<int>(e->y_root)));
  if (hit == HTCLIENT || e->type != GDK_BUTTON_PRESS) return false;
  if (hit == HTCAPTION) {
    gtk_window_begin_move_drag(GTK_WINDOW(window_), e->button, e->x_root, e->y_root, e->time);
    return true;
  }
  if (hit >= HTLEFT && hit <= HTBOTTOMRIGHT) {
    gtk_window_begin_resize_drag(GTK_WINDOW(window_), EdgeOf(static_cast<int>(hit)), e->button,
                                 e->x_root, e->y_root, e->time);
    return true;
  }
  return false;
}

gboolean GtkNativeWindow::OnButton(GtkWidget*, GdkEventButton* e, gpointer self) {
  auto* w = static_cast<GtkNativeWindow*>(self);
  if (!w->enabled_ || e->button != 1) return TRUE;
  LPARAM pos = MakeLParam(static_cast<int>(e->x), static_cast<int>(e->y));
  if (e->type == GDK_BUTTON_RELEASE) {
    w->sink_->OnNativeMessage(WM_LBUTTONUP, 0, pos);
    return TRUE;
  }
  gtk_widget_grab_focus(w->area_);
  if (e->type == GDK_BUTTON_PRESS && w->PressInFrame(e)) return TRUE;
  if (e->type == GDK_BUTTON_PRESS) w->sink_->OnNativeMessage(WM_LBUTTONDOWN, 1, pos);
  if (e->type == GDK_2BUTTON_PRESS) w->sink_->OnNativeMessage(WM_LBUTTONDBLCLK, 1, pos);
  return TRUE;
}

gboolean GtkNativeWindow::OnMotion(GtkWidget*, GdkEventMotion* e, gpointer self) {
  auto* w = static_cast<GtkNativeWindow*>(self);
  if (w->enabled_) {
    w->sink_->OnNativeMessage(WM_MOUSEMOVE, 0,
                              MakeLParam(static_cast<int>(e->x), static_cast<int>(e->y)));
  }
  return TRUE;
}

gboolean GtkNativeWindow::OnLeave(GtkWidget*, GdkEventCrossing*, gpointer self) {
  static_cast<GtkNativeWindow*>(self)->sink_->OnNativeMessage(WM_MOUSELEAVE, 0, 0);
  return FALSE;
}

gboolean GtkNativeWindow::OnScroll(GtkWidget*, GdkEventScroll* e, gpointer self) {
  auto* w = static_cast<GtkNativeWindow*>(self);
  int delta = e->direction == GDK_SCROLL_UP ? 120 : e->direction == GDK_SCROLL_DOWN ? -120 : 0;
  if (w->enabled_ && delta != 0) {
    w->sink_->OnNativeMessage(WM_MOUSEWHEEL, static_cast<WPARAM>(delta & 0xFFFF) << 16,
                              MakeLParam(static_cast<int>(e->x_root), static_cast<int>(e->y_root)));
  }
  return TRUE;
}

gboolean GtkNativeWindow::OnKey(GtkWidget*, GdkEventKey* e, gpointer self) {
  auto* w = static_cast<GtkNativeWindow*>(self);
  // Keys typed into an embedded page belong to the page.
  GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(w->window_));
  if (!w->enabled_ || (focus && focus != w->area_)) return FALSE;
  w->sink_->OnNativeMessage(WM_KEYDOWN, VirtualKey(e->keyval), 0);
  gunichar ch = gdk_keyval_to_unicode(e->keyval);
  if (ch >= 0x20 && w->window_) w->sink_->OnNativeMessage(WM_CHAR, ch, 0);
  return TRUE;
}

gboolean GtkNativeWindow::OnDelete(GtkWidget*, GdkEvent*, gpointer self) {
  // The window manager's close is the system close command; the toolkit
  // decides whether the window goes.
  static_cast<GtkNativeWindow*>(self)->sink_->OnNativeMessage(WM_SYSCOMMAND, SC_CLOSE, 0);
  return TRUE;
}

gboolean GtkNativeWindow::OnConfigure(GtkWidget*, GdkEventConfigure* e, gpointer self) {
  auto* w = static_cast<GtkNativeWindow*>(self);
  if (e->width != w->size_.cx || e->height != w->size_.cy) {
    w->size_ = Size{e->width, e->height};
    gtk_widget_set_size_request(w->area_, e->width, e->height);
    w->sink_->OnNativeMessage(WM_SIZE, 0, MakeLParam(e->width, e->height));
  }
  return FALSE;
}

gboolean GtkNativeWindow::OnState(GtkWidget*, GdkEventWindowState* e, gpointer self) {
  static_cast<GtkNativeWindow*>(self)->state_ = e->new_window_state;
  return FALSE;
}

gboolean GtkNativeWindow::OnFocus(GtkWidget*, GdkEventFocus* e, gpointer self) {
  static_cast<GtkNativeWindow*>(self)->sink_->OnNativeMessage(e->in ? WM_SETFOCUS : WM_KILLFOCUS, 0,
                                                              0);
  return FALSE;
}

void PrepareProcessEnvironment() {
  // The skin is drawn with cairo alone; probing OpenGL for visuals would
  // load a software GL stack and cost a large part of the first frame.
  setenv("GDK_GL", "disable", 0);
  // The compositing path needs a GPU that virtual displays do not have.
  setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
  // The web process sandbox needs user namespaces, which root does not get
  // in the containers where the launcher may run as root.
  if (geteuid() == 0) setenv("WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS", "1", 0);
}

bool InitDisplay(std::string* error) {
  // GTK opens its display once per process; the answer stays.
  static const bool opened = ConnectWithRetry([] { return gtk_init_check(nullptr, nullptr); });
  if (!opened && error) *error = "Cannot open the display (is DISPLAY set?)";
  return opened;
}

std::unique_ptr<NativeWindow> CreateGtkWindow(const NativeWindowParams& params,
                                              NativeWindowSink* sink) {
  if (!InitDisplay(nullptr)) return nullptr;
  return std::make_unique<GtkNativeWindow>(params, sink);
}

int RunMessageLoop(bool (*keep_running)(void*), void* context) {
  while (!g_quit.load() && (!keep_running || keep_running(context))) {
    g_main_context_iteration(nullptr, TRUE);
  }
  return g_quit_code.load();
}

void PostQuitMessage(int code) {
  g_quit_code = code;
  g_quit = true;
  g_idle_add([](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr);  // wake the loop
}

bool PostMessageToTitle(const std::string& title, unsigned msg, WPARAM wparam, LPARAM lparam) {
  return PostToWindow(FindWindowIdByTitle(title), msg, wparam, lparam);
}

void SyncDisplay() {
  if (GdkDisplay* d = gdk_display_get_default()) gdk_display_sync(d);
}

void PumpPendingMessages() {
  for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
}

bool QuitRequested() {
  return g_quit.load();
}

unsigned TickCount() {
  return static_cast<unsigned>(g_get_monotonic_time() / 1000);
}

int SystemMessageBox(NativeWindow* owner, const std::string& text, const std::string& caption,
                     unsigned type) {
  if (!InitDisplay(nullptr)) return IDCANCEL;
  GtkWindow* parent =
      owner ? GTK_WINDOW(gtk_widget_get_toplevel(static_cast<GtkWidget*>(owner->NativeContainer())))
            : nullptr;
  GtkWidget* d = gtk_message_dialog_new(
      parent, GTK_DIALOG_MODAL, (type & MB_ICONERROR) ? GTK_MESSAGE_ERROR : GTK_MESSAGE_INFO,
      (type & 0xF) == MB_OKCANCEL ? GTK_BUTTONS_OK_CANCEL : GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(d), caption.c_str());
  gint response = gtk_dialog_run(GTK_DIALOG(d));
  gtk_widget_destroy(d);
  return response == GTK_RESPONSE_OK ? IDOK : IDCANCEL;
}

std::unique_ptr<Surface> CaptureClientArea(NativeWindow* window) {
  if (!window || !window->NativeContainer()) return nullptr;
  GtkWidget* fixed = static_cast<GtkWidget*>(window->NativeContainer());
  GtkWidget* top = gtk_widget_get_toplevel(fixed);
  const Size size = window->GetClientSize();
  if (!gtk_widget_get_realized(top) || size.cx <= 0 || size.cy <= 0) return nullptr;
  // Drawn through the window's own paint path rather than read back from
  // the screen, where other programs' windows may lie on top of it.
  auto surface = std::make_unique<Surface>(size.cx, size.cy);
  surface->DrawWidget(top);
  return surface;
}

bool OpenInBrowser(const std::string& url) {
  GError* err = nullptr;
  gboolean ok = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &err);
  if (err) g_error_free(err);
  return ok;
}

}  // namespace platform
