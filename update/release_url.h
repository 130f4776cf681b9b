// The base addresses of the release folder on the update server. Every
// server path of the engine is appended to one of them unchanged. An
// operator behind a CDN or mirrors names several, separated by spaces, in
// order of preference; the engine keeps them in its MirrorSet.
#pragma once

#include <string>
#include <vector>

// The built-in default, overridden by the environment variable
// KESTRAVA_RELEASE_URL when set and not empty (staging servers, tests);
// each address ends with "/", several are separated by one space.
std::string DefaultReleaseBaseUrl();

// The addresses of a space-separated list, in their order, each ending with
// "/"; tabs and repeated spaces separate too, duplicates are kept once.
std::vector<std::string> ParseReleaseUrls(const std::string& text);

// url with a trailing "/" added when missing; empty stays empty.
std::string WithTrailingSlash(std::string url);
