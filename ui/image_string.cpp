#include "ui/image_string.h"

#include <algorithm>

namespace SkinUI {
namespace {

void Apply(TImageInfo* info, const std::string& key, const std::string& value) {
  if (key == "file") {
    info->file = value;
  } else if (key == "res") {
    info->res = value;
  } else if (key == "restype") {
    info->restype = value;
  } else if (key == "color") {
    info->has_color = ParseColor(value, &info->color);
  } else if (key == "dest") {
    info->dest = ParseRect(value);
  } else if (key == "source") {
    info->source = ParseRect(value);
  } else if (key == "corner" || key == "scale9") {
    info->corner = ParseRect(value);
  } else if (key == "mask") {
    info->has_mask = ParseColor(value, &info->mask);
  } else if (key == "fade") {
    info->fade = static_cast<std::uint8_t>(std::clamp(ParseInt(value), 0, 255));
  } else if (key == "hole") {
    info->hole = ParseBool(value);
  } else if (key == "xtiled") {
    info->xtiled = ParseBool(value);
  } else if (key == "ytiled") {
    info->ytiled = ParseBool(value);
  }
}

}  // namespace

TImageInfo ParseImageString(const std::string& text) {
  TImageInfo info;
  if (text.find('=') == std::string::npos) {
    info.file = text;
    return info;
  }
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t eq = text.find('=', i);
    if (eq == std::string::npos) break;
    std::string key = text.substr(i, eq - i);
    key.erase(key.find_last_not_of(' ') + 1);
    std::size_t q = eq + 1;
    while (q < text.size() && text[q] == ' ') ++q;
    if (q >= text.size()) break;
    const char quote = text[q];
    std::size_t close;
    std::string value;
    if (quote == '\'' || quote == '"') {
      close = text.find(quote, q + 1);
      if (close == std::string::npos) close = text.size();
      value = text.substr(q + 1, close - q - 1);
      i = close + 1;
    } else {
      close = text.find(' ', q);
      if (close == std::string::npos) close = text.size();
      value = text.substr(q, close - q);
      i = close;
    }
    Apply(&info, key, value);
  }
  return info;
}

}  // namespace SkinUI
