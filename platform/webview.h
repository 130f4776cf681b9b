// An embedded web page placed over a rectangle of a skinned window. The page
// reaches the program through `window.external.NAME(text)`: the names given
// at creation are injected as script functions whose calls arrive at the
// sink. WebKitGTK stays behind this header. UI thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/win_types.h"
#include "platform/window.h"

namespace platform {

enum class WebEvent {
  kBeforeNavigate,
  kNavigateComplete,
  kDocumentComplete,
  kNavigateError,
  kNewWindow,
  kCommandStateChange,
};

class WebViewSink {
 public:
  // `name` is the external method the page called, `arg` its first argument
  // as text.
  virtual void OnExternalCall(const std::string& name, const std::string& arg) = 0;
  // Navigation events; for kBeforeNavigate and kNewWindow, setting *cancel
  // stops the navigation or the new window.
  virtual void OnWebEvent(WebEvent event, const std::string& url, bool* cancel) = 0;
  // True when the program handled the context menu itself (no menu shown).
  virtual bool OnContextMenu() = 0;

 protected:
  ~WebViewSink() = default;
};

class WebView {
 public:
  virtual ~WebView() = default;
  virtual void SetRect(const Rect& client_rect) = 0;
  virtual void SetVisible(bool visible) = 0;
  virtual void Navigate(const std::string& url) = 0;
  virtual std::string Url() const = 0;
};

// Null when the host window has no native container (no display).
std::unique_ptr<WebView> CreateWebView(NativeWindow* host, WebViewSink* sink,
                                       const std::vector<std::string>& external_names);

}  // namespace platform
