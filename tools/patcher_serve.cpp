// `kestrava-patcher serve RELEASE_DIR [--port N] [--bind ADDRESS]`: serves a
// release folder over HTTP for trying the launcher against it locally.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <thread>

#include "tools/serve.h"

namespace {

struct ServeOptions {
  std::string folder;
  std::string bind = "127.0.0.1";
  int port = 8080;
  bool quiet = false;
};

// Waits for SIGINT or SIGTERM on a thread of its own, so the server is
// stopped outside a signal handler.
int RunServe(const ServeOptions& o) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  StaticServer server(o.folder);
  if (!server.Bind(o.bind, o.port)) {
    std::fprintf(stderr, "serve: cannot listen on %s:%d\n", o.bind.c_str(), o.port);
    return 1;
  }
  std::printf("Serving %s at http://%s:%d/\n", o.folder.c_str(), o.bind.c_str(), server.port());
  std::fflush(stdout);
  std::thread waiter([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Stop();
  });
  server.Run(!o.quiet);
  // Run can also end on its own (a listening error): release the waiter.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return 0;
}

}  // namespace

void AddServeCommand(CLI::App& app) {
  static ServeOptions o;  // lives as long as the command line
  CLI::App* cmd = app.add_subcommand("serve", "Serve a release folder over HTTP (for local tests)");
  cmd->add_option("RELEASE_DIR", o.folder, "The release folder")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmd->add_option("--port", o.port, "Port; 0 picks a free one")->capture_default_str();
  cmd->add_option("--bind", o.bind, "Address to listen on")->capture_default_str();
  cmd->add_flag("--quiet", o.quiet, "Do not print each request");
  cmd->callback([] {
    if (int code = RunServe(o)) throw CLI::RuntimeError(code);
  });
}
