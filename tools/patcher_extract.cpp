// `kestrava-patcher extract ARCHIVE DEST_DIR`: unpacks a package, a packed
// game file or a launcher archive exactly as the launcher does, so operators
// can check what a release delivers.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "update/archive.h"

namespace {

struct ExtractOptions {
  std::string archive;
  std::string folder;
  bool quiet = false;
};

int RunExtract(const ExtractOptions& o) {
  std::string dest = o.folder;
  if (dest.empty() || dest.back() != '/') dest += '/';
  std::vector<ExtractedFile> written;
  // Without the listing no digests are computed.
  if (!ExtractPackage(o.archive, dest, o.quiet ? nullptr : &written, nullptr)) {
    std::fprintf(stderr, "extract: %s cannot be unpacked (see the day log)\n", o.archive.c_str());
    return 1;
  }
  if (!o.quiet) {
    for (const ExtractedFile& f : written) {
      std::printf("%s  %lld  %s\n", f.md5.c_str(), static_cast<long long>(f.size), f.name.c_str());
    }
  }
  return 0;
}

}  // namespace

void AddExtractCommand(CLI::App& app) {
  static ExtractOptions o;  // lives as long as the command line
  CLI::App* cmd = app.add_subcommand("extract", "Unpack a 7z or zip archive as the launcher does");
  cmd->add_option("ARCHIVE", o.archive, "The archive")->required()->check(CLI::ExistingFile);
  cmd->add_option("DEST_DIR", o.folder, "Folder to unpack into")->required();
  cmd->add_flag("--quiet", o.quiet,
                "Do not list the files written (MD5, size, name) nor digest them");
  cmd->callback([] {
    if (int code = RunExtract(o)) throw CLI::RuntimeError(code);
  });
}
