#include "platform/webview.h"

#include <dlfcn.h>
#include <gtk/gtk.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "diag/log.h"
#include "util/file_util.h"

// The WebKit half is a module of its own, so that starting a program does
// not load WebKit before the first frame. It travels inside the executable
// rather than beside it: the self-update replaces only the executable, and a
// module found on disk could belong to another build.
__asm__(
    ".section .rodata\n"
    ".balign 16\n"
    "kestrava_webkit_module_begin:\n"
    ".incbin \"" KESTRAVA_WEBKIT_MODULE
    "\"\n"
    "kestrava_webkit_module_end:\n"
    ".previous\n");
extern "C" const unsigned char kestrava_webkit_module_begin[];
extern "C" const unsigned char kestrava_webkit_module_end[];

namespace platform {
namespace {

using CreateFn = WebView* (*)(NativeWindow*, WebViewSink*, const std::vector<std::string>*);

// Loads the embedded module from an anonymous in-memory file, once.
CreateFn LoadModule() {
  static CreateFn create = []() -> CreateFn {
    const int fd = memfd_create("kestrava_webkit_view", MFD_CLOEXEC);
    const size_t size =
        static_cast<size_t>(kestrava_webkit_module_end - kestrava_webkit_module_begin);
    if (fd < 0 ||
        !WriteAll(fd, reinterpret_cast<const char*>(kestrava_webkit_module_begin), size)) {
      WriteLogTag("Error", "Cannot unpack the web view module");
      if (fd >= 0) close(fd);
      return nullptr;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    close(fd);  // the mapping keeps the module alive
    if (!module) {
      WriteLogTag("Error", "Cannot load the web view module: %s", dlerror());
      return nullptr;
    }
    return reinterpret_cast<CreateFn>(dlsym(module, "KestravaCreateWebView"));
  }();
  return create;
}

// Stands in for the WebKit view until the window has shown its first frame,
// then loads WebKit, makes the real view and hands it what it was told
// meanwhile. UI thread only.
class DeferredWebView : public WebView {
 public:
  DeferredWebView(NativeWindow* host, WebViewSink* sink, const std::vector<std::string>& names)
      : host_(host),
        sink_(sink),
        names_(names),
        toplevel_(gtk_widget_get_toplevel(static_cast<GtkWidget*>(host->NativeContainer()))) {
    g_object_ref(toplevel_);  // the window may go before this view does
    g_signal_connect_after(toplevel_, "draw", G_CALLBACK(OnHostDrawn), this);
    if (gtk_widget_get_mapped(toplevel_)) gtk_widget_queue_draw(toplevel_);
  }
  ~DeferredWebView() override {
    if (source_) g_source_remove(source_);
    g_signal_handlers_disconnect_by_data(toplevel_, this);
    real_.reset();
    g_object_unref(toplevel_);
  }

  void SetRect(const Rect& r) override {
    rect_ = r;
    if (real_) real_->SetRect(r);
  }
  void SetVisible(bool visible) override {
    visible_ = visible;
    if (real_) real_->SetVisible(visible);
  }
  void Navigate(const std::string& url) override {
    if (real_) {
      real_->Navigate(url);
    } else {
      url_ = url;  // loaded as soon as the real view exists
    }
  }
  std::string Url() const override { return real_ ? real_->Url() : url_; }

 private:
  static gboolean OnHostDrawn(GtkWidget*, cairo_t*, gpointer self) {
    auto* w = static_cast<DeferredWebView*>(self);
    g_signal_handlers_disconnect_by_data(w->toplevel_, w);
    if (!w->real_ && !w->source_) w->source_ = g_idle_add(CreateLater, w);
    return FALSE;
  }
  static gboolean CreateLater(gpointer self) {
    auto* w = static_cast<DeferredWebView*>(self);
    w->source_ = 0;
    w->CreateReal();
    return G_SOURCE_REMOVE;
  }
  void CreateReal() {
    CreateFn create = LoadModule();
    if (!create) return;
    real_.reset(create(host_, sink_, &names_));
    if (!real_) return;
    real_->SetRect(rect_);
    real_->SetVisible(visible_);
    if (!url_.empty()) real_->Navigate(url_);
  }

  NativeWindow* host_;
  WebViewSink* sink_;
  std::vector<std::string> names_;
  GtkWidget* toplevel_;
  guint source_ = 0;
  std::unique_ptr<WebView> real_;
  Rect rect_;
  bool visible_ = true;
  std::string url_;
};

}  // namespace

std::unique_ptr<WebView> CreateWebView(NativeWindow* host, WebViewSink* sink,
                                       const std::vector<std::string>& external_names) {
  if (!host || !host->NativeContainer()) return nullptr;
  return std::make_unique<DeferredWebView>(host, sink, external_names);
}

}  // namespace platform
