// `kestrava-patcher md5 FILE...`: the digests the file lists carry, printed
// the way md5sum prints them, so operators can check a release by hand.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "update/md5.h"

namespace {

// md5sum marks a name holding "\" or a line feed with a leading "\" and
// escapes both, so that every output line stays one parsable line.
std::string Md5sumLine(const std::string& hex, const std::string& name) {
  std::string escaped;
  for (char c : name) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return (escaped == name ? "" : "\\") + hex + "  " + escaped + "\n";
}

// Prints one line per readable file; returns the exit code.
int PrintDigests(const std::vector<std::string>& files) {
  int code = 0;
  for (const std::string& name : files) {
    std::string hex;
    int error = 0;
    if (!DigestFile(name, &hex, &error)) {
      fprintf(stderr, "kestrava-patcher md5: %s: %s\n", name.c_str(), strerror(error));
      code = 1;
      continue;
    }
    fputs(Md5sumLine(hex, name).c_str(), stdout);
  }
  return code;
}

}  // namespace

void AddMd5Command(CLI::App& app) {
  static std::vector<std::string> files;  // lives as long as the command line
  CLI::App* cmd = app.add_subcommand("md5", "Print the MD5 digest of each FILE, as md5sum does");
  cmd->add_option("FILE", files, "Files to digest")->required();
  cmd->callback([] {
    if (int code = PrintDigests(files)) throw CLI::RuntimeError(code);
  });
}
