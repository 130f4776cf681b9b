#include "ui/web_browser.h"

namespace SkinUI {

CActiveXUI::CActiveXUI() = default;

CActiveXUI::~CActiveXUI() {
  ReleaseControl();
}

void* CActiveXUI::GetInterface(const std::string& name) {
  return name == "ActiveX" ? this : CControlUI::GetInterface(name);
}

void CActiveXUI::SetDelayCreate(bool delay) {
  if (delay_create_ == delay) return;
  if (!delay && !created_ && !clsid_.empty()) created_ = DoCreateControl();
  delay_create_ = delay;
  UpdateNative();
}

void CActiveXUI::ReleaseControl() {
  view_.reset();
  created_ = false;
}

void CActiveXUI::UpdateNative() {
  if (!view_) return;
  view_->SetRect(item_);
  view_->SetVisible(IsVisible());
}

void CActiveXUI::SetPos(const Rect& rc, bool need_invalidate) {
  CControlUI::SetPos(rc, need_invalidate);
  if (!created_ && !clsid_.empty()) created_ = DoCreateControl();
  UpdateNative();
}

void CActiveXUI::SetVisible(bool visible) {
  CControlUI::SetVisible(visible);
  UpdateNative();
}

void CActiveXUI::SetInternVisible(bool visible) {
  CControlUI::SetInternVisible(visible);
  UpdateNative();
}

void CActiveXUI::DoPaint(platform::Painter& painter, const Rect& dirty) {
  // The native view draws itself; only what lies under it is painted here.
  CControlUI::DoPaint(painter, dirty);
}

CWebBrowserUI::CWebBrowserUI() {
  SetClassId("CLSID_WebBrowser");
}

void* CWebBrowserUI::GetInterface(const std::string& name) {
  return name == "WebBrowser" ? this : CActiveXUI::GetInterface(name);
}

void CWebBrowserUI::SetAttribute(const std::string& name, const std::string& value) {
  if (name == "homepage") {
    home_page_ = value;
  } else if (name == "autonavi") {
    auto_navigate_ = ParseBool(value);
  } else {
    CActiveXUI::SetAttribute(name, value);
  }
}

void CWebBrowserUI::SetWebBrowserEventHandler(CWebBrowserEventHandler* handler) {
  if (handler) handler_ = handler;
}

void CWebBrowserUI::Navigate2(const char* url) {
  if (url && view_) view_->Navigate(url);
}

int CWebBrowserUI::GetIDOfName(const std::string& name) {
  if (name == "fnEnterGame") return DISPID_FNENTERGAME;
  if (name == "openGame") return DISPID_OPENGAME;
  return DISPID_UNKNOWN;
}

bool CWebBrowserUI::Invoke(int dispid, const std::string& arg) {
  if (dispid != DISPID_FNENTERGAME && dispid != DISPID_OPENGAME) return false;
  SetReturnCode(arg.c_str());
  return true;
}

CSkinString CWebBrowserUI::GetReturnCode() const {
  std::lock_guard<std::mutex> hold(return_code_lock_);
  return return_code_;
}

void CWebBrowserUI::SetReturnCode(const char* text) {
  std::lock_guard<std::mutex> hold(return_code_lock_);
  return_code_ = text ? text : "";
}

bool CWebBrowserUI::DoCreateControl() {
  if (!manager_ || !manager_->GetPaintWindow()) return false;
  view_ = platform::CreateWebView(manager_->GetPaintWindow(), this, {"fnEnterGame", "openGame"});
  if (!view_) return false;
  unsigned flags = 0;
  if (handler_) handler_->GetHostInfo(&flags);
  if (auto_navigate_ && !home_page_.empty()) view_->Navigate(home_page_);
  return true;
}

void CWebBrowserUI::OnExternalCall(const std::string& name, const std::string& arg) {
  Invoke(GetIDOfName(name), arg);
}

void CWebBrowserUI::OnWebEvent(platform::WebEvent event, const std::string& url, bool* cancel) {
  if (!handler_) return;
  switch (event) {
    case platform::WebEvent::kBeforeNavigate:
      handler_->BeforeNavigate2(url, cancel);
      break;
    case platform::WebEvent::kNavigateError:
      handler_->NavigateError(url, cancel);
      break;
    case platform::WebEvent::kNavigateComplete:
      handler_->NavigateComplete2(url);
      break;
    case platform::WebEvent::kDocumentComplete:
      handler_->DocumentComplete(url);
      break;
    case platform::WebEvent::kNewWindow:
      handler_->NewWindow3(url, cancel);
      break;
    case platform::WebEvent::kCommandStateChange:
      handler_->CommandStateChange(0, true);
      break;
  }
}

bool CWebBrowserUI::OnContextMenu() {
  return handler_ && handler_->ShowContextMenu();
}

}  // namespace SkinUI
