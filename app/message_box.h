// CVXMessageBox: the skinned modal message box, a title, a text and one or
// two buttons in the launcher's look (skin "vxmessagebox.xml"). It is a main
// window underneath (it inherits the Escape filter, the private messages and
// the self-deletion when its window goes) with an idle set of the main
// window's fields. UI thread only.
#pragma once

#include <string>

#include "app/main_frame.h"

class CVXMessageBox : public CMainFrame {
 public:
  using CMainFrame::CMainFrame;

  std::string WindowClassName() const override { return "CVXMessageBox"; }
  void InitWindow() override;
  void OnClick(SkinUI::TNotifyUI& msg) override;
  std::string SkinFile() override { return "vxmessagebox.xml"; }
  platform::LRESULT OnSysCommand(unsigned msg, platform::WPARAM wparam, platform::LPARAM lparam,
                                 bool& handled) override;
  platform::LRESULT OnCreate(unsigned msg, platform::WPARAM wparam, platform::LPARAM lparam,
                             bool& handled) override;
};

// Shows the box modally over `owner` and returns 1 for "ButtonOK", 2 for
// "ButtonCancel", 0 when closed by the system close command, -1 when it
// could not be made. Type 1 shows both buttons (OK right, Cancel left);
// other types keep the skin's buttons. system: borrowed.
int ShowMessageBox(SkinUI::HWND owner, LauncherSystem* system, const std::string& title,
                   const std::string& content, int type);
