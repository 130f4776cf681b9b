// Connecting to the X server again when it turns a connection away for a
// moment. An X server that many clients connect to at once (a desktop
// starting up, a window-test run) refuses some of them with EAGAIN or a
// reset; Xlib reports that as "no display" and does not try again. A
// launcher that gave up there would show nothing, and the single-instance
// check would see no other launcher. Stateless, any thread.
#pragma once

#include <functional>

namespace platform {

// Calls `connect` until it gives true, a bounded number of times with short
// growing pauses between (about two seconds in all); false when every try
// failed. `pause_ms` waits between tries (tests pass a recorder). Without
// DISPLAY or WAYLAND_DISPLAY set, the one-argument form tries once.
bool ConnectWithRetry(const std::function<bool()>& connect,
                      const std::function<void(int)>& pause_ms);
bool ConnectWithRetry(const std::function<bool()>& connect);

}  // namespace platform
