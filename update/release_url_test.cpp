#include "update/release_url.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(ReleaseUrl, EnvironmentOverridesDefaultAndGetsTrailingSlash) {
  unsetenv("KESTRAVA_RELEASE_URL");
  LoadReleaseBaseUrl();
  std::string builtIn = releaseBaseUrl;
  EXPECT_EQ(builtIn.back(), '/');

  setenv("KESTRAVA_RELEASE_URL", "http://127.0.0.1:8080/rel", 1);
  LoadReleaseBaseUrl();
  EXPECT_EQ(releaseBaseUrl, "http://127.0.0.1:8080/rel/");

  setenv("KESTRAVA_RELEASE_URL", "", 1);  // empty means not set
  LoadReleaseBaseUrl();
  EXPECT_EQ(releaseBaseUrl, builtIn);
  unsetenv("KESTRAVA_RELEASE_URL");
}

TEST(ReleaseUrl, SlashAddedOnlyWhenMissing) {
  EXPECT_EQ(WithTrailingSlash("http://h/a/"), "http://h/a/");
  EXPECT_EQ(WithTrailingSlash("http://h/a"), "http://h/a/");
  EXPECT_EQ(WithTrailingSlash(""), "");
}
