#include "app/message_box.h"

#include <new>

#include "ui/control.h"

using SkinUI::CControlUI;

void CVXMessageBox::InitWindow() {
  CenterWindow();
  if (m_hWnd) m_hWnd->SetTopmost(true);
}

void CVXMessageBox::OnClick(SkinUI::TNotifyUI& msg) {
  const std::string name = msg.sender ? msg.sender->GetName() : "";
  if (name == "ButtonOK") Close(1);
  if (name == "ButtonCancel") Close(2);
}

platform::LRESULT CVXMessageBox::OnSysCommand(unsigned msg, platform::WPARAM wparam,
                                              platform::LPARAM lparam, bool& handled) {
  if ((wparam & 0xFFF0) == platform::SC_CLOSE) {
    Close(0);
    handled = true;
    return 0;
  }
  return DefWindowProc(msg, wparam, lparam);
}

platform::LRESULT CVXMessageBox::OnCreate(unsigned, platform::WPARAM, platform::LPARAM, bool&) {
  if (BuildFromSkin() != SkinBuild::kBuilt) {  // a missing package builds no skin either
    system()->MessageBox("加载资源文件失败", "SkinUI", platform::MB_ICONERROR);
    system()->EndProcess(0);
  }
  return 0;
}

int ShowMessageBox(SkinUI::HWND owner, LauncherSystem* system, const std::string& title,
                   const std::string& content, int type) {
  // The window deletes the object when it goes.
  auto* box = new (std::nothrow) CVXMessageBox(system);
  if (!box) return -1;
  if (!box->Create(owner, "VXMessageBox", SkinUI::UI_WNDSTYLE_FRAME, 0, SkinUI::CW_USEDEFAULT,
                   SkinUI::CW_USEDEFAULT, SkinUI::CW_USEDEFAULT, SkinUI::CW_USEDEFAULT)) {
    delete box;
    return -1;
  }
  SkinUI::CPaintManagerUI& pm = box->GetPaintManager();
  if (CControlUI* c = pm.FindControl("Title")) c->SetText(title);
  if (CControlUI* c = pm.FindControl("Content")) c->SetText(content);
  if (type == 1) {
    CControlUI* ok = pm.FindControl("ButtonOK");
    CControlUI* cancel = pm.FindControl("ButtonCancel");
    if (ok) ok->SetPos(SkinUI::Rect{177, 144, 284, 171}, true);
    if (cancel) {
      cancel->SetPos(SkinUI::Rect{50, 144, 157, 171}, true);
      cancel->SetVisible(true);
    }
  }
  box->InitWindow();
  return box->ShowModal();
}
