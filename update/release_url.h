// The base address of the release folder on the update server. Every server
// path of the engine is appended to it unchanged; the engine holds the one in
// use (CVXDlownloader::releaseBaseUrl).
#pragma once

#include <string>

// The built-in default, overridden by the environment variable
// KESTRAVA_RELEASE_URL when set and not empty (staging servers, tests);
// always ends with "/".
std::string DefaultReleaseBaseUrl();

// url with a trailing "/" added when missing; empty stays empty.
std::string WithTrailingSlash(std::string url);
