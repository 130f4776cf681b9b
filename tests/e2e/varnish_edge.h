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
  // originFrom/originTo: the edge asks the origin for each path with the
  // first match of the regular expression originFrom replaced by originTo.
  VarnishEdge(std::string state, int originPort, std::string originFrom = "",
              std::string originTo = "");
  ~VarnishEdge();  // stops the edge
  VarnishEdge(const VarnishEdge&) = delete;
  VarnishEdge& operator=(const VarnishEdge&) = delete;

  // Starts the edge (on its earlier port after a Stop); false when it did
  // not come up.
  bool Start();
  // Kills it: its connections break and new ones are refused.
  void Stop();
  // Every request answered 503 (the edge has lost its origin), then
  // served again.
  bool Fail();
  bool Recover();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/" + path.
  std::string Url(const std::string& path) const;

 private:
  // env: assignments put before the script's command.
  int Script(const std::string& args, const std::string& env = "") const;

  std::string state_;
  int originPort_;
  std::string originFrom_, originTo_;
  int port_ = 0;
};

}  // namespace e2e
