// A flood of connections from one address against the running host: the admission rules keep
// it to a handful of live sessions, a paired client's pings keep their round trip, and every
// descriptor is given back afterwards.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <deque>
#include <thread>

#include "e2e/host_process.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

std::size_t openDescriptors(pid_t pid) {
  std::error_code error;
  auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

int connectTo(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

TEST(AdmissionFloodTest, ThousandAttemptsFromOneAddressLeaveThePairedClientServed) {
  test::TempHome home;
  test::HostProcess host(home.root() / "host");
  ASSERT_NE(host.port(), 0);

  {
    test::ClientRun laptop(home.root() / "laptop", host.port(), {"--pair", "--name", "Laptop"});
    ASSERT_TRUE(host.waitFor("[Laptop "));
    std::this_thread::sleep_for(3200ms);
    host.answer("o");
    ASSERT_EQ(laptop.finish(), 0);
  }
  ASSERT_TRUE(host.waitFor("sessions: 0"));

  test::ClientRun pinger(home.root() / "laptop", host.port(),
                         {"--pings", "150", "--ping-interval", "0.05"});
  auto hello = pinger.waitFor("hello");
  ASSERT_TRUE(hello);
  ASSERT_EQ((*hello)["authorized"], true);
  ASSERT_TRUE(pinger.waitFor("pong"));
  const pid_t hostPid = host.process().pid();
  const std::size_t baseline = openDescriptors(hostPid);

  // At most 64 of our own sockets open at once; the host decides how long each one lives.
  std::deque<int> open;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    open.push_back(connectTo(host.port()));
    if (open.size() > 64) {
      ::close(open.front());
      open.pop_front();
    }
  }
  for (int fd : open) ::close(fd);

  std::vector<double> rtts;
  while (auto pong = pinger.waitFor("pong", 10s)) rtts.push_back((*pong)["rttMs"].get<double>());
  ASSERT_GE(rtts.size(), 100u) << "the paired client stopped getting answers";
  std::sort(rtts.begin(), rtts.end());
  const double median = rtts[rtts.size() / 2];
  EXPECT_LT(median, 250.0) << "the paired client's pings starved";
  EXPECT_LT(rtts.back(), 3000.0);

  // The flood's sessions end (refused, or at the handshake deadline); so does the pinger's.
  ASSERT_TRUE(host.waitFor("sessions: 0", 30s));
  int most = 0;
  for (const auto& line : host.lines()) {
    if (line.rfind("sessions: ", 0) == 0) most = std::max(most, std::stoi(line.substr(10)));
  }
  EXPECT_LE(most, 8) << "more than eight sessions from one address were live";
  // The pinger's own connection is gone too, so the host must be below the baseline.
  EXPECT_LT(openDescriptors(hostPid), baseline) << "the flood leaked descriptors";
}

}  // namespace
}  // namespace ombrel
