// The base address of the release folder on the update server. Every server
// path of the engine is appended to it unchanged.
//
// Thread-safety: set once at start-up (before any update thread exists) or by
// a test; read-only afterwards.
#pragma once

#include <string>

// Always ends with "/" once LoadReleaseBaseUrl or SetReleaseBaseUrl ran.
extern std::string releaseBaseUrl;

// The built-in default, overridden by the environment variable
// KESTRAVA_RELEASE_URL when set and not empty (staging servers, tests).
void LoadReleaseBaseUrl();

// Stores url with a trailing "/" added when missing.
void SetReleaseBaseUrl(const std::string& url);

// url with a trailing "/" added when missing; empty stays empty.
std::string WithTrailingSlash(std::string url);
