#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "util/file_util.h"
#include "util/testing/scratch_dir.h"

namespace {

// Polls until done holds, within a bound meant for a broken case only.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A started program that runs until its pipe is written to.
struct Held {
  int pid = 0;
  std::string pipe;
  void Release() const {
    const int fd = open(pipe.c_str(), O_WRONLY);
    if (fd >= 0) close(fd);
    waitpid(pid, nullptr, 0);
  }
};

Held Start(const ScratchDir& dir, const std::string& pipe, const std::string& program,
           std::vector<std::string> args, const std::string& folder = "") {
  Held held{0, dir / pipe};
  EXPECT_EQ(mkfifo(held.pipe.c_str(), 0600), 0);
  platform::ProcessStart start;
  start.program = program;
  start.args = std::move(args);
  start.folder = folder;
  start.silent = true;
  EXPECT_EQ(platform::StartProcess(start, &held.pid), 0);
  return held;
}

// The update tool waits until no process runs the old launcher, whether it
// is a program or a script, and by whatever path it was started.
TEST(Process, IsProgramRunningFindsProgramsAndScriptsByTheirPath) {
  ScratchDir dir("process");
  const std::string reader = dir / "reader";
  ASSERT_TRUE(CopyPlainFile("/bin/cat", reader, false));
  ASSERT_EQ(symlink(reader.c_str(), (dir / "link").c_str()), 0);
  dir.Write("script.sh", "#!/bin/sh\ncat script.hold > /dev/null\n");
  ASSERT_TRUE(MakeExecutable(dir / "script.sh"));

  EXPECT_FALSE(platform::IsProgramRunning(reader));
  EXPECT_FALSE(platform::IsProgramRunning(dir / "script.sh"));
  EXPECT_FALSE(platform::IsProgramRunning(dir / "missing"));

  // A program: its executable, also when asked through a link to it.
  const Held program = Start(dir, "program.hold", reader, {dir / "program.hold"});
  ASSERT_TRUE(Eventually([&] { return platform::IsProgramRunning(reader); }));
  EXPECT_TRUE(platform::IsProgramRunning(dir / "link"));
  EXPECT_FALSE(platform::IsProgramRunning(dir / "script.sh"));
  program.Release();
  EXPECT_FALSE(platform::IsProgramRunning(reader)) << "ended and reaped";

  // A script, run by the interpreter, named relative to the folder it runs in.
  const Held script = Start(dir, "script.hold", "/bin/sh", {"script.sh"}, dir.path());
  ASSERT_TRUE(Eventually([&] { return platform::IsProgramRunning(dir / "script.sh"); }));
  EXPECT_FALSE(platform::IsProgramRunning(reader));
  script.Release();
  EXPECT_FALSE(platform::IsProgramRunning(dir / "script.sh"));
}

}  // namespace
