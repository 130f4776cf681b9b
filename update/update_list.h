// The launcher's version file "Launch.conf": the release version the server
// last announced, shown by the window. The update-list step itself
// (GetUpdateList and its two variants) is a member of CVXDlownloader, defined
// in update_list.cpp; the engine holds the version (clientVersion()).
#pragma once

#include <string>

// The version stored in folder + "Launch.conf" (UTF-8); empty when the file
// or the value is missing.
std::string ReadLaunchConf(const std::string& folder);

// Writes version to folder + "Launch.conf" (temporary name, renamed).
bool WriteLaunchConf(const std::string& folder, const std::string& version);
