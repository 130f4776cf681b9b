// The base of every skinned control: name, text, position and fixed layout
// values, visibility, enabled and mouse flags, background and text colours;
// paints its background and text, turns timer events into "timer"
// notifications. Owned by its parent container (the root by its paint
// manager); used only on the UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/paint_manager.h"
#include "ui/ui_values.h"

namespace SkinUI {

constexpr unsigned UIFLAG_TABSTOP = 0x1;
constexpr unsigned UIFLAG_SETCURSOR = 0x2;

class CControlUI {
 public:
  CControlUI();
  virtual ~CControlUI();
  CControlUI(const CControlUI&) = delete;
  CControlUI& operator=(const CControlUI&) = delete;

  virtual CSkinString GetName() const { return name_; }
  virtual void SetName(const CSkinString& name);
  virtual CSkinString GetClass() const { return "Control"; }
  virtual void* GetInterface(const std::string& name);
  virtual unsigned GetControlFlags() const { return 0; }
  virtual bool Activate();
  virtual CPaintManagerUI* GetManager() const { return manager_; }
  virtual void SetManager(CPaintManagerUI* manager, CControlUI* parent, bool init = true);
  virtual CControlUI* GetParent() const { return parent_; }

  virtual CSkinString GetText() const { return text_; }
  virtual void SetText(const CSkinString& text);

  virtual const Rect& GetPos() const { return item_; }
  virtual void SetPos(const Rect& rc, bool need_invalidate = true);
  virtual int GetWidth() const { return item_.Width(); }
  virtual int GetHeight() const { return item_.Height(); }
  virtual Rect GetPadding() const { return padding_; }
  virtual void SetPadding(const Rect& padding);
  virtual Point GetFixedXY() const { return fixed_xy_; }
  virtual void SetFixedXY(Point p);
  virtual int GetFixedWidth() const { return fixed_width_; }
  virtual void SetFixedWidth(int cx);
  virtual int GetFixedHeight() const { return fixed_height_; }
  virtual void SetFixedHeight(int cy);

  virtual bool IsVisible() const;
  virtual void SetVisible(bool visible = true);
  virtual void SetInternVisible(bool visible = true);
  virtual bool IsEnabled() const { return enabled_; }
  virtual void SetEnabled(bool enabled = true);
  virtual bool IsMouseEnabled() const { return mouse_enabled_; }
  virtual void SetMouseEnabled(bool enabled = true) { mouse_enabled_ = enabled; }
  virtual bool IsFocused() const { return focused_; }
  virtual void SetFocus();
  virtual bool IsFloat() const { return float_; }
  virtual void SetFloat(bool f = true);

  // Visits this control (and children) front to back; the first for which
  // `match` holds is returned.
  virtual CControlUI* FindControl(const std::function<bool(CControlUI*)>& match);

  virtual void Init() { DoInit(); }
  virtual void DoInit() {}
  virtual void Event(TEventUI& event) { DoEvent(event); }
  virtual void DoEvent(TEventUI& event);
  virtual CSkinString GetAttribute(const std::string& name) const;
  virtual void SetAttribute(const std::string& name, const std::string& value);
  virtual Size EstimateSize(Size available);

  virtual void DoPaint(platform::Painter& painter, const Rect& dirty);
  virtual void PaintBkColor(platform::Painter& painter);
  virtual void PaintBkImage(platform::Painter& painter);
  virtual void PaintStatusImage(platform::Painter& painter) { (void)painter; }
  virtual void PaintText(platform::Painter& painter) { (void)painter; }
  virtual void PaintBorder(platform::Painter& painter) { (void)painter; }

  CSkinString GetBkImage() const { return bk_image_; }
  void SetBkImage(const CSkinString& image);
  void SetBkColor(std::uint32_t argb);
  void Invalidate();
  void NeedParentUpdate();
  bool IsInternVisible() const { return intern_visible_; }
  bool VisibleFlag() const { return visible_; }

 protected:
  // Draws an image string inside this control; false when nothing was drawn.
  bool DrawImage(platform::Painter& painter, const CSkinString& image);

  CPaintManagerUI* manager_ = nullptr;
  CControlUI* parent_ = nullptr;
  CSkinString name_;
  CSkinString text_;
  Rect item_;
  Rect padding_;
  Point fixed_xy_;
  int fixed_width_ = 0;
  int fixed_height_ = 0;
  bool visible_ = true;
  bool intern_visible_ = true;
  bool enabled_ = true;
  bool mouse_enabled_ = true;
  bool focused_ = false;
  bool float_ = false;
  CSkinString bk_image_;
  std::uint32_t bk_color_ = 0;
  int font_ = -1;
  std::uint32_t text_color_ = 0;
  std::uint32_t disabled_text_color_ = 0;
  Rect text_padding_;
  unsigned text_style_ = 0;
};

}  // namespace SkinUI
