#include "update/release_url.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(ReleaseUrl, EnvironmentOverridesDefaultAndSlashIsAddedOnlyWhenMissing) {
  unsetenv("KESTRAVA_RELEASE_URL");
  const std::string builtIn = DefaultReleaseBaseUrl();
  EXPECT_EQ(builtIn.back(), '/');

  setenv("KESTRAVA_RELEASE_URL", "http://127.0.0.1:8080/rel", 1);
  EXPECT_EQ(DefaultReleaseBaseUrl(), "http://127.0.0.1:8080/rel/");
  setenv("KESTRAVA_RELEASE_URL", "  http://a/rel \thttp://b/rel/ ", 1);
  EXPECT_EQ(DefaultReleaseBaseUrl(), "http://a/rel/ http://b/rel/");
  setenv("KESTRAVA_RELEASE_URL", "", 1);  // empty means not set
  EXPECT_EQ(DefaultReleaseBaseUrl(), builtIn);
  unsetenv("KESTRAVA_RELEASE_URL");

  EXPECT_EQ(WithTrailingSlash("http://h/a/"), "http://h/a/");
  EXPECT_EQ(WithTrailingSlash("http://h/a"), "http://h/a/");
  EXPECT_EQ(WithTrailingSlash(""), "");
}

TEST(ReleaseUrl, SeveralAddressesKeepTheirOrderOnceEach) {
  EXPECT_EQ(ParseReleaseUrls("http://h/a"), (std::vector<std::string>{"http://h/a/"}));
  EXPECT_EQ(ParseReleaseUrls("https://cdn-a/rel/ https://cdn-b/rel  https://cdn-a/rel"),
            (std::vector<std::string>{"https://cdn-a/rel/", "https://cdn-b/rel/"}));
  EXPECT_TRUE(ParseReleaseUrls(" \t ").empty());
}
