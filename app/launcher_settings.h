// The launcher's settings files: web.xml (the page, the group link and the
// text appended to the game's command line), and what a completed update
// pass runs: the server list fetch (url.xml) and the periodic full check
// (LauncherConfig/check.ini).
//
// Thread-safety: LoadWebConfig runs on the UI thread before any pass; the
// others on the pass thread. Whether the four-day check already ran is the
// driver's to know (UpdateDriver::TakeFourDayCheck, atomic).
#pragma once

#include <string>

class CVXDlownloader;
class UpdateDriver;

// What web.xml can set, with the built-in defaults in place of what it lacks.
struct WebConfig {
  std::string platform;  // after "&" on the game's command line
  std::string groupUrl;  // opened by the group button (qqAdd)
  std::string homePage;  // the page shown in the window
  // What starts a Windows game: a path or a name found on PATH (a Wine or
  // Proton build of the player's choice); empty for wine from PATH.
  std::string gameRunner;
  // Bytes per second every download shares ("LimitRate": "5M", "500K",
  // plain bytes); 0: no limit.
  int64_t limitRate = 0;
};

// The defaults: KESTRAVA_HOME_PAGE (empty: the release's "web/index.html"
// below releaseBaseUrl) and KESTRAVA_GROUP_URL, set when the program is built.
WebConfig DefaultWebConfig(const std::string& releaseBaseUrl);

// Logs "LoadUrl!" and reads `url`/`platform`, `AddQQ`, `HomePage`, `GameRunner` and `LimitRate` of
// the file into *config; each one missing or without text keeps its value. A file that cannot be
// read or parsed logs "LoadUrl Fail!" and changes nothing.
void LoadWebConfig(const std::string& file, WebConfig* config);

// Fetches the engine's release folder + "url.xml" into the installation folder; true on
// success.
bool DownloadServerList(CVXDlownloader* engine);

// The value of key in [section] of an INI file; fallback when missing.
std::string ReadIniValue(const std::string& file, const std::string& section,
                         const std::string& key, const std::string& fallback);
// Sets key in [section], keeping the rest of the file.
bool WriteIniValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value);

// On the 4th, 8th, ... 28th of a month, once per day: trims the log folder
// and starts a full check (mode 1) through the driver. dayOfMonth 0 means
// today. Does nothing the second time for the same driver (one per
// process), so that the pass it starts does not start another. True when
// it started one.
bool RunFourDayCheck(CVXDlownloader* engine, UpdateDriver* driver, int dayOfMonth = 0);
