// `kestrava-patcher fetch` (hidden): runs the download workers alone over a
// list of published files, the way an update pass fetches them, and prints
// the time and throughput. The transfer benchmark drives it.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "diag/log.h"
#include "update/downloader.h"
#include "update/worker_pool.h"

namespace {

struct FetchOptions {
  std::string base;
  std::string list;
  std::string out;
};

// List lines: "<md5> <size> <relative path>".
bool ReadList(const std::string& path, std::vector<FileEntry>* entries) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    FileEntry e;
    if (fields >> e.code >> e.size >> e.path) entries->push_back(e);
  }
  return true;
}

// Waits for the workers the way the apply loop does; returns how many files
// were handed on as fetched and verified.
int Drain(CDownloaderThreadPool* pool) {
  int handedOn = 0;
  pool->ApplyEachFinished([&](const DownloadTask&) { ++handedOn; });
  return handedOn;
}

int RunFetch(const FetchOptions& o) {
  std::vector<FileEntry> entries;
  if (!ReadList(o.list, &entries)) {
    std::fprintf(stderr, "fetch: cannot read %s\n", o.list.c_str());
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(o.out, ec);
  std::string dir = std::filesystem::absolute(o.out, ec).string();
  if (dir.back() != '/') dir += '/';
  SetLogFile(dir + "fetch.log");
  CVXDlownloader engine(dir);
  engine.SetReleaseBaseUrl(o.base);
  auto start = std::chrono::steady_clock::now();
  for (const FileEntry& e : entries) engine.AddDownloadTask(e, 0);
  engine.CreateDownloadPool();
  for (const DownloadTask& t : engine.downloadTasks()) engine.pool()->AddTask(t, true);
  int fetched = Drain(engine.pool());
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int64_t bytes = engine.ReadProgress().downloadedBytes;
  std::printf("fetched %d of %zu files, %lld bytes in %.3f s (%.1f MiB/s)\n", fetched,
              entries.size(), static_cast<long long>(bytes), seconds, bytes / seconds / (1 << 20));
  return fetched == static_cast<int>(entries.size()) ? 0 : 1;
}

}  // namespace

void AddFetchCommand(CLI::App& app) {
  static FetchOptions options;
  CLI::App* cmd = app.add_subcommand("fetch", "Fetch listed files with the download workers");
  cmd->group("");  // a benchmark driver, not an operator's command
  cmd->add_option("--base", options.base, "Base address of the files")->required();
  cmd->add_option("--list", options.list, "Lines of: md5 size relative-path")->required();
  cmd->add_option("--out", options.out, "Installation folder to fetch into")->required();
  cmd->callback([] {
    if (int code = RunFetch(options)) throw CLI::RuntimeError(code);
  });
}
