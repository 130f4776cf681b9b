#include "platform/window_registry.h"

#include <map>
#include <mutex>

namespace platform {
namespace {

struct Entry {
  NativeWindow* window;
  EnqueueFn enqueue;
  std::string title;
};

class Registry {
 public:
  WindowId Add(NativeWindow* w, EnqueueFn enqueue, const std::string& title) {
    std::lock_guard<std::mutex> hold(lock_);
    entries_[++last_] = Entry{w, enqueue, title};
    return last_;
  }
  void Remove(WindowId id) {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.erase(id);
  }
  void SetTitle(WindowId id, const std::string& title) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = entries_.find(id);
    if (it != entries_.end()) it->second.title = title;
  }
  bool Post(WindowId id, unsigned msg, WPARAM wparam, LPARAM lparam) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return false;
    it->second.enqueue(it->second.window, id, msg, wparam, lparam);
    return true;
  }
  NativeWindow* Find(WindowId id) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : it->second.window;
  }
  WindowId FindByTitle(const std::string& title) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& [id, e] : entries_) {
      if (e.title == title) return id;
    }
    return 0;
  }

 private:
  std::mutex lock_;
  std::map<WindowId, Entry> entries_;  // guarded by lock_
  WindowId last_ = 0;                  // guarded by lock_
};

Registry& Windows() {
  static Registry registry;
  return registry;
}

}  // namespace

WindowId RegisterWindow(NativeWindow* window, EnqueueFn enqueue, const std::string& title) {
  return Windows().Add(window, enqueue, title);
}

void UnregisterWindow(WindowId id) {
  Windows().Remove(id);
}

void SetRegisteredTitle(WindowId id, const std::string& title) {
  Windows().SetTitle(id, title);
}

bool PostToWindow(WindowId id, unsigned msg, WPARAM wparam, LPARAM lparam) {
  return id != 0 && Windows().Post(id, msg, wparam, lparam);
}

NativeWindow* FindLiveWindow(WindowId id) {
  return Windows().Find(id);
}

WindowId FindWindowIdByTitle(const std::string& title) {
  return Windows().FindByTitle(title);
}

}  // namespace platform
