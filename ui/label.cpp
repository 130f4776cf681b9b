#include "ui/label.h"

namespace SkinUI {

CLabelUI::CLabelUI() {
  text_style_ = platform::DT_VCENTER | platform::DT_SINGLELINE | platform::DT_END_ELLIPSIS;
}

void* CLabelUI::GetInterface(const std::string& name) {
  return name == "Label" ? this : CControlUI::GetInterface(name);
}

void CLabelUI::SetAlign(const std::string& value) {
  // Only the horizontal words matter; "wrap" and others leave the style alone.
  unsigned h = text_style_ & (platform::DT_CENTER | platform::DT_RIGHT);
  if (value.find("left") != std::string::npos) h = platform::DT_LEFT;
  if (value.find("center") != std::string::npos) h = platform::DT_CENTER;
  if (value.find("right") != std::string::npos) h = platform::DT_RIGHT;
  text_style_ = (text_style_ & ~(platform::DT_CENTER | platform::DT_RIGHT)) | h;
  Invalidate();
}

void CLabelUI::SetAttribute(const std::string& name, const std::string& value) {
  if (name == "align") {
    SetAlign(value);
  } else {
    CControlUI::SetAttribute(name, value);
  }
}

std::uint32_t CLabelUI::EffectiveTextColor() const {
  if (!IsEnabled()) {
    if (disabled_text_color_) return disabled_text_color_;
    return manager_ ? manager_->GetDefaultDisabledColor() : 0;
  }
  if (text_color_) return text_color_;
  return manager_ ? manager_->GetDefaultFontColor() : 0;
}

void CLabelUI::PaintText(platform::Painter& painter) {
  if (text_.empty() || !manager_) return;
  Rect r{item_.left + text_padding_.left, item_.top + text_padding_.top,
         item_.right - text_padding_.right, item_.bottom - text_padding_.bottom};
  painter.DrawText(text_, r, manager_->GetFont(font_), EffectiveTextColor(), text_style_);
}

CTextUI::CTextUI() {
  text_style_ = platform::DT_WORDBREAK;
  text_padding_ = Rect{2, 0, 2, 0};
}

void* CTextUI::GetInterface(const std::string& name) {
  return name == "Text" ? this : CLabelUI::GetInterface(name);
}

}  // namespace SkinUI
