// Runs tests/server/fault_server.py (the misbehaving update server) as a
// child process on a free loopback port, for tests of the transfer paths.
// The server ends when Stop is called or when the test process dies (its
// standard input closes).
// Thread-safety: start and stop from one thread; Url may be called anywhere.
#pragma once

#include <sys/types.h>

#include <string>

class FaultServerProcess {
 public:
  FaultServerProcess() = default;
  ~FaultServerProcess() { Stop(); }
  FaultServerProcess(const FaultServerProcess&) = delete;
  FaultServerProcess& operator=(const FaultServerProcess&) = delete;

  // Serves the files under root; false when the server did not come up.
  bool Start(const std::string& root);
  void Stop();
  // "http://127.0.0.1:<port>/" + path; path starts with the behaviour,
  // for example "cutonce-3000/a.bin" (see fault_server.py).
  std::string Url(const std::string& path) const;
  // The requests served since the start or the last ResetStats, one JSON
  // line each ({"path", "range", "conn"}); a request is listed as soon as it
  // arrives, before any delay its behaviour asks for.
  std::string Stats() const;
  void ResetStats() const;

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int port_ = 0;
};
