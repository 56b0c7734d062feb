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

// Whether a TCP connection from namespace `ns` to the router's WAN address and `port` opens.
bool connectsFrom(const std::string& ns, std::uint16_t port) {
  bool connected = false;
  std::thread peer([&] {
    if (!test::enterNamespace(ns)) return;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{.tv_sec = 10, .tv_usec = 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, test::wanAddress, &to.sin_addr);
    connected = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(fd);
  });
  peer.join();
  return connected;
}

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
  EXPECT_TRUE(connectsFrom(lab.wan, host.port()));

  host.process().stop(10s);
  EXPECT_EQ(lab.natRules().find(dport), std::string::npos) << lab.natRules();
}

}  // namespace
}  // namespace ombrel
