#include "platform/display_connect.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace platform {

bool ConnectWithRetry(const std::function<bool()>& connect,
                      const std::function<void(int)>& pause_ms) {
  constexpr int kTries = 12;
  int pause = 5;
  for (int attempt = 1;; ++attempt) {
    if (connect()) return true;
    if (attempt == kTries) return false;
    pause_ms(pause);
    pause = pause * 2 > 400 ? 400 : pause * 2;
  }
}

bool ConnectWithRetry(const std::function<bool()>& connect) {
  // Without a display named there is nothing to wait for.
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x || !*x) && (!wayland || !*wayland)) return connect();
  return ConnectWithRetry(connect, [](int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  });
}

}  // namespace platform
