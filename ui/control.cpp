#include "ui/control.h"

#include <algorithm>

namespace SkinUI {

CControlUI::CControlUI() = default;

CControlUI::~CControlUI() {
  if (manager_) manager_->ReapObjects(this);
}

void CControlUI::SetName(const CSkinString& name) {
  name_ = name;
  if (manager_) manager_->NameControl(this);
}

void* CControlUI::GetInterface(const std::string& name) {
  return name == "Control" ? this : nullptr;
}

bool CControlUI::Activate() {
  return IsVisible() && IsEnabled();
}

void CControlUI::SetManager(CPaintManagerUI* manager, CControlUI* parent, bool init) {
  manager_ = manager;
  parent_ = parent;
  if (manager_ && !name_.empty()) manager_->NameControl(this);
  if (init && manager_) Init();
}

void CControlUI::SetText(const CSkinString& text) {
  if (text_ == text) return;
  text_ = text;
  Invalidate();
}

void CControlUI::SetPos(const Rect& rc, bool need_invalidate) {
  if (rc == item_) return;
  if (need_invalidate) Invalidate();  // the old place
  item_ = rc;
  if (need_invalidate) Invalidate();
  // A floating control keeps where it was put: its fixed place follows, so
  // the parent's next layout puts it here again instead of back.
  if (float_ && parent_) {
    const Rect& p = parent_->GetPos();
    fixed_xy_ = Point{rc.left - p.left, rc.top - p.top};
    fixed_width_ = rc.Width();
    fixed_height_ = rc.Height();
  }
}

void CControlUI::SetPadding(const Rect& padding) {
  padding_ = padding;
  NeedParentUpdate();
}

void CControlUI::SetFixedXY(Point p) {
  fixed_xy_ = p;
  NeedParentUpdate();
}

void CControlUI::SetFixedWidth(int cx) {
  if (cx < 0) return;
  fixed_width_ = cx;
  NeedParentUpdate();
}

void CControlUI::SetFixedHeight(int cy) {
  if (cy < 0) return;
  fixed_height_ = cy;
  NeedParentUpdate();
}

bool CControlUI::IsVisible() const {
  return visible_ && intern_visible_;
}

void CControlUI::SetVisible(bool visible) {
  if (visible_ == visible) return;
  const bool was = IsVisible();
  visible_ = visible;
  if (focused_ && !visible) focused_ = false;
  if (was == IsVisible()) return;
  if (manager_) manager_->NeedUpdate();
  // Where it was, or where it now appears: Invalidate() would skip a control
  // that just became hidden and leave its old picture on screen.
  if (manager_) manager_->Invalidate(item_);
}

void CControlUI::SetInternVisible(bool visible) {
  intern_visible_ = visible;
}

void CControlUI::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  Invalidate();
}

void CControlUI::SetFocus() {
  if (manager_) manager_->SetFocus(this);
}

void CControlUI::SetFloat(bool f) {
  float_ = f;
  NeedParentUpdate();
}

CControlUI* CControlUI::FindControl(const std::function<bool(CControlUI*)>& match) {
  return match(this) ? this : nullptr;
}

void CControlUI::DoEvent(TEventUI& event) {
  if (event.Type == UIEVENT_SETFOCUS) {
    focused_ = true;
    Invalidate();
  } else if (event.Type == UIEVENT_KILLFOCUS) {
    focused_ = false;
    Invalidate();
  } else if (event.Type == UIEVENT_TIMER && manager_) {
    manager_->SendNotify(this, "timer", event.wParam, event.lParam);
  } else if (parent_) {
    parent_->DoEvent(event);
  }
}

CSkinString CControlUI::GetAttribute(const std::string& name) const {
  if (name == "name") return name_;
  if (name == "text") return text_;
  if (name == "bkimage") return bk_image_;
  return "";
}

void CControlUI::SetAttribute(const std::string& name, const std::string& value) {
  if (name == "pos") {
    Rect r = ParseRect(value);
    SetFixedXY(Point{r.left, r.top});
    SetFixedWidth(r.right - r.left);
    SetFixedHeight(r.bottom - r.top);
  } else if (name == "padding") {
    SetPadding(ParseRect(value));
  } else if (name == "bkcolor") {
    std::uint32_t c = 0;
    if (ParseColor(value, &c)) SetBkColor(c);
  } else if (name == "bkimage") {
    SetBkImage(value);
  } else if (name == "width") {
    SetFixedWidth(ParseInt(value));
  } else if (name == "height") {
    SetFixedHeight(ParseInt(value));
  } else if (name == "name") {
    SetName(value);
  } else if (name == "text") {
    SetText(value);
  } else if (name == "enabled") {
    SetEnabled(ParseBool(value));
  } else if (name == "mouse") {
    SetMouseEnabled(ParseBool(value));
  } else if (name == "visible") {
    SetVisible(ParseBool(value));
  } else if (name == "float") {
    SetFloat(ParseBool(value));
  } else if (name == "font") {
    font_ = ParseInt(value);
    Invalidate();
  } else if (name == "textcolor") {
    ParseColor(value, &text_color_);
    Invalidate();
  } else if (name == "disabledtextcolor") {
    ParseColor(value, &disabled_text_color_);
    Invalidate();
  } else if (name == "textpadding") {
    text_padding_ = ParseRect(value);
    Invalidate();
  }
}

Size CControlUI::EstimateSize(Size) {
  return Size{fixed_width_, fixed_height_};
}

void CControlUI::DoPaint(platform::Painter& painter, const Rect& dirty) {
  if (platform::Intersect(item_, dirty).IsEmpty()) return;
  painter.PushClip(platform::Intersect(item_, dirty));
  PaintBkColor(painter);
  PaintBkImage(painter);
  PaintStatusImage(painter);
  PaintText(painter);
  PaintBorder(painter);
  painter.PopClip();
}

void CControlUI::PaintBkColor(platform::Painter& painter) {
  if (bk_color_ >> 24) painter.FillRect(item_, bk_color_);
}

void CControlUI::PaintBkImage(platform::Painter& painter) {
  if (!bk_image_.empty()) DrawImage(painter, bk_image_);
}

void CControlUI::SetBkImage(const CSkinString& image) {
  if (bk_image_ == image) return;
  bk_image_ = image;
  Invalidate();
}

void CControlUI::SetBkColor(std::uint32_t argb) {
  bk_color_ = argb;
  Invalidate();
}

void CControlUI::Invalidate() {
  if (manager_ && IsVisible()) manager_->Invalidate(item_);
}

void CControlUI::NeedParentUpdate() {
  if (manager_) manager_->NeedUpdate();
  Invalidate();
}

bool CControlUI::DrawImage(platform::Painter& painter, const CSkinString& image) {
  if (!manager_ || image.empty()) return false;
  const TImageInfo info = ParseImageString(image);
  Rect dest = item_;
  const Rect& d = info.dest;
  if (d.left || d.top || d.right || d.bottom) {
    // Relative to the control, never past its right or bottom edge.
    dest = Rect{item_.left + d.left, item_.top + d.top, std::min(item_.left + d.right, item_.right),
                std::min(item_.top + d.bottom, item_.bottom)};
  }
  if (dest.IsEmpty()) return false;
  if (info.has_color && info.file.empty()) {
    painter.FillRect(dest, info.color);
    return true;
  }
  const platform::Image* img = manager_->GetImage(info);
  if (!img) return false;
  platform::ImageDrawParams p;
  p.dest = dest;
  p.source = info.source;
  p.corner = info.corner;
  p.fade = info.fade;
  p.xtiled = info.xtiled;
  p.ytiled = info.ytiled;
  painter.DrawImage(*img, p);
  return true;
}

}  // namespace SkinUI
