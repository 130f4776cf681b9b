#include "update/release_trust.h"

#include <gtest/gtest.h>

#include "platform/crypto.h"
#include "util/testing/scratch_dir.h"

namespace {

// A release.sig of `serial` that signs one file, update.xml, with `content`.
std::string SignedRelease(const std::string& pem, uint64_t serial, const std::string& content) {
  platform::Sha256 digest;
  digest.Update(content.data(), content.size());
  ReleaseManifest m;
  m.version = "v" + std::to_string(serial);
  m.serial = serial;
  m.files["LauncherConfig/update.xml"] = {digest.HexDigest(), static_cast<int64_t>(content.size())};
  std::string text, error;
  EXPECT_TRUE(SignManifest(m, pem, &text, &error)) << error;
  return text;
}

TEST(ReleaseTrust, ChecksFilesAgainstTheAcceptedReleaseAndRefusesOlderOnes) {
  ScratchDir dir("trust");
  const std::string folder = dir.path() + "/";
  std::string pem, key, otherPem, otherKey, error;
  ASSERT_TRUE(platform::GenerateEd25519Key(&pem, &key));
  ASSERT_TRUE(platform::GenerateEd25519Key(&otherPem, &otherKey));
  const std::string list = dir.Write("update.xml", "<root/>");

  ReleaseTrust unsigned_(folder, {});
  EXPECT_FALSE(unsigned_.enabled());
  EXPECT_TRUE(unsigned_.CheckFile("anything", folder + "missing", "", &error));

  ReleaseTrust trust(folder, {otherKey, key});
  EXPECT_FALSE(trust.CheckFile("LauncherConfig/update.xml", list, "", &error));
  EXPECT_EQ(error, "no verified release.sig");
  ASSERT_TRUE(trust.Accept(SignedRelease(pem, 5, "<root/>"), &error)) << error;
  EXPECT_EQ(trust.AcceptedSerial(), 5u);
  EXPECT_EQ(dir.Read("LauncherConfig/release.serial"), "5\n");
  EXPECT_TRUE(trust.CheckFile("LauncherConfig/update.xml", list, "", &error)) << error;
  // A digest taken during the transfer is believed instead of the file.
  EXPECT_FALSE(trust.CheckFile("LauncherConfig/update.xml", list, std::string(64, '0'), &error));
  EXPECT_FALSE(trust.CheckFile("url.xml", list, "", &error));
  EXPECT_EQ(error, "it is not signed");
  dir.Write("update.xml", "<root/ ");  // same size, other bytes
  EXPECT_FALSE(trust.CheckFile("LauncherConfig/update.xml", list, "", &error));
  EXPECT_EQ(error, "its SHA-256 differs from the signed one");
  dir.Write("update.xml", "<root/>\n");
  EXPECT_FALSE(trust.CheckFile("LauncherConfig/update.xml", list, "", &error));
  EXPECT_EQ(error, "its size is 8, signed 7");

  // The same release again and the next one pass; an older one, even with
  // a valid signature, does not, and leaves nothing to check against.
  EXPECT_TRUE(trust.Accept(SignedRelease(pem, 5, "<root/>\n"), &error)) << error;
  EXPECT_TRUE(trust.CheckFile("LauncherConfig/update.xml", list, "", &error)) << error;
  EXPECT_TRUE(trust.Accept(SignedRelease(otherPem, 6, "x"), &error)) << error;
  EXPECT_FALSE(trust.Accept(SignedRelease(pem, 4, "<root/>\n"), &error));
  EXPECT_EQ(error, "its serial 4 is older than the serial 6 accepted before");
  EXPECT_FALSE(trust.CheckFile("LauncherConfig/update.xml", list, "", &error));
  EXPECT_EQ(ReleaseTrust(folder, {key}).AcceptedSerial(), 6u);  // kept on disk

  std::string stranger, strangerKey;
  ASSERT_TRUE(platform::GenerateEd25519Key(&stranger, &strangerKey));
  EXPECT_FALSE(trust.Accept(SignedRelease(stranger, 7, "x"), &error));
  EXPECT_EQ(trust.AcceptedSerial(), 6u);
}

}  // namespace
