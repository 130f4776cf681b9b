// The skin package and the window icon linked into the program.
#pragma once

#include <cstddef>

namespace skin {

constexpr int kSkinZipId = 130;  // resource "ZIPRES"
constexpr int kIconId = 107;     // resource "ICON"

// Adds the skin package and the icon to the program's resource table. Call
// once before the first window is created; calling again does no harm.
void RegisterSkinResources();

const unsigned char* SkinZipData();
std::size_t SkinZipSize();

}  // namespace skin
