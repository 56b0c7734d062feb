// A peer that pings as fast as the host takes it and never reads a pong. The host must stop
// reading from it once its answers back up, instead of queueing them, so its memory stays flat
// while another address is still served at once.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "base/runtime.h"
#include "e2e/host_process.h"
#include "e2e/protocol_peer.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

constexpr int kSlowdown = test::sanitizerSlowdown;

// Resident memory of a process, in KiB.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(DeafPingerSession, HostMemoryStaysFlatAndAnotherAddressIsServed) {
  test::TempHome home;
  test::HostProcess host(home.root() / "host");
  ASSERT_NE(host.port(), 0);
  const pid_t pid = host.process().pid();
  Runtime runtime;

  test::ProtocolPeer pinger(runtime, "127.0.0.1", host.port(), 0x51);
  ASSERT_TRUE(pinger.greet("Pinger", 20s * kSlowdown));
  ASSERT_TRUE(pinger.roundTrip(20s * kSlowdown));
  const long before = residentKiB(pid);
  ASSERT_GT(before, 0);

  // The largest ping the host echoes.
  const Bytes ping(PingMessage::maxEchoedBodySize, ' ');
  pinger.deafen();
  NVConnection& conn = pinger.connection();
  // Keep a few megabytes queued on our side so the host always has pings to read: it is the
  // host's reading that must stop, not our sending.
  constexpr std::int64_t kQueued = 4 << 20;
  const auto end = std::chrono::steady_clock::now() + 6s;
  while (std::chrono::steady_clock::now() < end) {
    while (conn.pendingBytes() < kQueued) conn.send(MessageType::ping, ping);
    std::this_thread::sleep_for(5ms);
  }
  const std::uint64_t pushed = conn.bytesSent();
  const long after = residentKiB(pid);
  RecordProperty("pushedBytes", std::to_string(pushed));
  RecordProperty("hostGrowthKiB", std::to_string(after - before));

  // Every byte the host took in turns into a pong it cannot send: what it took must be bounded
  // by the socket buffers, and so must its memory. A sanitized host keeps freed memory aside on
  // purpose, so its size says nothing there.
  EXPECT_LT(pushed, 64u << 20) << "the host kept reading pings it could not answer";
  if (kSlowdown == 1) {
    EXPECT_LT(after - before, 24 * 1024) << "host grew from " << before << " KiB to " << after
                                         << " KiB after taking " << pushed << " bytes of pings";
  }

  // Meanwhile the host serves another address as promptly as ever.
  test::ProtocolPeer probe(runtime, "127.0.0.2", host.port(), 0x52);
  EXPECT_TRUE(probe.greet("Probe", 1s * kSlowdown)) << "no hello while the pinger is stuck";
  EXPECT_TRUE(probe.roundTrip(1s * kSlowdown));
}

}  // namespace
}  // namespace ombrel
