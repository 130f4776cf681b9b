// Fuzzes the launcher's page settings (web.xml beside the launcher): the
// page, the group link and the text added to the game's command line.
// Checked: no value is ever blanked (one without text keeps its default).
#include "app/launcher_settings.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder("web");
  WriteInput(dir + "web.xml", data, size);
  WebConfig config;
  config.platform = "platform-default";
  config.groupUrl = "group-default";
  config.homePage = "page-default";
  LoadWebConfig(dir + "web.xml", &config);
  FUZZ_CHECK(!config.platform.empty() && !config.groupUrl.empty() && !config.homePage.empty());
  return 0;
}
