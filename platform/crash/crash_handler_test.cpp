// Crash reports of a program that crashes on purpose (crash_victim_main.cpp),
// checked the way support uses them: the folder, crash.log, and the dump
// opened in gdb and read with eu-readelf.
#include "platform/crash/crash_handler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "util/file_util.h"
#include "util/testing/scratch_dir.h"
#include "util/text_util.h"

extern char** environ;

namespace {

const std::string kVictim = KESTRAVA_CRASH_VICTIM;
const std::string kVictimSource = KESTRAVA_CRASH_VICTIM_SOURCE;
const std::string kVictimName = "crash_victim";

// The source line that carries the "fault: MODE" comment.
int FaultLine(const std::string& mode) {
  std::ifstream source(kVictimSource);
  int number = 0;
  for (std::string line; std::getline(source, line);) {
    ++number;
    if (line.find("// fault: " + mode) != std::string::npos) return number;
  }
  return -1;
}

// Test-side decoder of crash.log (ASCII content is enough for the tests).
std::string DecodeUtf16Le(const std::string& bytes) {
  std::string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    bool ascii = bytes[i + 1] == 0 && static_cast<unsigned char>(bytes[i]) < 0x80;
    text += ascii ? bytes[i] : '?';
  }
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  SplitString(text, "\n", lines);
  return lines;
}

std::string CommandOutput(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  pclose(pipe);
  return output;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// The names of the entries of a folder.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename());
  }
  return names;
}

std::string FolderNameAt(time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  char name[64];
  snprintf(name, sizeof name, "%s_%02d.%02d_%02d.%02d.%02d", kVictimName.c_str(), local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return name;
}

class CrashHandlerTest : public ::testing::Test {
 protected:
  // The victim runs from a folder of its own, as the launcher runs from the
  // game folder: crash folders go below it.
  void InstallVictim(bool withDebugFile) {
    ASSERT_TRUE(CopyPlainFile(kVictim, scratch / kVictimName, false));
    if (withDebugFile) {
      ASSERT_TRUE(CopyPlainFile(kVictim + ".debug", scratch / (kVictimName + ".debug"), false));
    }
  }

  // Runs the victim in the scratch folder and returns its wait status.
  int RunVictim(const std::string& mode) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, scratch.path().c_str());
    posix_spawn_file_actions_addopen(&actions, 1, (scratch / "victim.out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string program = scratch / kVictimName;
    char* argv[] = {program.data(), const_cast<char*>(mode.c_str()), nullptr};
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    if (spawned == 0) waitpid(pid, &status, 0);
    return status;
  }

  std::vector<std::string> CrashFolders() { return Names(scratch / "MiniDump"); }

  std::string Gdb(const std::string& folder) {
    return CommandOutput("gdb -batch -nx -iex 'set debuginfod enabled off' -ex bt '" + folder +
                         "/" + kVictimName + "' '" + folder + "/Minidump.dmp' 2>&1");
  }

  ScratchDir scratch{"crash"};
};

struct Mode {
  std::string name;
  std::string function;  // as crash.log and gdb name it
  bool innermost;        // it faults itself, rather than in a library it calls
  size_t threads;        // threads in the process when it crashes
};

void PrintTo(const Mode& mode, std::ostream* out) {
  *out << mode.name;
}

class CrashModeTest : public CrashHandlerTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(CrashModeTest, WritesFolderDumpCopiesAndLog) {
  const Mode& mode = GetParam();
  InstallVictim(true);
  time_t before = time(nullptr);
  int status = RunVictim(mode.name);
  time_t after = time(nullptr);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // One folder, named after the program and the local time of the crash.
  std::vector<std::string> folders = CrashFolders();
  ASSERT_EQ(folders.size(), 1u);
  std::set<std::string> possible;
  for (time_t t = before; t <= after; ++t) possible.insert(FolderNameAt(t));
  EXPECT_TRUE(possible.count(folders[0])) << folders[0];
  const std::string folder = scratch / ("MiniDump/" + folders[0]);
  const std::string relative = "MiniDump/" + folders[0] + "/";
  EXPECT_EQ(scratch.Read(relative + kVictimName), scratch.Read(kVictimName));
  EXPECT_EQ(scratch.Read(relative + kVictimName + ".debug"), scratch.Read(kVictimName + ".debug"));

  // crash.log: UTF-16LE without byte order mark, LF line ends, and the
  // faulting function with its file and line as the first frame of the
  // victim's source.
  std::string raw = scratch.Read(relative + "crash.log");
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw.size() % 2, 0u);
  EXPECT_NE(raw.substr(0, 2), "\xFF\xFE");
  std::string log = DecodeUtf16Le(raw);
  EXPECT_EQ(log.find('\r'), std::string::npos);
  EXPECT_EQ(log.back(), '\n');
  std::string expected =
      kVictimSource + " (" + std::to_string(FaultLine(mode.name)) + "): " + mode.function + "()";
  std::vector<std::string> lines = Lines(log);
  std::string firstOfOurs;
  for (const std::string& line : lines) {
    if (line.find(kVictimSource) == 0) {
      firstOfOurs = line;
      break;
    }
  }
  EXPECT_EQ(firstOfOurs, expected) << log;
  // The walk starts at the fault, not in the signal handler.
  if (mode.innermost) {
    EXPECT_EQ(lines[0], expected) << log;
  }
  EXPECT_EQ(log.find("OnFatalSignal"), std::string::npos) << log;

  // The day log holds the start line only.
  std::vector<std::string> logs = Names(scratch / "launcherlog");
  ASSERT_EQ(logs.size(), 1u);
  std::string dayLog = scratch.Read("launcherlog/" + logs[0]);
  EXPECT_EQ(Count(dayLog, "\r\n["), 1u);
  EXPECT_NE(dayLog.find("App Start"), std::string::npos);

  // The dump: gdb shows the faulting function on the faulting thread, and
  // every thread has its status note.
  std::string backtrace = Gdb(folder);
  std::string frame =
      mode.function + " () at " + kVictimSource + ":" + std::to_string(FaultLine(mode.name));
  size_t at = backtrace.find(frame);
  EXPECT_NE(at, std::string::npos) << backtrace;
  if (mode.innermost) {  // gdb's frame #0
    EXPECT_EQ(backtrace.rfind("#0 ", at), backtrace.rfind('#', at)) << backtrace;
  }
  EXPECT_EQ(backtrace.find("OnFatalSignal"), std::string::npos) << backtrace;
  std::string notes = CommandOutput("eu-readelf -n '" + folder + "/Minidump.dmp'");
  EXPECT_EQ(Count(notes, "PRSTATUS"), mode.threads) << notes;
}

INSTANTIATE_TEST_SUITE_P(Modes, CrashModeTest,
                         ::testing::Values(Mode{"null-write", "victim::NullWrite", true, 3},
                                           Mode{"abort", "victim::Abort", false, 3},
                                           Mode{"terminate", "victim::ThrowUncaught", false, 3},
                                           Mode{"thread-null-write", "victim::ThreadNullWrite",
                                                true, 4}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

TEST_F(CrashHandlerTest, WithoutDebugFileFramesNameTheModule) {
  InstallVictim(false);
  int status = RunVictim("null-write");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::vector<std::string> folders = CrashFolders();
  ASSERT_EQ(folders.size(), 1u);
  const std::string relative = "MiniDump/" + folders[0] + "/";
  std::vector<std::string> files = Names(scratch / relative);
  EXPECT_EQ(std::set<std::string>(files.begin(), files.end()),
            (std::set<std::string>{"Minidump.dmp", kVictimName, "crash.log"}));

  std::string log = DecodeUtf16Le(scratch.Read(relative + "crash.log"));
  EXPECT_EQ(log.find(kVictimSource), std::string::npos) << log;
  std::regex moduleForm("0x[0-9a-f]+ \\(" + kVictimName +
                        "\\): \\(filename not available\\): victim::NullWrite\\(\\)");
  EXPECT_TRUE(std::regex_search(log, moduleForm)) << log;
}

// A crash in the same second as an earlier one of the same program goes
// into the earlier one's folder. Folders for the coming seconds are laid
// out beforehand as an earlier crash would have left them, so the second
// crash meets one of them whenever it happens.
TEST_F(CrashHandlerTest, SameSecondReplacesDumpAndLogAndKeepsCopies) {
  InstallVictim(true);
  time_t now = time(nullptr);
  std::set<std::string> earlier;
  for (time_t t = now - 1; t <= now + 30; ++t) {
    std::string relative = "MiniDump/" + FolderNameAt(t) + "/";
    for (const char* file : {"Minidump.dmp", "crash.log", "crash_victim", "crash_victim.debug"}) {
      scratch.Write(relative + file, "earlier");
    }
    earlier.insert(FolderNameAt(t));
  }
  ASSERT_EQ(WEXITSTATUS(RunVictim("abort")), 0);
  std::vector<std::string> folders = CrashFolders();
  EXPECT_EQ(std::set<std::string>(folders.begin(), folders.end()), earlier);
  int replaced = 0;
  for (const std::string& name : folders) {
    const std::string relative = "MiniDump/" + name + "/";
    if (scratch.Read(relative + "crash.log") == "earlier") continue;
    ++replaced;
    EXPECT_NE(scratch.Read(relative + "Minidump.dmp"), "earlier");
    EXPECT_EQ(scratch.Read(relative + "crash_victim"), "earlier");
    EXPECT_EQ(scratch.Read(relative + "crash_victim.debug"), "earlier");
  }
  EXPECT_EQ(replaced, 1);
}

}  // namespace
