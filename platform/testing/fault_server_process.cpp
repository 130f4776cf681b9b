#include "platform/testing/fault_server_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/http.h"

extern char** environ;

bool FaultServerProcess::Start(const std::string& root) {
  int in[2], out[2];
  if (pipe(in) != 0) return false;
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string script = KESTRAVA_FAULT_SERVER_SCRIPT;
  const char* argv[] = {"python3",       script.c_str(),  "--root", root.c_str(),
                        "--watch-stdin", "--stall-limit", "20",     nullptr};
  int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  if (rc != 0) pid_ = -1;
  std::string line;
  char c;
  while (rc == 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  port_ = std::atoi(line.c_str());
  return port_ > 0;
}

void FaultServerProcess::Stop() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string FaultServerProcess::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

namespace {

class Collect : public HttpReceiver {
 public:
  bool OnResponse(int, int64_t) override { return true; }
  bool OnBody(const char* data, size_t size) override {
    body.append(data, size);
    return true;
  }
  std::string body;
};

std::string Fetch(const std::string& url) {
  Collect c;
  NewCurlHttpClientFactory()->Create()->Get(url, -1, HttpTimeouts{}, &c);
  return c.body;
}

}  // namespace

std::string FaultServerProcess::Stats() const {
  return Fetch(Url("_stats"));
}

void FaultServerProcess::ResetStats() const {
  Fetch(Url("_reset"));
}
