// The embedded browser. CActiveXUI hosts a native child control over its
// rectangle, created at the first layout or at once after
// SetDelayCreate(false); CWebBrowserUI hosts a web page whose calls to
// window.external.fnEnterGame / openGame store their text as the return code.
// UI thread only, except GetReturnCode and SetReturnCode: the game start
// polls the return code from a thread of its own, so it is kept under a lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/webview.h"
#include "ui/control.h"

namespace SkinUI {

constexpr int DISPID_FNENTERGAME = 500;
constexpr int DISPID_OPENGAME = 501;
constexpr int DISPID_UNKNOWN = -1;
constexpr unsigned DOCHOSTUIFLAG_NO3DBORDER = 0x4;

// Hears the browser's events and host questions. The defaults do nothing
// and let the browser decide.
class CWebBrowserEventHandler {
 public:
  virtual ~CWebBrowserEventHandler() = default;
  virtual void BeforeNavigate2(const std::string& url, bool* cancel) { (void)url, (void)cancel; }
  virtual void NavigateError(const std::string& url, bool* cancel) { (void)url, (void)cancel; }
  virtual void NavigateComplete2(const std::string& url) { (void)url; }
  virtual void DocumentComplete(const std::string& url) { (void)url; }
  virtual void NewWindow3(const std::string& url, bool* cancel) { (void)url, (void)cancel; }
  virtual void CommandStateChange(long command, bool enable) { (void)command, (void)enable; }
  // True when the handler showed (or suppressed) the menu itself.
  virtual bool ShowContextMenu() { return false; }
  virtual void GetHostInfo(unsigned* flags) { (void)flags; }
};

class CActiveXUI : public CControlUI {
 public:
  CActiveXUI();
  ~CActiveXUI() override;
  CSkinString GetClass() const override { return "ActiveX"; }
  void* GetInterface(const std::string& name) override;
  void SetPos(const Rect& rc, bool need_invalidate = true) override;
  void SetVisible(bool visible = true) override;
  void SetInternVisible(bool visible = true) override;
  void DoPaint(platform::Painter& painter, const Rect& dirty) override;

  bool IsDelayCreate() const { return delay_create_; }
  void SetDelayCreate(bool delay = true);
  const std::string& GetClassId() const { return clsid_; }
  void SetClassId(const std::string& clsid) { clsid_ = clsid; }
  bool IsCreated() const { return created_; }

 protected:
  virtual bool DoCreateControl() { return false; }
  void ReleaseControl();
  void UpdateNative();

  std::unique_ptr<platform::WebView> view_;
  std::string clsid_;
  bool delay_create_ = true;
  bool created_ = false;
};

class CWebBrowserUI : public CActiveXUI, public platform::WebViewSink {
 public:
  CWebBrowserUI();
  CSkinString GetClass() const override { return "WebBrowser"; }
  void* GetInterface(const std::string& name) override;
  void SetAttribute(const std::string& name, const std::string& value) override;

  void SetWebBrowserEventHandler(CWebBrowserEventHandler* handler);  // borrowed
  void Navigate2(const char* url);
  // A copy of the text the page handed over last.
  CSkinString GetReturnCode() const;
  void SetReturnCode(const char* text);
  void SetHomePage(const std::string& url) { home_page_ = url; }
  void SetAutoNavigation(bool on) { auto_navigate_ = on; }
  std::string GetCurrentUrl() const { return view_ ? view_->Url() : ""; }

  // The page's external object: names resolve exactly to dispatch ids, and
  // invoking 500 or 501 stores the text argument.
  static int GetIDOfName(const std::string& name);
  bool Invoke(int dispid, const std::string& arg);

 protected:
  bool DoCreateControl() override;
  void OnExternalCall(const std::string& name, const std::string& arg) override;
  void OnWebEvent(platform::WebEvent event, const std::string& url, bool* cancel) override;
  bool OnContextMenu() override;

 private:
  CWebBrowserEventHandler* handler_ = nullptr;
  std::string home_page_;
  bool auto_navigate_ = false;
  mutable std::mutex return_code_lock_;
  CSkinString return_code_;  // guarded by return_code_lock_
};

}  // namespace SkinUI
