#include "tests/e2e/update_e2e_support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace e2e {

std::string BinDir() {
  return KESTRAVA_BIN_DIR;
}
std::string Patcher() {
  return BinDir() + "/kestrava-patcher";
}

int Run(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void WriteFile(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string RandomBytes(uint32_t seed, size_t n) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string TextBytes(uint32_t seed, size_t n) {
  std::string s;
  while (s.size() < n) s += "line " + std::to_string(seed) + " " + std::to_string(s.size()) + "\n";
  s.resize(n);
  return s;
}

Game SampleGame(uint32_t seed) {
  Game g;
  for (int i = 0; i < 12; ++i) {
    g["data/map" + std::to_string(i) + ".dds"] = TextBytes(seed + i, 3000 + 700 * i);
    g["data/sound/s" + std::to_string(i) + ".ogg"] = RandomBytes(seed + 100 + i, 2000 + 300 * i);
  }
  for (int i = 0; i < 4; ++i)
    g["bin/lib" + std::to_string(i) + ".dll"] = RandomBytes(seed + 200 + i, 5000);
  g["Kestrava.exe"] = RandomBytes(seed + 300, 20000);
  g["KestravaBox.exe"] = RandomBytes(seed + 301, 4000);
  g["config/game.ini"] = "[game]\nseed=" + std::to_string(seed) + "\n";
  g["scripts/start.cs"] = TextBytes(seed + 400, 9000);
  g["big/world.pak"] = RandomBytes(seed + 500, 3 << 20);
  g["empty.txt"] = "";
  g["scope/login.scope"] = "scripts/start.cs\nbin/lib0.dll\n";
  return g;
}

void WriteGame(const std::string& folder, const Game& game) {
  fs::remove_all(folder);
  for (const auto& [path, data] : game) WriteFile(folder + "/" + path, data);
}

int Publish(const std::string& game, const std::string& release, const std::string& version,
            const std::string& extra) {
  return Run(Patcher() + " publish '" + game + "' '" + release + "' --version " + version +
             " --package-size 2 --level 1 " + extra + " > '" + release + ".publish.out' 2>&1");
}

bool SharedRelease(const std::string& serverRoot, const std::string& name, const Game& game,
                   const std::string& workDir) {
  struct stat st {};
  stat(Patcher().c_str(), &st);
  const std::string stamp = std::to_string(st.st_mtime) + "-" + std::to_string(st.st_size);
  const std::string release = serverRoot + "/" + name;
  int lock = open((release + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return false;
  bool ok = ReadFile(release + ".stamp") == stamp;
  if (!ok) {
    const std::string game_dir = workDir + "/game-" + name;
    WriteGame(game_dir, game);
    WriteFile(game_dir + "/Launcher.exe", "#!/bin/sh\nexit 0\n");
    WriteFile(game_dir + "/Launcher.dat", "#!/bin/sh\nexit 1\n");
    fs::remove_all(release);
    fs::remove(release + ".stamp");
    ok = Publish(game_dir, release, name) == 0;
    if (ok) WriteFile(release + ".stamp", stamp);
  }
  close(lock);  // releases the lock
  return ok;
}

int Update(const std::string& dir, const std::string& url, const std::string& mode) {
  return Run(Patcher() + " update '" + dir + "' --url '" + url + "' --mode " + mode + " >> '" +
             dir + "/../update.out' 2>&1");
}

std::vector<std::string> Differences(const Game& game, const std::string& installDir) {
  std::vector<std::string> diff;
  for (const auto& [path, data] : game) {
    std::string full = installDir + "/" + path;
    if (!fs::exists(full) || ReadFile(full) != data) diff.push_back(path);
  }
  return diff;
}

void SkipFourDayCheck(const std::string& installDir) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  WriteFile(installDir + "/LauncherConfig/check.ini",
            "[check]\r\nsign=" + std::to_string(local.tm_mday) + "\r\n");
}

}  // namespace e2e
