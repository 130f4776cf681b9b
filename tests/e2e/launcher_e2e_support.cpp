#include "tests/e2e/launcher_e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/update_e2e_support.h"

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {
namespace {

// Our environment with `changes` ("NAME=value") replacing what they name.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& c : changes)
      replaced |= entry.compare(0, c.find('=') + 1, c, 0, c.find('=') + 1) == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), changes.begin(), changes.end());
  return env;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& folder, const std::string& output, int extraFd = -1) {
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string out = output.empty() ? "/dev/null" : output;
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace

bool WaitFor(const std::function<bool()>& done, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

PrivateDisplay::PrivateDisplay() {
  int number[2];
  if (pipe(number) != 0) return;
  // Xvfb picks a free display itself and writes its number to fd 3.
  xvfb_ = Spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1600x1200x24", "-nolisten", "tcp"},
                EnvironmentWith({}), "", "", number[1]);
  close(number[1]);
  std::string digits;
  char c;
  while (xvfb_ > 0 && read(number[0], &c, 1) == 1 && c != '\n') digits += c;
  close(number[0]);
  if (digits.empty()) return;
  name_ = ":" + digits;
  // The window manager is ready once it names itself on the root window. On
  // a loaded machine that has taken more than 30 s; a window manager that
  // ended before it got there is started again rather than waited for.
  const auto ready = [this] {
    return Run("xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'") == 0;
  };
  for (int attempt = 0; attempt < 3; ++attempt) {
    wm_ = Spawn({"openbox", "--sm-disable"}, EnvironmentWith({"DISPLAY=" + name_}), "", "");
    bool ended = false;
    WaitFor(
        [&] {
          ended = waitpid(wm_, nullptr, WNOHANG) == wm_;
          return ended || ready();
        },
        60);
    if (!ended && ready()) return;
    if (!ended) break;  // alive but silent for a minute: give up
    wm_ = -1;
  }
  name_.clear();
}

PrivateDisplay::~PrivateDisplay() {
  Stop(wm_);
  Stop(xvfb_);
}

int PrivateDisplay::Run(const std::string& command) const {
  return e2e::Run("DISPLAY=" + name_ + " " + command);
}

std::string PrivateDisplay::Output(const std::string& command) const {
  std::string out;
  if (FILE* p = popen(("DISPLAY=" + name_ + " " + command + " 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

unsigned long PrivateDisplay::FindWindow(const std::string& title) const {
  const std::string ids = Output("xdotool search --name '^" + title + "$'");
  return ids.empty() ? 0 : std::strtoul(ids.c_str(), nullptr, 10);
}

bool PrivateDisplay::Click(unsigned long window, int x, int y) const {
  return Run("xdotool mousemove --window " + std::to_string(window) + " " + std::to_string(x) +
             " " + std::to_string(y) + " click 1") == 0;
}

std::string PrivateDisplay::WindowState(unsigned long window) const {
  const std::string s = Output("xprop -id " + std::to_string(window) + " WM_STATE");
  if (s.find("Iconic") != std::string::npos) return "Iconic";
  if (s.find("Normal") != std::string::npos) return "Normal";
  return "";
}

std::unique_ptr<platform::Surface> PrivateDisplay::Screenshot(unsigned long window,
                                                              const std::string& savePath) const {
  const std::string path = savePath.empty() ? fs::temp_directory_path().string() + "/kst-shot-" +
                                                  std::to_string(getpid()) + ".png"
                                            : savePath;
  if (Run("import -window " + std::to_string(window) + " png:'" + path + "'") != 0) return nullptr;
  auto picture = LoadPicture(path);
  if (savePath.empty()) fs::remove(path);
  return picture;
}

LauncherProcess::LauncherProcess(const PrivateDisplay& display, const std::string& folder,
                                 const std::string& releaseUrl, const std::string& startFolder) {
  pid_ = Spawn({folder + "/Launcher.exe"},
               EnvironmentWith({"DISPLAY=" + display.name(), "KESTRAVA_RELEASE_URL=" + releaseUrl}),
               startFolder.empty() ? folder : startFolder, folder + "/../launcher.out");
}

LauncherProcess::~LauncherProcess() {
  if (pid_ > 0 && !ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int LauncherProcess::Wait(int seconds) {
  if (pid_ <= 0) return -1;
  if (!ended_) {
    int status = 0;
    if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, seconds)) return -1;
    ended_ = true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return exitCode_;
}

std::string DayLog(const std::string& installDir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(installDir + "/launcherlog", ec))
    files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const std::string& f : files) all += ReadFile(f);
  return all;
}

int LogCount(const std::string& installDir, const std::string& text) {
  const std::string log = DayLog(installDir);
  int n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
  return n;
}

std::unique_ptr<platform::Surface> LoadPicture(const std::string& path) {
  const std::string png = ReadFile(path);
  auto image = platform::Image::DecodePng(png.data(), png.size(), nullptr);
  if (!image) return nullptr;
  auto s = std::make_unique<platform::Surface>(image->Width(), image->Height());
  platform::ImageDrawParams p;
  p.dest = platform::Rect{0, 0, image->Width(), image->Height()};
  s->GetPainter().DrawImage(*image, p);
  return s;
}

double AreaDifference(platform::Surface& a, int ax, int ay, platform::Surface& b, int bx, int by,
                      int width, int height) {
  double sum = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t p = a.PixelAt(ax + x, ay + y), q = b.PixelAt(bx + x, by + y);
      for (int shift = 0; shift < 24; shift += 8)
        sum +=
            std::abs(static_cast<int>((p >> shift) & 0xFF) - static_cast<int>((q >> shift) & 0xFF));
    }
  }
  return sum / (3.0 * width * height);
}

int ChangedPixels(platform::Surface& a, platform::Surface& b, int x, int y, int width, int height) {
  int n = 0;
  for (int py = y; py < y + height; ++py) {
    for (int px = x; px < x + width; ++px) {
      const std::uint32_t p = a.PixelAt(px, py), q = b.PixelAt(px, py);
      for (int shift = 0; shift < 24; shift += 8) {
        if (std::abs(static_cast<int>((p >> shift) & 0xFF) -
                     static_cast<int>((q >> shift) & 0xFF)) > 40) {
          ++n;
          break;
        }
      }
    }
  }
  return n;
}

}  // namespace e2e
