#include "skin/skin_resources.h"

#include "platform/resources.h"

// The packed skin and the icon are pulled in by the assembler: no generated
// source, and a new skin only re-assembles this one file.
__asm__(
    ".section .rodata\n"
    ".balign 16\n"
    ".global kestrava_skin_zip_begin\n"
    "kestrava_skin_zip_begin:\n"
    ".incbin \"" KESTRAVA_SKIN_ZIP
    "\"\n"
    ".global kestrava_skin_zip_end\n"
    "kestrava_skin_zip_end:\n"
    ".balign 16\n"
    ".global kestrava_icon_begin\n"
    "kestrava_icon_begin:\n"
    ".incbin \"" KESTRAVA_ICON_PNG
    "\"\n"
    ".global kestrava_icon_end\n"
    "kestrava_icon_end:\n"
    ".previous\n");

extern "C" const unsigned char kestrava_skin_zip_begin[];
extern "C" const unsigned char kestrava_skin_zip_end[];
extern "C" const unsigned char kestrava_icon_begin[];
extern "C" const unsigned char kestrava_icon_end[];

namespace skin {

const unsigned char* SkinZipData() {
  return kestrava_skin_zip_begin;
}

std::size_t SkinZipSize() {
  return static_cast<std::size_t>(kestrava_skin_zip_end - kestrava_skin_zip_begin);
}

void RegisterSkinResources() {
  platform::RegisterResource("ZIPRES", kSkinZipId, SkinZipData(), SkinZipSize());
  platform::RegisterResource("ICON", kIconId, kestrava_icon_begin,
                             static_cast<std::size_t>(kestrava_icon_end - kestrava_icon_begin));
}

}  // namespace skin
