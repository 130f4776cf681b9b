// The process's table of live native windows. Other threads post to a window
// through its id, a plain value that stays safe to use after the window is
// gone, as a window handle does: a post to a window that no longer exists is
// refused instead of reaching freed memory. The table also answers "which of
// our windows carries this title" for posts by title.
//
// Thread-safety: every function may be called from any thread. A window is
// unregistered (on its own thread) before it is freed; once
// UnregisterWindow returns, no post reaches it any more. The table is
// process-wide by nature, like the system's window table it stands for.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_types.h"

namespace platform {

using WindowId = std::uint64_t;  // 0 names no window

class NativeWindow;

// Queues one message for a window; called with the table's lock held, so it
// must only queue (never call back into the table or the window's sink).
using EnqueueFn = void (*)(NativeWindow* window, WindowId id, unsigned msg, WPARAM wparam,
                           LPARAM lparam);

WindowId RegisterWindow(NativeWindow* window, EnqueueFn enqueue, const std::string& title);
void UnregisterWindow(WindowId id);
void SetRegisteredTitle(WindowId id, const std::string& title);

// Queues the message for the window; false when it is gone (or id is 0).
bool PostToWindow(WindowId id, unsigned msg, WPARAM wparam, LPARAM lparam);

// The live window with this id, or null. Only the window's own thread may use
// the result, since only that thread destroys windows.
NativeWindow* FindLiveWindow(WindowId id);

// The id of a live window of this process titled exactly `title`; 0 if none.
WindowId FindWindowIdByTitle(const std::string& title);

}  // namespace platform
