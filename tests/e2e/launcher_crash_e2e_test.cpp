// A crash of the real launcher with its window and page up, the way support
// then meets it: the crash folder opened in gdb and crash.log read. The web
// view's module is loaded from inside the executable, so the names the dump
// carries for it must not lead gdb anywhere it can hang.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/launcher_case.h"
#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"
#include "tests/e2e/update_e2e_support.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

const char kTitle[] = "Kestrava launcher";

std::string Launcher() {
  return BinDir() + "/kestrava-launcher";
}

// What a command printed (stdout and stderr) and its wait status.
struct CommandResult {
  std::string output;
  int status = -1;
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
  result.status = pclose(pipe);
  return result;
}

// Test-side decoder of crash.log (ASCII content is enough here).
std::string DecodeUtf16Le(const std::string& bytes) {
  std::string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const bool ascii = bytes[i + 1] == 0 && static_cast<unsigned char>(bytes[i]) < 0x80;
    text += ascii ? bytes[i] : '?';
  }
  return text;
}

// True when a child of `parent` runs under a name that starts with `name`.
bool HasChildNamed(pid_t parent, const std::string& name) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string stat = ReadFile(entry.path().string() + "/stat");
    // "PID (COMM) S PPID ...": the name may hold spaces, so the fields
    // after it are found from the last ")".
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent) continue;
    if (stat.compare(open + 1, name.size(), name) == 0) return true;
  }
  return false;
}

// The paths that end the rows of gdb's "info sharedlibrary" table.
std::vector<std::string> LibraryPaths(const std::string& gdbOutput) {
  std::vector<std::string> paths;
  const size_t table = gdbOutput.find("Shared Object Library");
  if (table == std::string::npos) return paths;
  std::istringstream rows(gdbOutput.substr(table));
  std::string row;
  std::getline(rows, row);  // the heading
  while (std::getline(rows, row)) {
    if (row.empty() || row[0] == '(') break;  // the table's footnote
    const size_t at = row.find(" /");
    if (at != std::string::npos) paths.push_back(row.substr(at + 1));
  }
  return paths;
}

// The first folder the launcher puts the short-lived link to its web view
// module in, as it picks it from the environment it inherits from us.
std::string LinkFolder() {
  for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = getenv(variable);
    if (value && *value) return value;
  }
  return "/tmp";
}

// A pid no process has now: that of a child that has ended.
pid_t EndedPid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename());
  }
  return names;
}

class LauncherCrashE2e : public LauncherCase {
 protected:
  LauncherCrashE2e() : LauncherCase("launcher-crash-") {}

  // A release that carries this very launcher (so that it does not replace
  // itself) and the sample page, installed with the patcher.
  void PublishAndInstall() {
    const std::string game = work_ + "/game";
    WriteGame(game, SampleGame(11));
    fs::copy_file(Launcher(), game + "/Launcher.exe");
    fs::copy_file(BinDir() + "/updatetool", game + "/Launcher.dat");
    ASSERT_EQ(Publish(game, base_ + "rel", "1.0"), 0);
    WriteFile(base_ + "rel/web/index.html",
              ReadFile(std::string(KESTRAVA_SOURCE_DIR) + "/tools/sample_page/index.html"));
    fs::copy_file(Launcher(), install_ + "/Launcher.exe");
    ASSERT_EQ(Update(install_, Url()), 0) << ReadFile(work_ + "/update.out");
  }
  std::string Url() const { return server_.Url(name_ + "/rel/"); }

};

TEST_F(LauncherCrashE2e, ADumpWithThePageLoadedOpensInGdbAndNamesOurFrames) {
  PublishAndInstall();
  // What a launcher that ended while it loaded the module leaves behind.
  const std::string leftover = LinkFolder() + "/kestrava-webview-e2e" + std::to_string(getpid());
  fs::create_directories(leftover);
  fs::create_symlink("/proc/" + std::to_string(EndedPid()) + "/fd/6",
                     leftover + "/kestrava_webkit_view.so");
  LauncherProcess launcher(display_, install_, Url());
  ASSERT_TRUE(WaitFor([&] { return display_.FindWindow(kTitle) != 0; }));
  ASSERT_TRUE(WaitFor([&] { return LogCount(install_, "Set Complete photo") >= 1; }));
  // The page is up once the module is mapped and WebKit's web process runs.
  const std::string maps = "/proc/" + std::to_string(launcher.pid()) + "/maps";
  ASSERT_TRUE(
      WaitFor([&] { return ReadFile(maps).find("kestrava_webkit_view") != std::string::npos; }));
  ASSERT_TRUE(WaitFor([&] { return HasChildNamed(launcher.pid(), "WebKitWebProces"); }));
  ASSERT_TRUE(WaitFor([&] { return !server_.LogLinesFor(name_ + "/rel/web/index.html").empty(); }));

  EXPECT_FALSE(fs::exists(fs::symlink_status(leftover))) << leftover;

  ASSERT_EQ(kill(launcher.pid(), SIGSEGV), 0);
  EXPECT_EQ(launcher.Wait(), 0);
  const std::vector<std::string> folders = Names(install_ + "/MiniDump");
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(folders[0].rfind("Launcher.exe_", 0), 0u) << folders[0];
  const std::string folder = install_ + "/MiniDump/" + folders[0];

  // gdb returns (timeout's 137 is a gdb it had to kill), and shows the
  // faulting thread's stack.
  const std::string gdbCommand =
      "timeout -s KILL 60 gdb -batch -nx -iex 'set debuginfod enabled off'";
  const CommandResult gdb = RunCommand(gdbCommand + " -ex bt -ex 'info sharedlibrary' '" + folder +
                                       "/Launcher.exe' '" + folder + "/Minidump.dmp'");
  ASSERT_TRUE(WIFEXITED(gdb.status) && WEXITSTATUS(gdb.status) != 137)
      << "gdb did not return: status " << gdb.status << "\n"
      << gdb.output;
  for (const char* frame : {"#0 ", "#1 ", "#2 "}) {
    EXPECT_NE(gdb.output.find(frame), std::string::npos) << frame << "\n" << gdb.output;
  }
  EXPECT_NE(gdb.output.find("RunMessageLoop"), std::string::npos) << gdb.output;
  // Every library the dump names is a plain file or nothing at all, here or
  // wherever it is opened later.
  const std::vector<std::string> libraries = LibraryPaths(gdb.output);
  EXPECT_GT(libraries.size(), 10u) << gdb.output;
  bool moduleNamed = false;
  for (const std::string& path : libraries) {
    // The web view module's name existed only while it was loaded.
    if (path.find("kestrava_webkit_view") != std::string::npos) {
      moduleNamed = true;
      EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
    }
    struct stat st {};
    EXPECT_TRUE(stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) << path;
    EXPECT_NE(path.rfind("/proc/", 0), 0u) << path;
  }
  EXPECT_TRUE(moduleNamed) << gdb.output;

  // crash.log walks from the signal, wherever in the loop it came, out to
  // the launcher's own message loop and main.
  const std::string log = DecodeUtf16Le(ReadFile(folder + "/crash.log"));
  EXPECT_NE(log.find("(Launcher.exe): (filename not available): platform::RunMessageLoop("),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("(Launcher.exe): (filename not available): main\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("/proc/"), std::string::npos) << log;
}

}  // namespace
