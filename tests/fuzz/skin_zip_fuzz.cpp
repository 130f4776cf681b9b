// Fuzzes the skin package reader (the zip the skin files and pictures are
// kept in): its central directory and every entry the launcher asks for by
// name. Checked: an entry read has its declared, bounded size.
#include "tests/fuzz/fuzz_support.h"
#include "ui/zip_package.h"

using SkinUI::CZipPackage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  std::unique_ptr<CZipPackage> zip = CZipPackage::Open(data, size, &error);
  if (!zip) {
    FUZZ_CHECK(error == "Error opening zip file");
    return 0;
  }
  for (const char* name : {"mainframe.xml", "vxmessagebox.xml", "launcher_BJ.png", "Close_up.png",
                           "MAINFRAME.XML", "img\\a.png", "img/a.png", "a"}) {
    std::string bytes;
    if (zip->Extract(name, &bytes, &error)) {
      FUZZ_CHECK(!bytes.empty() && bytes.size() <= CZipPackage::kMaxFileSize);
    } else {
      FUZZ_CHECK(bytes.empty() && !error.empty());
    }
  }
  return 0;
}
