#include "platform/find_window.h"

#include "platform/display_connect.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>

namespace platform {
namespace {

// An X connection for one call. X errors about windows that vanish while we
// look are expected and must not end the program.
class Display {
 public:
  Display() : d_(nullptr) {
    ConnectWithRetry([this] { return (d_ = XOpenDisplay(nullptr)) != nullptr; });
    old_ = XSetErrorHandler(IgnoreErrors);
  }
  ~Display() {
    if (d_) XCloseDisplay(d_);
    XSetErrorHandler(old_);
  }
  ::Display* get() const { return d_; }

 private:
  static int IgnoreErrors(::Display*, XErrorEvent*) { return 0; }
  ::Display* d_;
  int (*old_)(::Display*, XErrorEvent*);
};

std::string TitleOf(::Display* d, Window w) {
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom net_name = XInternAtom(d, "_NET_WM_NAME", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(d, w, net_name, 0, 1024, False, utf8, &type, &format, &count, &after,
                         &data) == Success &&
      data) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
    return title;
  }
  char* name = nullptr;
  if (XFetchName(d, w, &name) && name) {
    title = name;
    XFree(name);
  }
  return title;
}

// Top-level client windows are children of the root, or one or two levels
// down when a window manager reparents them into frames.
Window Search(::Display* d, Window w, const std::string& title, int depth) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(d, w, &root, &parent, &children, &n)) return 0;
  Window found = 0;
  for (unsigned int i = 0; i < n && !found; ++i) {
    if (TitleOf(d, children[i]) == title) found = children[i];
  }
  for (unsigned int i = 0; i < n && !found && depth > 0; ++i) {
    found = Search(d, children[i], title, depth - 1);
  }
  if (children) XFree(children);
  return found;
}

}  // namespace

unsigned long FindTopLevelWindow(const std::string& title) {
  Display d;
  if (!d.get()) return 0;
  return Search(d.get(), DefaultRootWindow(d.get()), title, 2);
}

bool ActivateTopLevelWindow(unsigned long window) {
  Display d;
  if (!d.get() || !window) return false;
  ::Display* x = d.get();
  // Mapping an iconified window asks for it to be shown normally again.
  XMapRaised(x, window);
  // Ask a window manager, when there is one, to restore, raise and focus it;
  // source 2 says a user action asked for it, so no focus-stealing rule
  // holds it back.
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window;
  e.xclient.message_type = XInternAtom(x, "_NET_ACTIVE_WINDOW", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = 2;
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(x, DefaultRootWindow(x), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XSync(x, False);
  // Without a window manager nobody else gives it the keyboard. Fails
  // harmlessly (and is ignored) while the window is not viewable yet.
  XWindowAttributes a{};
  if (XGetWindowAttributes(x, window, &a) && a.map_state == IsViewable) {
    XSetInputFocus(x, window, RevertToParent, CurrentTime);
  }
  XSync(x, False);
  return true;
}

}  // namespace platform
