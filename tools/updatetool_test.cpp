#include "tools/updatetool.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/crypto.h"
#include "update/archive.h"
#include "update/file_list.h"
#include "update/md5.h"
#include "update/release_sig.h"
#include "util/testing/scratch_dir.h"

namespace {

std::string Md5Of(const std::string& data) {
  Md5Context md5;
  md5.Update(data.data(), data.size());
  return md5.HexDigest();
}

// Leaves what the launcher leaves for the tool: the new launcher's archive
// and the list naming it (with the code `listed`).
void HandOver(const ScratchDir& dir, const std::string& launcher, const std::string& listed) {
  std::string why;
  ASSERT_TRUE(
      PackSevenZip(dir / "Launcher.exe.7z", {{"Launcher.exe", "", launcher}}, 1, nullptr, &why))
      << why;
  FileListForm form;
  form.zipAttribute = false;
  form.zipSize = ZipSizeAttribute::kAlways;
  const FileEntry entry{"Launcher.exe", listed, static_cast<int64_t>(launcher.size()), 0, 1};
  dir.Write("LauncherConfig/update/LaunUpdate.xml", FileListText({entry}, form));
}

// The release.sig the launcher verified, signing the hand-over as it is now.
void Sign(const ScratchDir& dir, const std::string& pem) {
  ReleaseManifest m;
  m.version = "2";
  m.serial = 2;
  const std::pair<const char*, std::string> files[] = {
      {"ZEPLauncherUpdate/LaunUpdate.xml", dir / "LauncherConfig/update/LaunUpdate.xml"},
      {"ZEPLauncherUpdate/Launcher.exe.7z", dir / "Launcher.exe.7z"}};
  for (const auto& [path, local] : files) {
    ASSERT_TRUE(platform::Sha256OfFile(local, &m.files[path].sha256, &m.files[path].size));
  }
  std::string text, why;
  ASSERT_TRUE(SignManifest(m, pem, &text, &why)) << why;
  dir.Write("LauncherConfig/update/release.sig", text);
}

TEST(UpdateTool, WithKeysOnlyTheSignedLauncherReplacesTheOldOne) {
  ScratchDir dir("updatetool");
  const std::string folder = dir.path() + "/";
  std::string pem, key, strangerPem, strangerKey;
  ASSERT_TRUE(platform::GenerateEd25519Key(&pem, &key));
  ASSERT_TRUE(platform::GenerateEd25519Key(&strangerPem, &strangerKey));
  const std::string genuine = "#!/bin/sh\n# launcher 2\n";
  const std::string forged = "#!/bin/sh\n# forged\n";
  dir.Write("Launcher.exe", "old");

  // A forged launcher with a list to match: unsigned, signed by a key the
  // tool does not trust, or beside the genuine signature of other files.
  HandOver(dir, forged, Md5Of(forged));
  EXPECT_FALSE(ReplaceLauncher(folder, {key}));
  Sign(dir, strangerPem);
  EXPECT_FALSE(ReplaceLauncher(folder, {key}));
  HandOver(dir, genuine, Md5Of(genuine));
  Sign(dir, pem);
  HandOver(dir, forged, Md5Of(forged));
  EXPECT_FALSE(ReplaceLauncher(folder, {key}));
  EXPECT_EQ(dir.Read("Launcher.exe"), "old");
  EXPECT_FALSE(std::filesystem::exists(dir / "Launcher.exe.new"));

  // Without keys the list alone decides, as it always did.
  EXPECT_TRUE(ReplaceLauncher(folder, {}));
  EXPECT_EQ(dir.Read("Launcher.exe"), forged);

  HandOver(dir, genuine, Md5Of(genuine));
  EXPECT_TRUE(ReplaceLauncher(folder, {strangerKey, key}));
  EXPECT_EQ(dir.Read("Launcher.exe"), genuine);
}

}  // namespace
