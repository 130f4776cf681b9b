#include "update/release_sig.h"

#include <gtest/gtest.h>

#include "platform/crypto.h"

namespace {

struct Key {
  std::string pem, raw;
};

Key FreshKey() {
  Key k;
  EXPECT_TRUE(platform::GenerateEd25519Key(&k.pem, &k.raw));
  return k;
}

ReleaseManifest Sample() {
  ReleaseManifest m;
  m.version = "1.4.3 beta";
  m.serial = 8;
  m.files["LauncherConfig/update.xml"] = {std::string(64, 'a'), 120};
  m.files["data 2.7z"] = {std::string(64, '0'), 0};  // a blank in a path is allowed
  return m;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(ReleaseSig, SignedManifestRoundTripsAndOnlyItsKeysVerifyIt) {
  const Key a = FreshKey(), b = FreshKey(), stranger = FreshKey();
  std::string text, error;
  ASSERT_TRUE(SignManifest(Sample(), a.pem, &text, &error)) << error;
  EXPECT_EQ(text.rfind(ManifestBody(Sample()), 0), 0u);  // the body comes first, as written
  EXPECT_NE(text.find("\nfile " + std::string(64, '0') + " 0 data 2.7z\n"), std::string::npos);

  ReleaseManifest read;
  ASSERT_TRUE(VerifyManifest(text, {b.raw, a.raw}, &read, &error)) << error;  // either key
  EXPECT_EQ(read.version, "1.4.3 beta");
  EXPECT_EQ(read.serial, 8u);
  ASSERT_EQ(read.files.size(), 2u);
  EXPECT_EQ(read.files["LauncherConfig/update.xml"].size, 120);
  EXPECT_EQ(read.files["data 2.7z"].sha256, std::string(64, '0'));

  EXPECT_FALSE(VerifyManifest(text, {stranger.raw}, &read, &error));
  EXPECT_EQ(error, "the signature is not by a trusted key");
  EXPECT_FALSE(VerifyManifest(text, {}, &read, &error));
  // A mistyped key reads as an empty key and verifies nothing.
  const std::vector<std::string> keys =
      ParseKeyList(platform::Base64Encode(a.raw) + ", not-a-key " + platform::Base64Encode(b.raw));
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0], a.raw);
  EXPECT_EQ(keys[1], "");
  EXPECT_EQ(keys[2], b.raw);
  EXPECT_FALSE(VerifyManifest(text, {keys[1]}, &read, &error));

  // Each signed value, changed, breaks the signature; the publisher can
  // still read the serial without a key.
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"serial 8", "serial 9"}, {" 120 ", " 121 "}, {"1.4.3", "1.4.4"}}) {
    EXPECT_FALSE(VerifyManifest(Replace(text, from, to), {a.raw}, &read, &error)) << to;
  }
  ASSERT_TRUE(ParseManifest(Replace(text, "serial 8", "serial 9"), &read, &error));
  EXPECT_EQ(read.serial, 9u);

  // What cannot be written on one line is not signed.
  ReleaseManifest bad = Sample();
  bad.version = "1\nfile x";
  EXPECT_FALSE(SignManifest(bad, a.pem, &text, &error));
  bad = Sample();
  bad.files["../outside"] = {std::string(64, 'a'), 1};
  EXPECT_FALSE(SignManifest(bad, a.pem, &text, &error));
  EXPECT_FALSE(SignManifest(Sample(), "not a key", &text, &error));
}

TEST(ReleaseSig, MalformedFilesAreRefusedWithTheLineAtFault) {
  const Key a = FreshKey();
  std::string good, error;
  ASSERT_TRUE(SignManifest(Sample(), a.pem, &good, &error));
  const std::string sig = good.substr(good.find("signature "));
  const std::string hash = std::string(64, 'a');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "it does not end with a line feed"},
      {good.substr(0, good.size() - 1), "it does not end with a line feed"},
      {Replace(good, "kestrava-release-sig 1", "kestrava-release-sig 2"),
       "it is not a release signature file"},
      {Replace(good, "version ", "versio "), "line 2: no version"},
      {Replace(good, "serial 8", "serial -8"), "line 3: no serial number"},
      {Replace(good, "serial 8", "serial 1234567890123456789"), "line 3: no serial number"},
      {Replace(good, hash, hash.substr(1)), "line 4: malformed or repeated file"},
      {Replace(good, hash, std::string(64, 'A')), "line 4: malformed or repeated file"},
      {Replace(good, " 120 ", " 12x "), "line 4: malformed or repeated file"},
      {Replace(good, "update.xml", "../update.xml"), "line 4: malformed or repeated file"},
      {Replace(good, "data 2.7z", "LauncherConfig/update.xml"),
       "line 5: malformed or repeated file"},
      {Replace(good, "file ", "fil "), "line 4: unknown line"},
      {good.substr(0, good.find("signature ")), "no signature line"},
      {good + "file " + hash + " 1 x\n", "line 7: text after the signature"},
  };
  ReleaseManifest read;
  for (const auto& [text, why] : cases) {
    EXPECT_FALSE(ParseManifest(text, &read, &error)) << text;
    EXPECT_EQ(error, why) << text;
    EXPECT_FALSE(VerifyManifest(text, {a.raw}, &read, &error)) << text;
  }
  EXPECT_FALSE(VerifyManifest(Replace(good, sig, "signature AAAA\n"), {a.raw}, &read, &error));
  EXPECT_FALSE(VerifyManifest(Replace(good, sig, "signature %%%%\n"), {a.raw}, &read, &error));
  EXPECT_EQ(error, "malformed signature");
}

}  // namespace
