// A Varnish cache from Debian in front of the nginx origin, as one edge of
// a CDN: started by the case with a private working folder, made to answer
// 503 to everything and to recover, killed and started again on its port.
// Thread-safety: use from the test's thread.
#pragma once

#include <string>

namespace e2e {

class VarnishEdge {
 public:
  // state: a folder of the edge's own (its -n folder and VCL go there).
  VarnishEdge(std::string state, int originPort);
  ~VarnishEdge();  // stops the edge
  VarnishEdge(const VarnishEdge&) = delete;
  VarnishEdge& operator=(const VarnishEdge&) = delete;

  // Starts the edge (on its earlier port after a Stop); false when it did
  // not come up.
  bool Start();
  // Kills it: its connections break and new ones are refused.
  void Stop();
  // Every request answered 503 (onlyFiles: every request for a game file
  // or a package, the metadata still served), then served again.
  bool Fail(bool onlyFiles = false);
  bool Recover();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/" + path.
  std::string Url(const std::string& path) const;

 private:
  int Script(const std::string& args) const;

  std::string state_;
  int originPort_;
  int port_ = 0;
};

}  // namespace e2e
