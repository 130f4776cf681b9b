#include "ui/button.h"

namespace SkinUI {

CButtonUI::CButtonUI() {
  text_style_ = platform::DT_SINGLELINE | platform::DT_VCENTER | platform::DT_CENTER;
}

void* CButtonUI::GetInterface(const std::string& name) {
  return name == "Button" ? this : CLabelUI::GetInterface(name);
}

unsigned CButtonUI::GetControlFlags() const {
  return (IsEnabled() ? UIFLAG_SETCURSOR : 0) | UIFLAG_TABSTOP;
}

bool CButtonUI::Activate() {
  if (!CControlUI::Activate()) return false;
  if (manager_) manager_->SendNotify(this, "click");
  return true;
}

void CButtonUI::SetEnabled(bool enabled) {
  CControlUI::SetEnabled(enabled);
  SetState(enabled ? (state_ & ~UISTATE_DISABLED) : UISTATE_DISABLED);
}

void CButtonUI::SetState(unsigned state) {
  if (state_ == state) return;
  state_ = state;
  Invalidate();
}

void CButtonUI::DoEvent(TEventUI& event) {
  if (!IsMouseEnabled() && event.Type > UIEVENT_MOUSEMOVE - 1 && event.Type <= UIEVENT_DBLCLICK) {
    if (parent_) parent_->DoEvent(event);
    return;
  }
  const bool inside = item_.Contains(event.ptMouse);
  switch (event.Type) {
    case UIEVENT_SETFOCUS:
      SetState(state_ | UISTATE_FOCUSED);
      break;
    case UIEVENT_KILLFOCUS:
      SetState(state_ & ~UISTATE_FOCUSED);
      break;
    case UIEVENT_KEYDOWN:
      if (IsEnabled() &&
          (event.chKey == platform::VK_SPACE || event.chKey == platform::VK_RETURN)) {
        Activate();
      }
      break;
    case UIEVENT_BUTTONDOWN:
    case UIEVENT_DBLCLICK:
      if (inside && IsEnabled()) SetState(state_ | UISTATE_PUSHED | UISTATE_CAPTURED);
      break;
    case UIEVENT_MOUSEMOVE:
      if (state_ & UISTATE_CAPTURED) {
        SetState(inside ? (state_ | UISTATE_PUSHED) : (state_ & ~UISTATE_PUSHED));
      }
      break;
    case UIEVENT_BUTTONUP:
      if (state_ & UISTATE_CAPTURED) {
        SetState(state_ & ~(UISTATE_PUSHED | UISTATE_CAPTURED));
        if (inside) Activate();
      }
      break;
    case UIEVENT_MOUSEENTER:
      if (IsEnabled()) {
        SetState(state_ | UISTATE_HOT);
        if (manager_) manager_->SetCursor(platform::CursorKind::kHand);
      }
      break;
    case UIEVENT_MOUSELEAVE:
      SetState(state_ & ~UISTATE_HOT);
      if (manager_) manager_->SetCursor(platform::CursorKind::kArrow);
      break;
    default:
      CLabelUI::DoEvent(event);
      break;
  }
}

void CButtonUI::SetAttribute(const std::string& name, const std::string& value) {
  if (name == "normalimage") {
    SetNormalImage(value);
  } else if (name == "hotimage") {
    SetHotImage(value);
  } else if (name == "pushedimage") {
    SetPushedImage(value);
  } else if (name == "disabledimage") {
    SetDisabledImage(value);
  } else if (name == "focusedimage") {
    SetFocusedImage(value);
  } else {
    CLabelUI::SetAttribute(name, value);
  }
}

void CButtonUI::SetNormalImage(const CSkinString& s) {
  normal_ = s;
  Invalidate();
}
void CButtonUI::SetHotImage(const CSkinString& s) {
  hot_ = s;
  Invalidate();
}
void CButtonUI::SetPushedImage(const CSkinString& s) {
  pushed_ = s;
  Invalidate();
}
void CButtonUI::SetDisabledImage(const CSkinString& s) {
  disabled_ = s;
  Invalidate();
}
void CButtonUI::SetFocusedImage(const CSkinString& s) {
  focused_image_ = s;
  Invalidate();
}

void CButtonUI::PaintStatusImage(platform::Painter& painter) {
  const CSkinString* image = &normal_;
  if (!IsEnabled() || (state_ & UISTATE_DISABLED)) {
    image = &disabled_;
  } else if (state_ & UISTATE_PUSHED) {
    image = &pushed_;
  } else if (state_ & UISTATE_HOT) {
    image = &hot_;
  } else if (state_ & UISTATE_FOCUSED) {
    image = &focused_image_;
  }
  // A state without a drawable picture shows the normal one.
  if (image == &normal_ || !DrawImage(painter, *image)) DrawImage(painter, normal_);
}

}  // namespace SkinUI
