#include "tools/updatetool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "diag/log.h"
#include "platform/crypto.h"
#include "platform/process.h"
#include "tools/archive_writer.h"
#include "update/file_list.h"
#include "update/md5.h"
#include "update/release_sig.h"
#include "update/self_update.h"
#include "update/types.h"
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

// Polls until done holds, within a bound meant for a broken case only.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A stand-in launcher that notes its start in "started" (in its folder,
// where the tool starts it).
std::string LauncherNoting(const std::string& name, const std::string& before = "") {
  return "#!/bin/sh\n" + before + "echo " + name + " >> started\n";
}

int LogCount(const ScratchDir& dir, const std::string& text) {
  const std::string log = dir.Read("tool.log");
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

// The player must always be left with a launcher that runs: the new one
// when it could be put in place, else the old one, told by the marker not
// to hand over again.
TEST(UpdateTool, StartsTheNewLauncherOrElseTheOldOne) {
  ScratchDir dir("updatetool");
  const std::string folder = dir.path() + "/";
  SetLogFile(dir / "tool.log");
  const std::string oldLauncher = LauncherNoting("old");
  const std::string newLauncher = LauncherNoting("new");

  // The archive does not hold what the list names: the old one runs again.
  dir.Write("Launcher.exe", oldLauncher);
  HandOver(dir, newLauncher, Md5Of("something else"));
  EXPECT_EQ(RunUpdateTool(folder, 30000, {}), 1);
  ASSERT_TRUE(Eventually([&] { return dir.Read("started") == "old\n"; })) << dir.Read("tool.log");
  EXPECT_EQ(dir.Read("Launcher.exe"), oldLauncher);
  EXPECT_EQ(LogCount(dir, "[Error] Replace Launcher Fail"), 1);
  EXPECT_EQ(LogCount(dir, "Old Launcher Started"), 1);
  EXPECT_TRUE(TakeLauncherNotReplaced(folder));
  EXPECT_FALSE(TakeLauncherNotReplaced(folder)) << "taken once";

  // Neither a new nor an old launcher to start: no marker is left behind
  // for a later start to trip over.
  std::filesystem::remove(dir / "Launcher.exe");
  dir.Write("Launcher.exe.7z", "not an archive");
  EXPECT_EQ(RunUpdateTool(folder, 30000, {}), 1);
  EXPECT_EQ(LogCount(dir, "[Error] Start Old Launcher Fail, ErrorCode :2"), 1);
  EXPECT_FALSE(TakeLauncherNotReplaced(folder));

  // Replaced: the new one starts, its archive is gone, no marker.
  std::filesystem::remove(dir / "started");
  dir.Write("Launcher.exe", oldLauncher);
  HandOver(dir, newLauncher, Md5Of(newLauncher));
  EXPECT_EQ(RunUpdateTool(folder, 30000, {}), 0);
  ASSERT_TRUE(Eventually([&] { return dir.Read("started") == "new\n"; })) << dir.Read("tool.log");
  EXPECT_EQ(dir.Read("Launcher.exe"), newLauncher);
  EXPECT_FALSE(std::filesystem::exists(dir / "Launcher.exe.7z"));
  EXPECT_FALSE(TakeLauncherNotReplaced(folder));
  EXPECT_EQ(LogCount(dir, "Replace Launcher Succeed"), 1);
  EXPECT_EQ(LogCount(dir, "Update Tool Stop ="), 1);

  // Replaced by something that cannot run: reported, exit code 1.
  const std::string broken = "no program at all";
  HandOver(dir, broken, Md5Of(broken));
  EXPECT_EQ(RunUpdateTool(folder, 30000, {}), 1);
  EXPECT_EQ(dir.Read("Launcher.exe"), broken);
  EXPECT_EQ(LogCount(dir, "[Error] Start Launcher Fail, ErrorCode :"), 1);
  EXPECT_EQ(LogCount(dir, "Update Tool Stop ="), 1);
}

// The old launcher ends on its own thread after it started the tool: the
// tool waits for it, and replaces it anyway when it does not end in time.
TEST(UpdateTool, WaitsForTheOldLauncherToEnd) {
  ScratchDir dir("updatetool");
  const std::string folder = dir.path() + "/";
  const std::string launcher = folder + "Launcher.exe";
  SetLogFile(dir / "tool.log");
  // The old launcher runs until the test writes to its pipe "hold".
  ASSERT_EQ(mkfifo((dir / "hold").c_str(), 0600), 0);
  dir.Write("Launcher.exe", LauncherNoting("old", "cat hold > /dev/null\n"));
  ASSERT_EQ(StartDetachedProgram(launcher, folder), 0);
  ASSERT_TRUE(Eventually([&] { return platform::IsProgramRunning(launcher); }));
  EXPECT_FALSE(WaitUntilNotRunning(launcher, 0));

  // Out of patience: replaced while the old one still runs.
  const std::string first = LauncherNoting("first");
  HandOver(dir, first, Md5Of(first));
  EXPECT_EQ(RunUpdateTool(folder, 0, {}), 0);
  EXPECT_EQ(LogCount(dir, "[Error] Launcher Still Running, Replace It Anyway"), 1);
  EXPECT_EQ(dir.Read("Launcher.exe"), first);
  ASSERT_TRUE(Eventually([&] { return dir.Read("started") == "first\n"; }));

  // Patient: nothing is replaced until the old one (still counted by its
  // path) has ended.
  ASSERT_TRUE(platform::IsProgramRunning(launcher));
  const std::string second = LauncherNoting("second");
  HandOver(dir, second, Md5Of(second));
  auto tool = std::async(std::launch::async, [&] { return RunUpdateTool(folder, 60000, {}); });
  ASSERT_TRUE(Eventually([&] { return LogCount(dir, "Update Tool Start =") == 2; }));
  EXPECT_EQ(dir.Read("Launcher.exe"), first);
  int hold = open((dir / "hold").c_str(), O_WRONLY);
  ASSERT_GE(hold, 0);
  close(hold);
  EXPECT_EQ(tool.get(), 0);
  EXPECT_EQ(LogCount(dir, "[Error] Launcher Still Running, Replace It Anyway"), 1);
  EXPECT_EQ(dir.Read("Launcher.exe"), second);
  EXPECT_TRUE(Eventually([&] { return dir.Read("started") == "first\nold\nsecond\n"; }))
      << dir.Read("started");
}

// The tool reads the launcher's list as the launcher did: a list it cannot
// read, one beyond the size a list may have, or one that names the launcher
// without a digest to check it by, replaces nothing; the old launcher runs
// again, told not to hand over at once.
TEST(UpdateTool, AListThatCannotBeCheckedKeepsTheOldLauncher) {
  ScratchDir dir("updatetool");
  const std::string folder = dir.path() + "/";
  SetLogFile(dir / "tool.log");
  const std::string oldLauncher = LauncherNoting("old");
  const std::string newLauncher = LauncherNoting("new");
  dir.Write("Launcher.exe", oldLauncher);
  const std::string list = "LauncherConfig/update/LaunUpdate.xml";
  FileListForm form;
  form.zipAttribute = false;
  form.zipSize = ZipSizeAttribute::kAlways;
  const std::string good =
      FileListText({FileEntry{"Launcher.exe", Md5Of(newLauncher), 1, 0, 1}}, form);
  const struct {
    std::string list;
    std::string logged;
  } cases[] = {
      {"<Filelist><Files><File Path=\"Launcher.exe\"", "[Error] Read LaunUpdate.xml False"},
      {good + "<!--" + std::string(kSmallFileLimit, ' ') + "-->",
       "bytes, more than the 4194304 a list may have"},
      {FileListText({FileEntry{"Launcher.exe", "", 1, 0, 1}}, form),
       "[Error] LaunUpdate.xml Gives Launcher.exe No MD5 Code []"},
  };
  int runs = 0;
  for (const auto& c : cases) {
    HandOver(dir, newLauncher, Md5Of(newLauncher));
    dir.Write(list, c.list);
    EXPECT_EQ(RunUpdateTool(folder, 30000, {}), 1) << c.logged;
    ++runs;
    std::string started;
    for (int i = 0; i < runs; ++i) started += "old\n";
    ASSERT_TRUE(Eventually([&] { return dir.Read("started") == started; })) << c.logged;
    EXPECT_EQ(dir.Read("Launcher.exe"), oldLauncher);
    EXPECT_FALSE(std::filesystem::exists(dir / "Launcher.exe.new"));
    EXPECT_EQ(LogCount(dir, c.logged), 1) << dir.Read("tool.log");
    EXPECT_EQ(LogCount(dir, "[Error] Replace Launcher Fail"), runs);
    EXPECT_TRUE(TakeLauncherNotReplaced(folder)) << c.logged;
  }

  // Without a list there is nothing to check against: replaced, as before.
  std::filesystem::remove(dir / list);
  EXPECT_EQ(RunUpdateTool(folder, 30000, {}), 0);
  EXPECT_EQ(dir.Read("Launcher.exe"), newLauncher);
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
