#include "platform/webview.h"

#include <dlfcn.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

// The anonymous in-memory file that holds the module; -1 on failure.
int UnpackModule() {
  const int fd = memfd_create("kestrava_webkit_view", MFD_CLOEXEC);
  const size_t size =
      static_cast<size_t>(kestrava_webkit_module_end - kestrava_webkit_module_begin);
  if (fd >= 0 && !WriteAll(fd, reinterpret_cast<const char*>(kestrava_webkit_module_begin), size)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Folders where the short-lived link to the module may go, the most
// private first; the executable's own folder is writable wherever the
// launcher runs, since it keeps its logs there.
std::vector<std::string> LinkFolders() {
  std::vector<std::string> folders;
  for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = getenv(variable);
    if (value && *value) folders.push_back(value);
  }
  folders.push_back("/tmp");
  folders.push_back(GetModuleFolder());
  return folders;
}

constexpr char kLinkFolderPrefix[] = "kestrava-webview-";
constexpr char kLinkName[] = "kestrava_webkit_view.so";

// A load cut short (the process ended or crashed meanwhile) leaves its
// folder behind, with a link that names the pid of its process. Those of
// processes that are gone are removed; a live one's may be in use.
void RemoveLeftoverLinks(const std::string& base) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
    if (entry.path().filename().string().rfind(kLinkFolderPrefix, 0) != 0) continue;
    const std::string link = entry.path().string() + "/" + kLinkName;
    char target[64] = {};
    int pid = 0;
    if (readlink(link.c_str(), target, sizeof target - 1) < 0 ||
        sscanf(target, "/proc/%d/fd/", &pid) != 1 || pid <= 0 || kill(pid, 0) == 0 ||
        errno != ESRCH) {
      continue;
    }
    unlink(link.c_str());
    rmdir(entry.path().c_str());
  }
}

// The loader keeps the name a module was opened under, and a core dump
// carries that name to whoever opens the dump. "/proc/self/fd/N" there
// names the debugger's own descriptor N (gdb blocks for good on a pipe of
// its own); "/proc/PID/fd/N" names whatever process has that pid by then,
// on the machine the dump is opened on. So the module is opened through a
// symbolic link in a fresh private folder, and link and folder go as soon
// as it is mapped: the name left behind names nothing. The link points at
// this process's pid rather than at "self": a link that a crash during the
// load leaves behind then leads nowhere once the process has gone (unless
// its pid comes round again), never into the opener itself. The bytes are
// mapped from the memfd, not from the folder's file system, which may be
// mounted noexec. Null on failure, with the reason logged.
void* OpenThroughLink(int fd) {
  const std::string target = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
  for (const std::string& base : LinkFolders()) {
    RemoveLeftoverLinks(base);
    std::string folder = base + "/" + kLinkFolderPrefix + "XXXXXX";
    if (!mkdtemp(folder.data())) continue;
    const std::string link = folder + "/" + kLinkName;
    if (symlink(target.c_str(), link.c_str()) != 0) {
      rmdir(folder.c_str());
      continue;
    }
    void* module = dlopen(link.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) WriteLogTag("Error", "Cannot load the web view module: %s", dlerror());
    unlink(link.c_str());
    rmdir(folder.c_str());
    return module;
  }
  WriteLogTag("Error", "Cannot load the web view module: no folder takes its link");
  return nullptr;
}

// Loads the embedded module, once.
CreateFn LoadModule() {
  static CreateFn create = []() -> CreateFn {
    const int fd = UnpackModule();
    if (fd < 0) {
      WriteLogTag("Error", "Cannot unpack the web view module");
      return nullptr;
    }
    void* module = OpenThroughLink(fd);
    close(fd);  // the mapping keeps the module alive
    return module ? reinterpret_cast<CreateFn>(dlsym(module, "KestravaCreateWebView")) : nullptr;
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
