#include "ui/window_wnd.h"

#include "platform/resources.h"

namespace SkinUI {
namespace {

NativeWindowFactory g_factory = &platform::CreateGtkWindow;

}  // namespace

CWindowWnd::CWindowWnd() = default;

CWindowWnd::~CWindowWnd() {
  if (native_) {
    // Destroyed from outside while the native window still exists: let it go
    // without calling back into this half-destroyed object.
    std::unique_ptr<platform::NativeWindow> native = std::move(native_);
    window_id_.store(0);
    m_hWnd = nullptr;
  }
}

void CWindowWnd::SetNativeWindowFactory(NativeWindowFactory factory) {
  g_factory = factory;
}

HWND CWindowWnd::Create(HWND parent, const std::string& title, unsigned style, unsigned, int x,
                        int y, int cx, int cy, void*) {
  platform::NativeWindowParams p;
  p.title = title;
  if (x == CW_USEDEFAULT) x = 0;
  if (y == CW_USEDEFAULT) y = 0;
  if (cx == CW_USEDEFAULT) cx = 0;
  if (cy == CW_USEDEFAULT) cy = 0;
  p.rect = Rect{x, y, x + cx, y + cy};
  p.owner = parent;
  owner_ = parent;
  native_ = g_factory(p, this);
  if (!native_) return nullptr;
  m_hWnd = native_.get();
  window_id_.store(m_hWnd->Id());
  style_ = style;
  if (HandleMessage(platform::WM_CREATE, 0, 0) == -1) {
    native_->Destroy();
    return nullptr;
  }
  if (m_hWnd && (style_ & WS_VISIBLE)) ShowWindow(true, true);
  return m_hWnd;
}

void CWindowWnd::CenterWindow() {
  if (!m_hWnd) return;
  const Rect area = m_hWnd->GetWorkArea();
  const Rect r = m_hWnd->GetWindowRect();
  m_hWnd->Move(area.left + (area.Width() - r.Width()) / 2,
               area.top + (area.Height() - r.Height()) / 2);
}

void CWindowWnd::ShowWindow(bool show, bool take_focus) {
  if (!m_hWnd) return;
  m_hWnd->Show(show ? platform::SW_SHOW : platform::SW_HIDE);
  if (show && take_focus) m_hWnd->Focus();
}

int CWindowWnd::ShowModal() {
  if (!m_hWnd) return -1;
  // Copied: this object may delete itself before the loop ends.
  HWND owner = owner_;
  ModalState state;
  modal_ = &state;
  if (owner) owner->SetEnabled(false);
  ShowWindow(true, true);
  auto keep = [](void* ctx) { return static_cast<ModalState*>(ctx)->alive; };
  platform::RunMessageLoop(keep, &state);
  if (state.alive) modal_ = nullptr;  // quit arrived; the window still exists
  if (owner) {
    owner->SetEnabled(true);
    owner->Focus();
  }
  return state.code;
}

void CWindowWnd::Close(int code) {
  if (m_hWnd) PostMessageW(platform::WM_CLOSE, static_cast<WPARAM>(code), 0);
}

LRESULT CWindowWnd::SendMessageW(unsigned msg, WPARAM wparam, LPARAM lparam) {
  return m_hWnd ? OnNativeMessage(msg, wparam, lparam) : 0;
}

bool CWindowWnd::PostMessageW(unsigned msg, WPARAM wparam, LPARAM lparam) {
  return platform::PostToWindow(window_id_.load(), msg, wparam, lparam);
}

void CWindowWnd::SetIcon(int resource_id) {
  platform::ResourceView icon = platform::FindResourceData("ICON", resource_id);
  if (m_hWnd && icon.data) m_hWnd->SetIconPng(icon.data, icon.size);
}

LRESULT CWindowWnd::OnNativeMessage(unsigned msg, WPARAM wparam, LPARAM lparam) {
  if (msg == platform::WM_CLOSE) {
    last_close_code_ = static_cast<int>(wparam);
    if (modal_) modal_->code = last_close_code_;
  }
  if (msg == platform::WM_NCDESTROY) {
    HWND old = m_hWnd;
    window_id_.store(0);
    if (modal_) modal_->alive = false;
    modal_ = nullptr;
    HandleMessage(msg, wparam, lparam);
    m_hWnd = nullptr;
    // The platform window is finished; it is freed with this object or
    // replaced by the next Create. OnFinalMessage may delete this.
    OnFinalMessage(old);
    return 0;
  }
  return HandleMessage(msg, wparam, lparam);
}

LRESULT CWindowWnd::HandleMessage(unsigned msg, WPARAM wparam, LPARAM lparam) {
  return DefWindowProc(msg, wparam, lparam);
}

LRESULT CWindowWnd::DefWindowProc(unsigned msg, WPARAM wparam, LPARAM) {
  using namespace platform;
  if (!m_hWnd) return 0;
  switch (msg) {
    case WM_CLOSE:
      m_hWnd->Destroy();
      return 0;
    case WM_NCHITTEST:
      return HTCLIENT;
    case WM_SYSCOMMAND:
      switch (wparam & 0xFFF0) {
        case SC_CLOSE:
          SendMessageW(WM_CLOSE);
          return 0;
        case SC_MINIMIZE:
          m_hWnd->Show(SW_MINIMIZE);
          return 0;
        case SC_MAXIMIZE:
          m_hWnd->Show(SW_SHOWMAXIMIZED);
          return 0;
        case SC_RESTORE:
          m_hWnd->Show(SW_RESTORE);
          return 0;
        default:
          return 0;
      }
    default:
      return 0;
  }
}

}  // namespace SkinUI
