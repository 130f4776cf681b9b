// The difference step on two lists of 100,000 entries (target <= 0.3 s), and
// the CPU an engine costs while idle after an update (target <= 0.5 % of a
// core: its workers wait on a condition variable instead of polling).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "update/downloader.h"
#include "update/install_layout.h"

namespace fs = std::filesystem;

namespace {

std::string Code(int i, int salt) {
  char buf[33];
  std::snprintf(buf, sizeof buf, "%08x%08x%08x%08x", i, salt, i * 2654435761u, 7);
  return buf;
}

void WriteList(const std::string& path, int n, int changedEvery) {
  std::ofstream out(path);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Filelist>\n<Files>\n";
  for (int i = 0; i < n; ++i) {
    int salt = changedEvery > 0 && i % changedEvery == 0 ? 1 : 0;
    out << "<File Path=\"data/d" << i % 500 << "/file" << i << ".dat\" Code=\"" << Code(i, salt)
        << "\" Size=\"" << 1000 + i << "\" Zip=\"0\" />\n";
  }
  out << "</Files>\n</Filelist>\n";
}

struct Installation {
  Installation() {
    dir = fs::temp_directory_path() / ("kst-diff-bench-" + std::to_string(getpid()));
    const InstallLayout install(dir.string() + "/");
    fs::create_directories(install.configFolder());
    fs::create_directories(fs::path(install.scopeFile()).parent_path());
    WriteList(install.clientList(), 100000, 100);
    WriteList(install.localList(), 100000, 0);
    std::ofstream(install.scopeFile()) << "data/d1/file1.dat\n";
  }
  ~Installation() { fs::remove_all(dir); }
  fs::path dir;
};

void BM_GetDifferentFiles100k(benchmark::State& state) {
  Installation inst;
  CVXDlownloader engine(inst.dir.string() + "/");
  for (auto _ : state) {
    engine.SetUpdateMode(UpdateMode::Normal);
    if (engine.GetDifferentFiles() != Status_DifferencesReady) state.SkipWithError("failed");
    benchmark::DoNotOptimize(engine.GetDownloadTaskCount());
  }
  state.counters["tasks"] = engine.GetDownloadTaskCount();
}
BENCHMARK(BM_GetDifferentFiles100k)->Unit(benchmark::kMillisecond)->Iterations(3);

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_IdleEngineCpu(benchmark::State& state) {
  fs::path dir = fs::temp_directory_path() / ("kst-idle-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  CVXDlownloader engine(dir.string() + "/");
  engine.CreateDownloadPool();
  engine.DownloadDifferentFiles();  // an update with nothing to do has completed
  for (auto _ : state) {
    double cpu0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.counters["cpu_percent_of_a_core"] = 100 * (CpuSeconds() - cpu0) / wall;
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_IdleEngineCpu)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
