#include "ui/container.h"

#include <algorithm>

namespace SkinUI {

void* CContainerUI::GetInterface(const std::string& name) {
  return name == "Container" ? this : CControlUI::GetInterface(name);
}

void CContainerUI::SetManager(CPaintManagerUI* manager, CControlUI* parent, bool init) {
  for (auto& item : items_) item->SetManager(manager, this, init);
  CControlUI::SetManager(manager, parent, init);
}

void CContainerUI::SetVisible(bool visible) {
  if (visible_ == visible) return;
  CControlUI::SetVisible(visible);
  for (auto& item : items_) item->SetInternVisible(IsVisible());
}

void CContainerUI::SetInternVisible(bool visible) {
  CControlUI::SetInternVisible(visible);
  for (auto& item : items_) item->SetInternVisible(IsVisible());
}

CControlUI* CContainerUI::FindControl(const std::function<bool(CControlUI*)>& match) {
  // Later children lie on top, so they are asked first.
  for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
    if (CControlUI* found = (*it)->FindControl(match)) return found;
  }
  return CControlUI::FindControl(match);
}

void CContainerUI::DoPaint(platform::Painter& painter, const Rect& dirty) {
  const Rect clip = platform::Intersect(item_, dirty);
  if (clip.IsEmpty()) return;
  CControlUI::DoPaint(painter, dirty);
  for (auto& item : items_) {
    if (item->IsVisible()) item->DoPaint(painter, clip);
  }
}

void CContainerUI::SetPos(const Rect& rc, bool need_invalidate) {
  CControlUI::SetPos(rc, need_invalidate);
  for (auto& item : items_) {
    if (item->IsFloat()) {
      SetFloatPos(item.get(), rc);
    } else {
      item->SetPos(rc, need_invalidate);
    }
  }
}

bool CContainerUI::Add(std::unique_ptr<CControlUI> control) {
  if (!control) return false;
  control->SetInternVisible(IsVisible());
  if (manager_) control->SetManager(manager_, this);
  items_.push_back(std::move(control));
  NeedParentUpdate();
  return true;
}

CControlUI* CContainerUI::GetItemAt(int i) const {
  return i >= 0 && i < GetCount() ? items_[i].get() : nullptr;
}

void CContainerUI::SetFloatPos(CControlUI* child, const Rect& rc) {
  const Point xy = child->GetFixedXY();
  Size sz = child->EstimateSize(Size{rc.Width(), rc.Height()});
  if (sz.cx <= 0) sz.cx = rc.Width() - xy.x;
  if (sz.cy <= 0) sz.cy = rc.Height() - xy.y;
  const int x = rc.left + xy.x, y = rc.top + xy.y;
  child->SetPos(Rect{x, y, x + sz.cx, y + sz.cy});
}

void* CVerticalLayoutUI::GetInterface(const std::string& name) {
  return name == "VerticalLayout" ? this : CContainerUI::GetInterface(name);
}

void CVerticalLayoutUI::SetPos(const Rect& rc, bool need_invalidate) {
  CControlUI::SetPos(rc, need_invalidate);
  // Fixed heights first; what is left is shared by the others.
  int fixed_total = 0, flexible = 0;
  for (auto& item : items_) {
    if (!item->IsVisible() || item->IsFloat()) continue;
    const Rect pad = item->GetPadding();
    const int h = item->EstimateSize(Size{rc.Width(), rc.Height()}).cy;
    fixed_total += pad.top + pad.bottom + std::max(h, 0);
    if (h <= 0) ++flexible;
  }
  const int share = flexible ? std::max(0, rc.Height() - fixed_total) / flexible : 0;
  int y = rc.top;
  for (auto& item : items_) {
    if (!item->IsVisible() && !item->IsFloat()) continue;
    if (item->IsFloat()) {
      SetFloatPos(item.get(), rc);
      continue;
    }
    const Rect pad = item->GetPadding();
    Size sz = item->EstimateSize(Size{rc.Width(), rc.Height()});
    const int h = sz.cy > 0 ? sz.cy : share;
    const int avail_w = rc.Width() - pad.left - pad.right;
    const int w = sz.cx > 0 ? std::min(sz.cx, avail_w) : avail_w;
    y += pad.top;
    item->SetPos(Rect{rc.left + pad.left, y, rc.left + pad.left + w, y + h}, need_invalidate);
    y += h + pad.bottom;
  }
}

}  // namespace SkinUI
