// Fuzzes the value notations of skin markup: image strings (a file name or
// key='value' pairs), colours, rectangles, sizes, numbers and booleans.
// Checked: a plain name is taken whole; a colour that parses changes only
// what it reports.
#include "tests/fuzz/fuzz_support.h"
#include "ui/image_string.h"
#include "ui/ui_values.h"

using namespace SkinUI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const TImageInfo info = ParseImageString(text);
  if (text.find('=') == std::string::npos) FUZZ_CHECK(info.file == text);
  std::uint32_t colour = 0x12345678;
  if (!ParseColor(text, &colour)) FUZZ_CHECK(colour == 0x12345678);
  ParseRect(text);
  ParseSize(text);
  ParseInt(text);
  FUZZ_CHECK(ParseBool(text) == EqualNoCase(text, "TRUE"));
  return 0;
}
