#pragma once

// The host program on a desktop of its own (Xvfb, 1280x720) with one client, "Owner", paired
// as the owner's own device; tests start that client's runs with owner().

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/host_process.h"
#include "support/temp_home.h"
#include "support/xvfb_server.h"

namespace ombrel::test {

class PairedDesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << "Xvfb did not start";
    auto env = hostEnv();
    env.merge(desktopEnv());
    host.emplace(home.root() / "host", std::move(env));
    ASSERT_NE(host->port(), 0);
    ClientRun pairing(home.root() / "owner", host->port(), {"--pair", "--name", "Owner"});
    ASSERT_TRUE(host->waitFor("[Owner "));
    // The card arms itself on the host's real clock before it takes an answer.
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    host->answer("o");
    ASSERT_EQ(pairing.finish(), 0);
  }

  // What a test adds to the host's environment.
  virtual std::map<std::string, std::string> hostEnv() { return {}; }

  ClientRun owner(std::vector<std::string> args) {
    return ClientRun(home.root() / "owner", host->port(), std::move(args));
  }

  // The environment of a program on the test's desktop.
  std::map<std::string, std::string> desktopEnv() { return {{"DISPLAY", xvfb.display()}}; }

  XvfbServer xvfb{"1280x720x24"};
  TempHome home;
  std::optional<HostProcess> host;
};

}  // namespace ombrel::test
