#include "tests/e2e/varnish_edge.h"

#include <utility>

#include "tests/e2e/update_e2e_support.h"

namespace e2e {

VarnishEdge::VarnishEdge(std::string state, int originPort, std::string originFrom,
                         std::string originTo)
    : state_(std::move(state)),
      originPort_(originPort),
      originFrom_(std::move(originFrom)),
      originTo_(std::move(originTo)) {}

VarnishEdge::~VarnishEdge() {
  Stop();
}

int VarnishEdge::Script(const std::string& args, const std::string& env) const {
  return Run(env + std::string(KESTRAVA_SOURCE_DIR) + "/tests/server/varnish_edge.sh " + args);
}

bool VarnishEdge::Start() {
  std::string args = "start '" + state_ + "' " + std::to_string(originPort_);
  if (port_ != 0) args += " " + std::to_string(port_);
  std::string assignments;
  if (!originFrom_.empty()) {
    assignments = "KESTRAVA_EDGE_ORIGIN_FROM='" + originFrom_ + "' KESTRAVA_EDGE_ORIGIN_TO='" +
                  originTo_ + "' ";
  }
  if (Script(args, assignments) != 0) return false;
  const std::string env = ReadFile(state_ + "/edge.env");
  if (env.rfind("port=", 0) != 0) return false;
  port_ = std::stoi(env.substr(5));
  return true;
}

void VarnishEdge::Stop() {
  Script("stop '" + state_ + "'");
}

bool VarnishEdge::Fail() {
  return Script("fail '" + state_ + "'") == 0;
}

bool VarnishEdge::Recover() {
  return Script("recover '" + state_ + "'") == 0;
}

std::string VarnishEdge::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

}  // namespace e2e
