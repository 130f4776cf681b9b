// Launcher.dat: started by the launcher, with no arguments, from the
// installation folder.
#include <unistd.h>

#include <string>

#include "diag/log.h"
#include "tools/updatetool.h"
#include "update/release_trust.h"

int main() {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return 1;
  std::string folder = cwd;
  if (folder.back() != '/') folder += '/';
  SetLogFile("");
  return RunUpdateTool(folder, 30000, BuiltInReleaseKeys());
}
