// Finds top-level windows of any program on the X display by their exact
// title, and brings one to the front: the single-instance check and the
// "is the game running" test. UI thread (or any thread that owns no X
// connection of its own: each call opens and closes its own).
#pragma once

#include <string>

namespace platform {

// The X window id of a top-level window titled exactly `title`; 0 when there
// is none or no display.
unsigned long FindTopLevelWindow(const std::string& title);

// Maps, raises and focuses that window; false when it cannot be reached.
bool ActivateTopLevelWindow(unsigned long window);

}  // namespace platform
