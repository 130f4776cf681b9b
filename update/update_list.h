// The launcher's version file "Launch.conf" and the client version it holds.
// The update-list step itself (GetUpdateList and its two variants) is a
// member of CVXDlownloader, defined in update_list.cpp.
//
// Thread-safety: clientVersion is written at start-up and then only by the
// thread that runs an update pass; readers on other threads take a copy.
#pragma once

#include <string>

// The release version last announced by the server (UTF-8), shown by the
// window; empty until LoadLaunchConf found one.
extern std::string clientVersion;

// Reads folder + "Launch.conf" into clientVersion; anything missing leaves it
// empty. Also sets releaseBaseUrl to its default (see release_url.h).
void LoadLaunchConf(const std::string& folder);

// Stores v and rewrites folder + "Launch.conf" when v differs from the
// stored version.
void SetClientVersion(const std::string& folder, const std::string& v);

// Writes clientVersion to folder + "Launch.conf" (temporary name, renamed).
bool SaveLaunchConf(const std::string& folder);
