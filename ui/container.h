// Containers. CContainerUI owns its children, paints them in order and finds
// controls among them; CVerticalLayoutUI stacks the children that do not
// float from top to bottom and puts floating ones at their fixed position
// relative to its top-left corner. UI thread only.
#pragma once

#include <memory>
#include <vector>

#include "ui/control.h"

namespace SkinUI {

class CContainerUI : public CControlUI {
 public:
  CSkinString GetClass() const override { return "Container"; }
  void* GetInterface(const std::string& name) override;
  void SetManager(CPaintManagerUI* manager, CControlUI* parent, bool init = true) override;
  void SetVisible(bool visible = true) override;
  void SetInternVisible(bool visible = true) override;
  CControlUI* FindControl(const std::function<bool(CControlUI*)>& match) override;
  void DoPaint(platform::Painter& painter, const Rect& dirty) override;
  void SetPos(const Rect& rc, bool need_invalidate = true) override;

  bool Add(std::unique_ptr<CControlUI> control);
  int GetCount() const { return static_cast<int>(items_.size()); }
  CControlUI* GetItemAt(int i) const;

 protected:
  // Places a floating child at its fixed position inside `rc`.
  void SetFloatPos(CControlUI* child, const Rect& rc);
  std::vector<std::unique_ptr<CControlUI>> items_;
};

class CVerticalLayoutUI : public CContainerUI {
 public:
  CSkinString GetClass() const override { return "VerticalLayout"; }
  void* GetInterface(const std::string& name) override;
  void SetPos(const Rect& rc, bool need_invalidate = true) override;
};

}  // namespace SkinUI
