// The host program with port mapping consented, on the LAN of a RouterLab whose router runs
// miniupnpd: it reports the mapped address, a peer on the WAN side reaches its listener
// through the router, and quitting removes the mapping.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <thread>

#include "e2e/host_process.h"
#include "host/router_lab.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

TEST(HostPortMappingTest, HostMapsItsListenerThroughMiniupnpdAndRemovesItAtExit) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  if (auto missing = test::RouterLab::missingTool())
    GTEST_SKIP() << *missing << " is not installed";
  test::RouterLab lab;
  ASSERT_TRUE(lab.ok());
  ASSERT_TRUE(lab.startMiniupnpd(true)) << lab.daemonLog();

  test::TempHome home;
  const auto settings = home.root() / "host" / "config" / "Ombrel Remote";
  std::filesystem::create_directories(settings);
  std::ofstream(settings / "com.tamsovern.ombrel.host.json") << R"({"portMappingConsented": true})";

  // The host starts from this thread, so inside the LAN namespace.
  test::InNamespace inLAN(lab.lan);
  ASSERT_TRUE(inLAN.entered());
  test::HostProcess host(home.root() / "host");
  ASSERT_NE(host.port(), 0);
  const std::string address = std::string(test::wanAddress) + ":" + std::to_string(host.port());
  ASSERT_TRUE(host.waitFor("port mapping: 外網直接連線：" + address, 40s)) << lab.daemonLog();
  const std::string dport = "dport " + std::to_string(host.port()) + " ";
  EXPECT_NE(lab.natRules().find(dport), std::string::npos) << lab.natRules();
  const int peer = test::connectFrom(lab.wan, host.port());
  EXPECT_GE(peer, 0) << "the WAN peer does not reach the host's listener";
  if (peer >= 0) close(peer);

  host.process().stop(10s);
  EXPECT_EQ(lab.natRules().find(dport), std::string::npos) << lab.natRules();
}

}  // namespace
}  // namespace ombrel
