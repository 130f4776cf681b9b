// Figures for the update engine's local work: loading and indexing a big
// local list (target: at most 100 ms and 100 MB peak for 100,000 entries)
// and the in-memory MD5 speed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "update/local_list.h"
#include "update/md5.h"

namespace {

// A list shaped like a real release: nested folders, long names, packed and
// plain files. Written line by line so the writer itself stays small.
std::string MakeList(int entries) {
  static const char* kRoots[] = {"data/models/characters", "data/textures/world",
                                 "data/sound/ambient",     "bin",
                                 "ui/skins/default",       "data/maps/zone"};
  std::string path = "/tmp/kestrava-bench-list-" + std::to_string(getpid()) + ".md5";
  FILE* f = fopen(path.c_str(), "w");
  fprintf(f, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Filelist>\n\t<Files>\n");
  for (int i = 0; i < entries; ++i) {
    const char* root = kRoots[i % 6];
    unsigned h = static_cast<unsigned>(i) * 2654435761u;
    int zip = i % 3 == 0 ? 0 : 2;
    fprintf(f,
            "\t\t<File Path=\"%s/group_%04d/item_%06d_lod%d_variant.%s\" "
            "Code=\"%08x%08x%08x%08x\" Size=\"%u\" Zip=\"%d\"",
            root, i / 97, i, i % 4, zip ? "pak" : "dds", h, h ^ 0x5bd1e995u, h * 7u, h + 13u,
            h % 50000000u, zip);
    if (zip) fprintf(f, " zipSize=\"%u\"", h % 30000000u);
    fprintf(f, " />\n");
  }
  fprintf(f, "\t</Files>\n</Filelist>\n");
  fclose(f);
  return path;
}

long PeakRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void BM_LoadLocalList(benchmark::State& state) {
  const std::string path = MakeList(static_cast<int>(state.range(0)));
  std::ifstream in(path, std::ios::ate | std::ios::binary);
  const double fileMb = static_cast<double>(in.tellg()) / 1e6;
  for (auto _ : state) {
    LocalList list;
    if (!list.Load(path)) state.SkipWithError("list did not load");
    benchmark::DoNotOptimize(list.IndexSize());
  }
  state.counters["file_MB"] = fileMb;
  state.counters["peak_rss_MB"] = static_cast<double>(PeakRssKb()) / 1024.0;
  unlink(path.c_str());
}
BENCHMARK(BM_LoadLocalList)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_Md5Update(benchmark::State& state) {
  std::vector<char> data(static_cast<size_t>(state.range(0)), 'k');
  for (auto _ : state) {
    Md5Context md5;
    md5.Update(data.data(), data.size());
    benchmark::DoNotOptimize(md5.HexDigest());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Md5Update)->Arg(64)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
