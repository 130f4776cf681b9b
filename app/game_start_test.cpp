#include "app/game_start.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "util/testing/scratch_dir.h"

namespace {

bool IsExecutable(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 0111) == 0111;
}

// Files arrive from the server without modes: every kind of game gets its
// execute bits; a Windows image goes through the runner with its path and
// the command line unsplit; a missing file or runner gives a reason.
TEST(GameStart, ChoosesHowEachKindOfGameStarts) {
  ScratchDir dir("game-start");
  const std::string native = dir.Write("Kestrava.exe", "#!/bin/sh\nexit 0\n");
  const std::string windows = dir.Write("KestravaMini.exe", std::string("MZ\x90\0\3", 5));
  const std::string runner = dir.Write("bin/my-wine", "#!/bin/sh\n");
  chmod(runner.c_str(), 0755);
  const std::string line = "abc def&xyz";

  GameCommand command;
  std::string reason;
  ASSERT_TRUE(PrepareGameCommand(native, line, "", &command, &reason)) << reason;
  EXPECT_EQ(command.program, native);
  EXPECT_EQ(command.args, std::vector<std::string>{line});
  EXPECT_TRUE(IsExecutable(native));

  ASSERT_TRUE(PrepareGameCommand(windows, line, runner, &command, &reason)) << reason;
  EXPECT_EQ(command.program, runner);
  EXPECT_EQ(command.args, (std::vector<std::string>{windows, line}));
  EXPECT_TRUE(IsExecutable(windows));

  // A bare name is looked up on PATH, the default runner as well.
  const std::string oldPath = getenv("PATH");
  setenv("PATH", (dir.path() + "/none:" + dir.path() + "/bin").c_str(), 1);
  ASSERT_TRUE(PrepareGameCommand(windows, line, "my-wine", &command, &reason)) << reason;
  EXPECT_EQ(command.program, dir.path() + "/bin/my-wine");
  EXPECT_FALSE(PrepareGameCommand(windows, line, "", &command, &reason));
  EXPECT_NE(reason.find("wine was not found"), std::string::npos) << reason;
  setenv("PATH", oldPath.c_str(), 1);

  EXPECT_FALSE(PrepareGameCommand(windows, line, dir.path() + "/bin/none", &command, &reason));
  EXPECT_NE(reason.find("bin/none was not found"), std::string::npos) << reason;
  // A runner that is not executable is no runner.
  chmod(runner.c_str(), 0644);
  EXPECT_FALSE(PrepareGameCommand(windows, line, runner, &command, &reason));
  EXPECT_FALSE(PrepareGameCommand(dir / "missing.exe", line, "", &command, &reason));
  EXPECT_NE(reason.find("No such file"), std::string::npos) << reason;
}

}  // namespace
