// `kestrava-patcher keygen KEY_FILE`: makes the Ed25519 key pair releases
// are signed with. The private key goes to KEY_FILE (PKCS#8 PEM, readable by
// its owner only); the public key, the text a launcher build trusts
// (KESTRAVA_RELEASE_KEYS), is printed as one base64 line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/crypto.h"
#include "util/file_util.h"

namespace {

// Writes the key under a temporary name and moves it into place only when
// KEY_FILE does not exist yet: an existing key is never overwritten, since
// the releases signed with it could not be followed by a launcher trusting
// it any more.
bool WritePrivateKey(const std::string& file, const std::string& pem, std::string* error) {
  const std::string temp = TempPathFor(file);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok =
      fd >= 0 && fchmod(fd, 0600) == 0 && WriteAll(fd, pem.data(), pem.size()) && fsync(fd) == 0;
  if (fd >= 0 && close(fd) != 0) ok = false;
  ok = ok && renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0;
  if (!ok) {
    *error = errno == EEXIST ? "exists already; a key is never overwritten" : strerror(errno);
    unlink(temp.c_str());
  }
  return ok;
}

int RunKeygen(const std::string& file) {
  std::string pem, publicKey, error;
  if (!platform::GenerateEd25519Key(&pem, &publicKey)) {
    std::fprintf(stderr, "keygen: cannot make an Ed25519 key\n");
    return 1;
  }
  if (!WritePrivateKey(file, pem, &error)) {
    std::fprintf(stderr, "keygen: %s: %s\n", file.c_str(), error.c_str());
    return 1;
  }
  std::printf("%s\n", platform::Base64Encode(publicKey).c_str());
  return 0;
}

}  // namespace

void AddKeygenCommand(CLI::App& app) {
  static std::string file;  // lives as long as the command line
  CLI::App* cmd = app.add_subcommand(
      "keygen", "Make a key pair for signing releases; prints the public key to build in");
  cmd->add_option("KEY_FILE", file, "Where the private key is written (must not exist)")
      ->required();
  cmd->callback([] {
    if (int code = RunKeygen(file)) throw CLI::RuntimeError(code);
  });
}
