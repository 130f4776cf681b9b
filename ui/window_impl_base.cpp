#include "ui/window_impl_base.h"

#include <cstdlib>
#include <cstring>

#include "platform/resources.h"
#include "ui/control.h"

namespace SkinUI {

const SKIN_MSGMAP_ENTRY CNotifyPump::_messageEntries[] = {{"", "", SkinSig_end, nullptr, nullptr}};
const SKIN_MSGMAP CNotifyPump::messageMap = {nullptr, &CNotifyPump::_messageEntries[0]};

const SKIN_MSGMAP* CNotifyPump::GetMessageMap() const {
  return &messageMap;
}

bool CNotifyPump::AddVirtualWnd(const std::string& name, CNotifyPump* pump) {
  for (auto& [key, value] : virtual_windows_) {
    if (EqualNoCase(key, name)) return false;
  }
  virtual_windows_[name] = pump;
  return true;
}

bool CNotifyPump::RemoveVirtualWnd(const std::string& name) {
  for (auto it = virtual_windows_.begin(); it != virtual_windows_.end(); ++it) {
    if (EqualNoCase(it->first, name)) {
      virtual_windows_.erase(it);
      return true;
    }
  }
  return false;
}

void CNotifyPump::NotifyPump(TNotifyUI& msg) {
  if (!msg.virtualWindow.empty()) {
    for (auto& [name, pump] : virtual_windows_) {
      if (EqualNoCase(name, msg.virtualWindow) && pump->LoopDispatch(msg)) return;
    }
  }
  LoopDispatch(msg);
}

bool CNotifyPump::LoopDispatch(TNotifyUI& msg) {
  const std::string sender = msg.sender ? msg.sender->GetName() : "";
  for (const SKIN_MSGMAP* map = GetMessageMap(); map;
       map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
    for (const SKIN_MSGMAP_ENTRY* e = map->lpEntries; e->nSig != SkinSig_end; ++e) {
      if (msg.type != e->sMsgType) continue;
      if (e->sCtrlName[0] != '\0' && sender != e->sCtrlName) continue;
      if (e->nSig == SkinSig_lwl) {
        e->pfnWL(this, msg.wParam, msg.lParam);
      } else {
        e->pfn(this, msg);
      }
      return true;
    }
  }
  return false;
}

std::unique_ptr<unsigned char[]> WindowImplBase::m_lpResourceZIPBuffer;

SKIN_BEGIN_MESSAGE_MAP(WindowImplBase, CNotifyPump)
SKIN_ON_MSGTYPE("click", WindowImplBase::OnClick)
SKIN_END_MESSAGE_MAP()

WindowImplBase::WindowImplBase() = default;
WindowImplBase::~WindowImplBase() = default;

void WindowImplBase::OnFinalMessage(HWND) {
  m_PaintManager.RemovePreMessageFilter(this);
  m_PaintManager.RemoveNotifier(this);
  m_PaintManager.DetachRoot();
  m_PaintManager.RemoveAllTimers();
}

void WindowImplBase::OnClick(TNotifyUI& msg) {
  const std::string name = msg.sender ? msg.sender->GetName() : "";
  if (name == "closebtn") {
    Close();
  } else if (name == "minbtn") {
    SendMessageW(platform::WM_SYSCOMMAND, platform::SC_MINIMIZE, 0);
  } else if (name == "maxbtn") {
    SendMessageW(platform::WM_SYSCOMMAND, platform::SC_MAXIMIZE, 0);
  } else if (name == "restorebtn") {
    SendMessageW(platform::WM_SYSCOMMAND, platform::SC_RESTORE, 0);
  }
}

LRESULT WindowImplBase::ResponseDefaultKeyEvent(WPARAM wparam) {
  if (wparam == platform::VK_ESCAPE) {
    PostMessageW(platform::WM_CLOSE, 1, 0);
    return 1;
  }
  return 0;
}

LRESULT WindowImplBase::MessageHandler(unsigned msg, WPARAM wparam, LPARAM, bool& handled) {
  if (msg == platform::WM_KEYDOWN &&
      (wparam == platform::VK_RETURN || wparam == platform::VK_ESCAPE)) {
    const LRESULT r = ResponseDefaultKeyEvent(wparam);
    handled = r != 0;
    return r;
  }
  return 0;
}

#define NOT_HANDLED(name)                                                 \
  LRESULT WindowImplBase::name(unsigned, WPARAM, LPARAM, bool& handled) { \
    handled = false;                                                      \
    return 0;                                                             \
  }
NOT_HANDLED(OnClose)
NOT_HANDLED(OnDestroy)
NOT_HANDLED(OnMouseWheel)
NOT_HANDLED(OnMouseHover)
NOT_HANDLED(OnChar)
NOT_HANDLED(OnKeyDown)
NOT_HANDLED(OnKillFocus)
NOT_HANDLED(OnSetFocus)
NOT_HANDLED(OnLButtonDown)
NOT_HANDLED(OnLButtonUp)
NOT_HANDLED(OnMouseMove)
NOT_HANDLED(HandleCustomMessage)
NOT_HANDLED(OnGetMinMaxInfo)
NOT_HANDLED(OnSize)
#undef NOT_HANDLED

LRESULT WindowImplBase::OnNcActivate(unsigned, WPARAM wparam, LPARAM, bool& handled) {
  if (m_hWnd && m_hWnd->IsMinimized()) {
    handled = false;
    return 0;
  }
  return wparam == 0 ? 1 : 0;
}

LRESULT WindowImplBase::OnNcCalcSize(unsigned, WPARAM, LPARAM, bool&) {
  return 0;
}
LRESULT WindowImplBase::OnNcPaint(unsigned, WPARAM, LPARAM, bool&) {
  return 0;
}

LRESULT WindowImplBase::OnNcHitTest(unsigned, WPARAM, LPARAM lparam, bool&) {
  using namespace platform;
  Point pt{LParamX(lparam), LParamY(lparam)};
  if (m_hWnd) pt = m_hWnd->ScreenToClient(pt);
  const Size client = m_PaintManager.GetClientSize();
  const TWindowAttributes& a = m_PaintManager.Attributes();
  if (!m_hWnd || !m_hWnd->IsMaximized()) {
    const Rect& box = a.sizebox;
    if (pt.y < box.top) {
      return pt.x < box.left ? HTTOPLEFT : pt.x > client.cx - box.right ? HTTOPRIGHT : HTTOP;
    }
    if (pt.y > client.cy - box.bottom) {
      return pt.x < box.left                ? HTBOTTOMLEFT
             : pt.x > client.cx - box.right ? HTBOTTOMRIGHT
                                            : HTBOTTOM;
    }
    if (pt.x < box.left) return HTLEFT;
    if (pt.x > client.cx - box.right) return HTRIGHT;
  }
  const Rect& cap = a.caption;
  if (pt.x >= cap.left && pt.x < client.cx - cap.right && pt.y >= cap.top && pt.y < cap.bottom) {
    CControlUI* c = m_PaintManager.FindControl(pt);
    if (c) {
      const std::string cls = c->GetClass();
      if (cls != "Button" && cls != "Option" && cls != "Text") return HTCAPTION;
    }
  }
  return HTCLIENT;
}

LRESULT WindowImplBase::OnSysCommand(unsigned msg, WPARAM wparam, LPARAM lparam, bool&) {
  if ((wparam & 0xFFF0) == platform::SC_CLOSE) {
    SendMessageW(platform::WM_CLOSE);
    return 0;
  }
  return DefWindowProc(msg, wparam, lparam);
}

bool WindowImplBase::LoadResourcePackage() {
  switch (GetResourceType()) {
    case UILIB_ZIP: {
      std::string zip = GetZIPFileName();
      if (!zip.empty() && zip[0] != '/') zip = CPaintManagerUI::GetResourcePath() + zip;
      CPaintManagerUI::SetResourceZip(zip);
      return true;
    }
    case UILIB_ZIPRESOURCE: {
      platform::ResourceView res = platform::FindResourceData("ZIPRES", GetResourceID());
      if (!res.data || res.size == 0) return false;
      if (!m_lpResourceZIPBuffer) {
        m_lpResourceZIPBuffer = std::make_unique<unsigned char[]>(res.size);
        std::memcpy(m_lpResourceZIPBuffer.get(), res.data, res.size);
      }
      CPaintManagerUI::SetResourceZip(m_lpResourceZIPBuffer.get(), res.size);
      return true;
    }
    default:
      return true;
  }
}

WindowImplBase::SkinBuild WindowImplBase::BuildFromSkin() {
  SetWindowStyle((GetWindowStyle() & ~WS_CAPTION) | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
  m_PaintManager.Init(m_hWnd);
  m_PaintManager.AddPreMessageFilter(this);
  if (CPaintManagerUI::GetResourcePath().empty()) {
    CPaintManagerUI::SetResourcePath(CPaintManagerUI::GetInstancePath() + SkinFolder());
  }
  if (!LoadResourcePackage()) return SkinBuild::kNoPackage;
  CDialogBuilder builder;
  std::unique_ptr<CControlUI> root = builder.Create(SkinFile(), this, &m_PaintManager);
  if (!root) return SkinBuild::kNoSkin;
  m_PaintManager.AttachDialog(root.release());
  m_PaintManager.AddNotifier(this);
  return SkinBuild::kBuilt;
}

LRESULT WindowImplBase::OnCreate(unsigned, WPARAM, LPARAM, bool&) {
  switch (BuildFromSkin()) {
    case SkinBuild::kNoPackage:
      return 0;  // an empty window, and no message
    case SkinBuild::kNoSkin:
      platform::SystemMessageBox(nullptr, "加载资源文件失败", "SkinUI", platform::MB_ICONERROR);
      std::exit(1);
    case SkinBuild::kBuilt:
      break;
  }
  InitWindow();
  return 0;
}

unsigned WindowImplBase::GetStyle() {
  return GetWindowStyle() & ~(WS_CAPTION | WS_BORDER | WS_THICKFRAME);
}

void WindowImplBase::OnPaint(platform::Painter& painter, const Rect& dirty) {
  m_PaintManager.Paint(painter, dirty);
}

LRESULT WindowImplBase::HandleMessage(unsigned msg, WPARAM wparam, LPARAM lparam) {
  using namespace platform;
  LRESULT res = 0;
  if (m_PaintManager.PreMessageHandler(msg, wparam, lparam, res)) return res;
  bool handled = true;
  switch (msg) {
    case WM_CREATE:
      res = OnCreate(msg, wparam, lparam, handled);
      break;
    case WM_CLOSE:
      res = OnClose(msg, wparam, lparam, handled);
      break;
    case WM_DESTROY:
      res = OnDestroy(msg, wparam, lparam, handled);
      break;
    case WM_NCACTIVATE:
      res = OnNcActivate(msg, wparam, lparam, handled);
      break;
    case WM_NCCALCSIZE:
      res = OnNcCalcSize(msg, wparam, lparam, handled);
      break;
    case WM_NCPAINT:
      res = OnNcPaint(msg, wparam, lparam, handled);
      break;
    case WM_NCHITTEST:
      res = OnNcHitTest(msg, wparam, lparam, handled);
      break;
    case WM_GETMINMAXINFO:
      res = OnGetMinMaxInfo(msg, wparam, lparam, handled);
      break;
    case WM_MOUSEWHEEL:
      res = OnMouseWheel(msg, wparam, lparam, handled);
      break;
    case WM_SIZE:
      res = OnSize(msg, wparam, lparam, handled);
      break;
    case WM_CHAR:
      res = OnChar(msg, wparam, lparam, handled);
      break;
    case WM_SYSCOMMAND:
      res = OnSysCommand(msg, wparam, lparam, handled);
      break;
    case WM_KEYDOWN:
      res = OnKeyDown(msg, wparam, lparam, handled);
      break;
    case WM_KILLFOCUS:
      res = OnKillFocus(msg, wparam, lparam, handled);
      break;
    case WM_SETFOCUS:
      res = OnSetFocus(msg, wparam, lparam, handled);
      break;
    case WM_LBUTTONUP:
      res = OnLButtonUp(msg, wparam, lparam, handled);
      break;
    case WM_LBUTTONDOWN:
      res = OnLButtonDown(msg, wparam, lparam, handled);
      break;
    case WM_MOUSEMOVE:
      res = OnMouseMove(msg, wparam, lparam, handled);
      break;
    case WM_MOUSEHOVER:
      res = OnMouseHover(msg, wparam, lparam, handled);
      break;
    default:
      handled = false;
      break;
  }
  if (handled) return res;
  res = HandleCustomMessage(msg, wparam, lparam, handled);
  if (handled) return res;
  if (m_PaintManager.MessageHandler(msg, wparam, lparam, res)) return res;
  return CWindowWnd::HandleMessage(msg, wparam, lparam);
}

}  // namespace SkinUI
