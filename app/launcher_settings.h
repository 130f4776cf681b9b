// The settings-file operations a completed update pass runs: the server
// list fetch (url.xml) and the periodic full check (LauncherConfig/check.ini).
//
// Thread-safety: called from the pass thread; RunFourDayCheck keeps a
// process-wide "already ran" flag (atomic).
#pragma once

#include <string>

class CVXDlownloader;
class UpdateDriver;

// Fetches releaseBaseUrl + "url.xml" into the installation folder; true on
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
// today. Does nothing the second time in a process. True when it started one.
bool RunFourDayCheck(CVXDlownloader* engine, UpdateDriver* driver, int dayOfMonth = 0);

// Tests only: forget that the check ran in this process.
void ResetFourDayCheckForTest();
