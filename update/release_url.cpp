#include "update/release_url.h"

#include <cstdlib>

#ifndef KESTRAVA_RELEASE_URL
#define KESTRAVA_RELEASE_URL "http://update.kestrava.example/360vozevo/__release__/"
#endif

std::string WithTrailingSlash(std::string url) {
  if (!url.empty() && url.back() != '/') url += '/';
  return url;
}

std::string DefaultReleaseBaseUrl() {
  const char* env = std::getenv("KESTRAVA_RELEASE_URL");
  return WithTrailingSlash(env != nullptr && *env != '\0' ? env : KESTRAVA_RELEASE_URL);
}
