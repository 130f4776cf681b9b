// Image strings of skin files: a plain file name, or blank-separated
// key='value' pairs naming the file and how to draw it. Pure parsing.
#pragma once

#include <cstdint>
#include <string>

#include "ui/ui_values.h"

namespace SkinUI {

struct TImageInfo {
  std::string file;
  std::string res;
  std::string restype;
  std::uint32_t color = 0;
  bool has_color = false;
  Rect dest;    // relative to the control; all zero means the whole control
  Rect source;  // all zero means the whole image
  Rect corner;
  std::uint32_t mask = 0;
  bool has_mask = false;
  std::uint8_t fade = 255;
  bool hole = false;
  bool xtiled = false;
  bool ytiled = false;
};

TImageInfo ParseImageString(const std::string& text);

}  // namespace SkinUI
