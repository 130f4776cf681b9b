#include "ui/ui_values.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace SkinUI {
namespace {

int Bounded(long v) {
  return static_cast<int>(std::clamp<long>(v, -kMaxSkinNumber, kMaxSkinNumber));
}

}  // namespace

bool ParseColor(const std::string& text, std::uint32_t* argb) {
  const char* p = text.c_str();
  while (*p == ' ') ++p;
  if (*p == '#') ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(p, &end, 16);
  *argb = static_cast<std::uint32_t>(v);
  return true;
}

Rect ParseRect(const std::string& text) {
  int v[4] = {0, 0, 0, 0};
  const char* p = text.c_str();
  for (int i = 0; i < 4 && *p; ++i) {
    char* end = nullptr;
    v[i] = Bounded(std::strtol(p, &end, 10));
    if (end == p) break;
    p = end;
    while (*p == ' ') ++p;
    if (*p != ',') break;
    ++p;
  }
  return Rect{v[0], v[1], v[2], v[3]};
}

Size ParseSize(const std::string& text) {
  Rect r = ParseRect(text);
  return Size{r.left, r.top};
}

int ParseInt(const std::string& text) {
  return Bounded(std::strtol(text.c_str(), nullptr, 10));
}

bool ParseBool(const std::string& text) {
  return EqualNoCase(text, "true");
}


}  // namespace SkinUI
