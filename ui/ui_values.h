// Value notations of skin files: colours, rectangles, sizes, booleans, and
// the letter-case-blind name comparison the toolkit uses. Pure functions.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_types.h"
#include "util/text_util.h"

namespace SkinUI {

using CSkinString = std::string;
using platform::LPARAM;
using platform::LRESULT;
using platform::Point;
using platform::Rect;
using platform::Size;
using platform::WPARAM;

// 0xAARRGGBB from "#AARRGGBB", "0xAARRGGBB" or a shorter number ("0x333333"
// has alpha 0). False, leaving *argb alone, for text that is no hex number.
bool ParseColor(const std::string& text, std::uint32_t* argb);

// Numbers of skin markup are read within +-kMaxSkinNumber (a number beyond
// is taken as that bound): no window is that large, and the sums of layout
// and drawing stay far inside int.
constexpr int kMaxSkinNumber = 1 << 16;

// "l,t,r,b" with missing trailing numbers read as 0.
Rect ParseRect(const std::string& text);
Size ParseSize(const std::string& text);
int ParseInt(const std::string& text);
bool ParseBool(const std::string& text);  // "true" (any case) only

}  // namespace SkinUI
