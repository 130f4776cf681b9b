// A static file server for trying a release locally: GET and HEAD of the
// files below one folder, with byte ranges, query strings ignored. Operators
// publish through any static web server or CDN instead.
//
// Thread-safety: Run blocks on its thread and serves each connection on a
// thread of the server's pool; Stop may be called from any thread.
#pragma once

#include <memory>
#include <string>

namespace httplib {
class Server;
}

class StaticServer {
 public:
  explicit StaticServer(std::string root);
  ~StaticServer();
  StaticServer(const StaticServer&) = delete;
  StaticServer& operator=(const StaticServer&) = delete;

  // Binds the address; port 0 picks a free port. False when it cannot bind.
  bool Bind(const std::string& address, int port);
  int port() const { return port_; }
  // Serves until Stop. With `logRequests` each request is printed on stdout.
  void Run(bool logRequests);
  void Stop();

 private:
  std::string root_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
};
