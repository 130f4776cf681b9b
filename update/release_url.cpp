#include "update/release_url.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#ifndef KESTRAVA_RELEASE_URL
#define KESTRAVA_RELEASE_URL "http://update.kestrava.example/360vozevo/__release__/"
#endif

std::string WithTrailingSlash(std::string url) {
  if (!url.empty() && url.back() != '/') url += '/';
  return url;
}

std::vector<std::string> ParseReleaseUrls(const std::string& text) {
  std::vector<std::string> urls;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    word = WithTrailingSlash(word);
    if (std::find(urls.begin(), urls.end(), word) == urls.end()) urls.push_back(word);
  }
  return urls;
}

std::string DefaultReleaseBaseUrl() {
  const char* env = std::getenv("KESTRAVA_RELEASE_URL");
  std::string joined;
  for (const std::string& url :
       ParseReleaseUrls(env != nullptr && *env != '\0' ? env : KESTRAVA_RELEASE_URL)) {
    joined += (joined.empty() ? "" : " ") + url;
  }
  return joined;
}
