// The WebKit half of the embedded page, built as a module of its own and
// loaded on first use: linking WebKit into the program would cost every
// start a large part of the first frame.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>

#include "platform/webview.h"

namespace platform {
namespace {

constexpr const char* kHandlerName = "kestravaExternal";

// A secret of this view: the script message handler is visible to every
// frame, so a call counts only when it carries the token that the script
// injected into the top frame alone holds.
std::string NewToken() {
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char part[16];
    std::snprintf(part, sizeof part, "%08x", g_random_int());
    token += part;
  }
  return token;
}

// The page-side half of window.external: each name posts {token, name, arg}
// to the program's script message handler.
std::string ExternalScript(const std::vector<std::string>& names, const std::string& token) {
  std::string js =
      "(function(){var ext=window.external;"
      "if(!ext||typeof ext!=='object'){ext={};try{Object.defineProperty(window,'external',"
      "{value:ext,configurable:true});}catch(e){}}"
      "var h=window.webkit.messageHandlers." +
      std::string(kHandlerName) + ";function bind(n){return function(a){h.postMessage({token:'" +
      token + "',name:n,arg:(a===undefined||a===null)?'':String(a)});};}";
  for (const std::string& n : names) js += "ext['" + n + "']=bind('" + n + "');";
  js += "})();";
  return js;
}

// A WebKitWebView in the host's GtkFixed. Lives on the UI thread.
class GtkWebView : public WebView {
 public:
  GtkWebView(GtkWidget* fixed, WebViewSink* sink, const std::vector<std::string>& names);
  ~GtkWebView() override;

  void SetRect(const Rect& r) override;
  void SetVisible(bool visible) override;
  void Navigate(const std::string& url) override;
  std::string Url() const override;

 private:
  void CreateView();
  static void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                              gpointer self);
  static gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer self);
  static void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError*, gpointer self);
  static GtkWidget* OnCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer self);
  static gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                                gpointer self);

  WebViewSink* sink_;
  GtkWidget* fixed_;
  std::vector<std::string> names_;
  const std::string token_ = NewToken();
  WebKitUserContentManager* ucm_ = nullptr;
  GtkWidget* view_ = nullptr;
  Rect rect_;
  bool visible_ = true;
  std::string pending_url_;
};

GtkWebView::GtkWebView(GtkWidget* fixed, WebViewSink* sink, const std::vector<std::string>& names)
    : sink_(sink), fixed_(fixed), names_(names) {
  CreateView();
}

void GtkWebView::CreateView() {
  ucm_ = webkit_user_content_manager_new();
  WebKitUserScript* script = webkit_user_script_new(
      ExternalScript(names_, token_).c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(ucm_, script);
  webkit_user_script_unref(script);
  g_signal_connect(ucm_, (std::string("script-message-received::") + kHandlerName).c_str(),
                   G_CALLBACK(OnScriptMessage), this);
  webkit_user_content_manager_register_script_message_handler(ucm_, kHandlerName);
  view_ = webkit_web_view_new_with_user_content_manager(ucm_);
  g_object_ref_sink(view_);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(OnDecidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(OnLoadChanged), this);
  g_signal_connect(view_, "load-failed", G_CALLBACK(OnLoadFailed), this);
  g_signal_connect(view_, "create", G_CALLBACK(OnCreate), this);
  g_signal_connect(view_, "context-menu", G_CALLBACK(OnContextMenu), this);
  gtk_fixed_put(GTK_FIXED(fixed_), view_, rect_.left, rect_.top);
  SetRect(rect_);
  SetVisible(visible_);
  if (!pending_url_.empty()) Navigate(pending_url_);
  pending_url_.clear();
}

GtkWebView::~GtkWebView() {
  if (!view_) return;
  g_signal_handlers_disconnect_by_data(view_, this);
  g_signal_handlers_disconnect_by_data(ucm_, this);
  webkit_user_content_manager_unregister_script_message_handler(ucm_, kHandlerName);
  if (GtkWidget* parent = gtk_widget_get_parent(view_)) {
    gtk_container_remove(GTK_CONTAINER(parent), view_);
  }
  g_object_unref(view_);
  g_object_unref(ucm_);
}

void GtkWebView::SetRect(const Rect& r) {
  rect_ = r;
  if (!view_) return;
  gtk_fixed_move(GTK_FIXED(fixed_), view_, r.left, r.top);
  gtk_widget_set_size_request(view_, r.Width() > 0 ? r.Width() : 1,
                              r.Height() > 0 ? r.Height() : 1);
}

void GtkWebView::SetVisible(bool visible) {
  visible_ = visible;
  if (view_) gtk_widget_set_visible(view_, visible);
}

void GtkWebView::Navigate(const std::string& url) {
  if (!view_) {
    pending_url_ = url;  // loaded as soon as the view exists
    return;
  }
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view_), url.c_str());
}

std::string GtkWebView::Url() const {
  if (!view_) return pending_url_;
  const char* uri = webkit_web_view_get_uri(WEBKIT_WEB_VIEW(view_));
  return uri ? uri : "";
}

void GtkWebView::OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                                 gpointer self) {
  auto* w = static_cast<GtkWebView*>(self);
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (!jsc_value_is_object(value)) return;
  auto text = [value](const char* property) {
    JSCValue* v = jsc_value_object_get_property(value, property);
    char* s = jsc_value_is_string(v) ? jsc_value_to_string(v) : nullptr;
    std::string out = s ? s : "";
    g_free(s);
    g_object_unref(v);
    return out;
  };
  if (text("token") != w->token_) return;  // not from our top-frame script
  w->sink_->OnExternalCall(text("name"), text("arg"));
}

gboolean GtkWebView::OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                    WebKitPolicyDecisionType type, gpointer self) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
  auto* nav = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
  WebKitURIRequest* req = webkit_navigation_action_get_request(
      webkit_navigation_policy_decision_get_navigation_action(nav));
  bool cancel = false;
  static_cast<GtkWebView*>(self)->sink_->OnWebEvent(WebEvent::kBeforeNavigate,
                                                    webkit_uri_request_get_uri(req), &cancel);
  if (!cancel) return FALSE;
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

void GtkWebView::OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
  auto* w = static_cast<GtkWebView*>(self);
  const char* uri = webkit_web_view_get_uri(view);
  bool cancel = false;
  if (event == WEBKIT_LOAD_COMMITTED)
    w->sink_->OnWebEvent(WebEvent::kNavigateComplete, uri ? uri : "", &cancel);
  if (event == WEBKIT_LOAD_FINISHED)
    w->sink_->OnWebEvent(WebEvent::kDocumentComplete, uri ? uri : "", &cancel);
}

gboolean GtkWebView::OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError*,
                                  gpointer self) {
  bool cancel = false;
  static_cast<GtkWebView*>(self)->sink_->OnWebEvent(WebEvent::kNavigateError, uri ? uri : "",
                                                    &cancel);
  return FALSE;
}

GtkWidget* GtkWebView::OnCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer self) {
  // A page that opens a new window: unless the program cancels, the address
  // goes to the desktop's browser, as a stand-alone browser window would.
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  bool cancel = false;
  static_cast<GtkWebView*>(self)->sink_->OnWebEvent(WebEvent::kNewWindow, uri ? uri : "", &cancel);
  if (!cancel && uri && *uri) g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
  return nullptr;
}

gboolean GtkWebView::OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                   WebKitHitTestResult*, gpointer self) {
  return static_cast<GtkWebView*>(self)->sink_->OnContextMenu();
}

}  // namespace

}  // namespace platform

// The module's one entry point, found by name with dlsym.
extern "C" __attribute__((visibility("default"))) platform::WebView* KestravaCreateWebView(
    platform::NativeWindow* host, platform::WebViewSink* sink,
    const std::vector<std::string>* external_names) {
  if (!host || !host->NativeContainer()) return nullptr;
  return new platform::GtkWebView(static_cast<GtkWidget*>(host->NativeContainer()), sink,
                                  *external_names);
}
