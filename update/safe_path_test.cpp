#include "update/safe_path.h"

#include <gtest/gtest.h>

TEST(SafePath, RefusesPathsThatLeaveTheFolder) {
  for (const char* bad : {"", "/etc/passwd", "\\x", "..", "../x", "a/../../x", "a\\..\\x", "a/..",
                          "C:/Windows/x", "c:x"}) {
    EXPECT_FALSE(IsSafeRelativePath(bad)) << bad;
  }
  // Names too long to be created anywhere.
  EXPECT_FALSE(IsSafeRelativePath(std::string(256, 'x')));
  EXPECT_TRUE(IsSafeRelativePath(std::string(255, 'x')));
  std::string deep;
  while (deep.size() <= 3072) deep += std::string(200, 'd') + "/";
  EXPECT_FALSE(IsSafeRelativePath(deep + "f"));
}

TEST(SafePath, AcceptsOrdinaryRelativePaths) {
  for (const char* good : {"a", "data/a.dat", "a..b/c", "...", "x/.hidden", "./a", "a//b"}) {
    EXPECT_TRUE(IsSafeRelativePath(good)) << good;
  }
}

TEST(SafePath, InsideFolderNeedsThePrefixAndASafeRest) {
  EXPECT_TRUE(IsInsideFolder("/g/", "/g/data/a"));
  EXPECT_FALSE(IsInsideFolder("/g/", "/g/"));
  EXPECT_FALSE(IsInsideFolder("/g/", "/h/a"));
  EXPECT_FALSE(IsInsideFolder("/g/", "/g/../h"));
}
