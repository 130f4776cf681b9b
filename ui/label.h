// Text controls. CLabelUI draws one vertically centred line in its font and
// colour inside its text padding; CTextUI breaks its text at word boundaries.
// UI thread only.
#pragma once

#include "ui/control.h"

namespace SkinUI {

class CLabelUI : public CControlUI {
 public:
  CLabelUI();
  CSkinString GetClass() const override { return "Label"; }
  void* GetInterface(const std::string& name) override;
  void SetAttribute(const std::string& name, const std::string& value) override;
  void PaintText(platform::Painter& painter) override;
  unsigned GetTextStyle() const { return text_style_; }

 protected:
  std::uint32_t EffectiveTextColor() const;
  void SetAlign(const std::string& value);
};

class CTextUI : public CLabelUI {
 public:
  CTextUI();
  CSkinString GetClass() const override { return "Text"; }
  void* GetInterface(const std::string& name) override;
  unsigned GetControlFlags() const override { return 0; }
};

}  // namespace SkinUI
