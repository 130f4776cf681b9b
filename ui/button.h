// A push button: four state images, centred one-line text, and a "click"
// notification when activated by the mouse (press and release inside) or by
// Space/Return while focused. UI thread only.
#pragma once

#include "ui/label.h"

namespace SkinUI {

constexpr unsigned UISTATE_FOCUSED = 0x01;
constexpr unsigned UISTATE_HOT = 0x02;
constexpr unsigned UISTATE_PUSHED = 0x04;
constexpr unsigned UISTATE_DISABLED = 0x08;
constexpr unsigned UISTATE_CAPTURED = 0x10;

class CButtonUI : public CLabelUI {
 public:
  CButtonUI();
  CSkinString GetClass() const override { return "Button"; }
  void* GetInterface(const std::string& name) override;
  unsigned GetControlFlags() const override;
  bool Activate() override;
  void SetEnabled(bool enabled = true) override;
  void DoEvent(TEventUI& event) override;
  void SetAttribute(const std::string& name, const std::string& value) override;
  void PaintStatusImage(platform::Painter& painter) override;

  unsigned GetButtonState() const { return state_; }
  void SetNormalImage(const CSkinString& s);
  void SetHotImage(const CSkinString& s);
  void SetPushedImage(const CSkinString& s);
  void SetDisabledImage(const CSkinString& s);
  void SetFocusedImage(const CSkinString& s);

 private:
  void SetState(unsigned state);
  unsigned state_ = 0;
  CSkinString normal_, hot_, pushed_, disabled_, focused_image_;
};

}  // namespace SkinUI
