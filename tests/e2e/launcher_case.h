// The set-up every case of the launcher program shares: the loopback nginx
// of the CTest fixture, a private display with a window manager, a folder
// of the case's own on the server (base_, served below name_) and a work
// folder holding the player's installation folder (install_, no trailing
// "/") with today's periodic full check marked done. A case that passed
// leaves neither folder behind; one that failed keeps both to look at.
//
// Thread-safety: the test's thread only.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/launcher_e2e_support.h"
#include "tests/e2e/nginx_server.h"

namespace e2e {

class LauncherCase : public ::testing::Test {
 protected:
  // prefix: names the case's folders, before the test's own name.
  explicit LauncherCase(std::string prefix) : prefix_(std::move(prefix)) {}

  void SetUp() override;
  void TearDown() override;

  NginxServer server_;
  PrivateDisplay display_;
  std::string name_, base_, work_, install_;

 private:
  const std::string prefix_;
};

}  // namespace e2e
