// `kestrava-patcher publish GAME_DIR RELEASE_DIR --version TEXT`: builds a
// release folder for the update server, with a progress bar and a summary.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>

#include "tools/publish.h"
#include "util/text_util.h"

namespace {

// Draws one self-overwriting line on a terminal; prints nothing when the
// output is not a terminal (logs of publishing scripts stay readable).
// Called on the publishing thread only.
class TerminalBar : public PublishProgress {
 public:
  TerminalBar() : enabled_(isatty(STDERR_FILENO)) {}
  ~TerminalBar() override {
    if (drawn_) std::fputc('\n', stderr);
  }
  void OnProgress(const std::string& stage, int64_t done, int64_t total) override {
    if (!enabled_) return;
    constexpr int kWidth = 30;
    int permille = total > 0 ? static_cast<int>(std::min<int64_t>(done * 1000 / total, 1000)) : 0;
    int filled = permille * kWidth / 1000;
    std::string bar(filled, '#');
    bar.append(kWidth - filled, '.');
    std::fprintf(stderr, "\r%-8s [%s] %3d.%d%%  %s / %s   ", stage.c_str(), bar.c_str(),
                 permille / 10, permille % 10, FormatSizeText(done).c_str(),
                 FormatSizeText(total).c_str());
    std::fflush(stderr);
    drawn_ = true;
  }

 private:
  bool enabled_;
  bool drawn_ = false;
};

void PrintSummary(const PublishOptions& o, const PublishSummary& s, double seconds) {
  std::printf("Published %s to %s in %.1f s\n", o.version.c_str(), o.releaseDir.c_str(), seconds);
  std::printf(
      "  files:    %d listed, %d packed as .7z, %d plain (%d judged from slices), %d taken from "
      "the previous release\n",
      s.files, s.packedFiles, s.files - s.packedFiles, s.sampledFiles, s.reusedFiles);
  std::printf("  packages: %d for the first download, %d taken from the previous release\n",
              s.packages, s.reusedPackages);
  std::printf("  size:     game %s, release folder %s\n", FormatSizeText(s.gameBytes).c_str(),
              FormatSizeText(s.releaseBytes).c_str());
  if (!o.delta) {
    std::printf("  deltas:   off (--no-delta)\n");
  } else {
    std::printf(
        "  deltas:   %d chunk maps of plain files of %s or more, %d taken from the previous "
        "release\n",
        s.deltaMaps, FormatSizeText(o.deltaMinSize).c_str(), s.reusedDeltaMaps);
  }
  // Thousands of changed files would bury the rest of the summary.
  for (const std::string& line : DeltaReport(s, 20)) std::printf("  %s\n", line.c_str());
  if (!s.publicKey.empty()) {
    std::printf("  signed:   serial %llu, key %s\n", static_cast<unsigned long long>(s.serial),
                s.publicKey.c_str());
  }
  for (const std::string& w : s.warnings) std::printf("  warning:  %s\n", w.c_str());
}

int RunPublish(const PublishOptions& options) {
  auto start = std::chrono::steady_clock::now();
  PublishSummary summary;
  std::string error;
  bool ok;
  {
    TerminalBar bar;
    ok = Publish(options, &summary, &bar, &error);
  }
  if (!ok) {
    std::fprintf(stderr, "publish: %s\n", error.c_str());
    return 1;
  }
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  PrintSummary(options, summary, took.count());
  return 0;
}

}  // namespace

void AddPublishCommand(CLI::App& app) {
  static PublishOptions o;  // lives as long as the command line
  static int64_t packageMiB = 1024;
  static int64_t deltaMiB = kDeltaMinFileSize >> 20;
  static bool noDelta = false;
  CLI::App* cmd = app.add_subcommand(
      "publish", "Build a release folder for the update server from a game build folder");
  cmd->add_option("GAME_DIR", o.gameDir, "The game build folder")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmd->add_option("RELEASE_DIR", o.releaseDir, "The release folder to create (absent or empty)")
      ->required();
  cmd->add_option("--version", o.version, "Version text of the release")->required();
  cmd->add_option("--previous", o.previousDir,
                  "An earlier release: unchanged files and packages are taken from it")
      ->check(CLI::ExistingDirectory);
  cmd->add_option("--launcher-exe", o.launcherExe,
                  "Launcher.exe to publish (default: in GAME_DIR)");
  cmd->add_option("--launcher-dat", o.launcherDat,
                  "The update tool Launcher.dat to publish (default: in GAME_DIR)");
  cmd->add_option("--scope", o.scopeFile, "scope/login.scope to publish (default: in GAME_DIR)");
  cmd->add_option("--url-xml", o.urlXml, "url.xml to publish (default: in GAME_DIR)");
  cmd->add_option("--update-servers", o.updateServers,
                  "UpdateServers.qdx to publish (default: GAME_DIR/LauncherConfig/, else the "
                  "version text)");
  cmd->add_option("--exclude", o.excludes, "Relative path to leave out (repeatable)");
  cmd->add_option("--level", o.level, "LZMA2 level of the archives, 0 stores")
      ->check(CLI::Range(0, 9))
      ->capture_default_str();
  cmd->add_option("--pack-saving", o.packSavingPercent,
                  "Pack a file as .7z when that saves at least this percentage")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  cmd->add_option("--package-size", packageMiB, "Unpacked MiB per first-download package")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  cmd->add_option("--package-files", o.packageFiles, "Files per first-download package")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  cmd->add_option("--threads", o.threads, "Packing threads (default: one per core)");
  cmd->add_option("--sign-key", o.signKeyFile,
                  "Private key of kestrava-patcher keygen: also writes LauncherConfig/release.sig");
  cmd->add_option("--serial", o.serial,
                  "Serial of the signed release (default: one more than --previous's, else 1)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{999999999999999999}));
  cmd->add_option("--delta-min-size", deltaMiB,
                  "Plain files of at least this many MiB get a chunk map for delta updates "
                  "(0: every plain file)")
      ->check(CLI::Range(int64_t{0}, int64_t{1} << 30))
      ->capture_default_str();
  cmd->add_flag("--no-delta", noDelta, "Publish no chunk maps");
  cmd->callback([] {
    o.packageSize = packageMiB << 20;
    o.deltaMinSize = deltaMiB << 20;
    o.delta = !noDelta;
    if (int code = RunPublish(o)) throw CLI::RuntimeError(code);
  });
}
