// A pairing storm against the running host: connections from one address each send a burst of
// pair requests. The host must keep answering another address at once, show the owner one
// card at a time, count prompts (not refusals) against the backoff, and stop on SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/runtime.h"
#include "e2e/host_process.h"
#include "e2e/protocol_peer.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

// The limits say "the host still answers", not how fast it is.
constexpr int kSlowdown = test::sanitizerSlowdown;

constexpr std::chrono::milliseconds kHelloLimit = 1000ms * kSlowdown;
constexpr std::chrono::milliseconds kStopLimit = 2000ms * kSlowdown;
constexpr int kRounds = 4;  // the backoff allows three prompts in 120 s: the fourth round has none
constexpr int kConnections = 8;
constexpr int kRequests = 200;

TEST(PairingStormSession, AnotherAddressIsAnsweredAtOnceAndSigtermStopsTheHost) {
  test::TempHome home;
  test::HostProcess host(home.root() / "host");
  ASSERT_NE(host.port(), 0);
  Runtime runtime;
  int probes = 0;
  // A second address (its own admission budget) gets its hello within the limit.
  auto probe = [&] {
    const auto begin = std::chrono::steady_clock::now();
    test::ProtocolPeer peer(runtime, "127.0.0.2", host.port(),
                            static_cast<std::uint8_t>(0xE0 + probes++));
    return peer.greet("Probe", kHelloLimit) &&
           std::chrono::steady_clock::now() - begin <= kHelloLimit;
  };

  for (int round = 0; round < kRounds; ++round) {
    const std::string source = "127.0.1." + std::to_string(round + 1);
    std::vector<std::unique_ptr<test::ProtocolPeer>> storm;
    for (int i = 0; i < kConnections; ++i) {
      auto keyByte = static_cast<std::uint8_t>(1 + round * kConnections + i);
      storm.push_back(std::make_unique<test::ProtocolPeer>(runtime, source, host.port(), keyByte));
      ASSERT_TRUE(storm.back()->greet("Storm", 20s * kSlowdown)) << "round " << round;
    }
    for (int i = 0; i < kConnections; ++i) {
      storm[i]->pairBurst("Storm " + std::to_string(round) + "-" + std::to_string(i), kRequests);
    }
    ASSERT_TRUE(probe()) << "round " << round << ": no hello for another address during the storm";
    for (auto& peer : storm) ASSERT_TRUE(peer->roundTrip(20s * kSlowdown)) << "round " << round;
    ASSERT_TRUE(probe()) << "round " << round << ": no hello for another address after the storm";

    if (round + 1 < kRounds) {
      // The sessions end, and with them the card: the next round may prompt again.
      storm.clear();
      ASSERT_TRUE(host.waitFor("sessions: 0", 20s * kSlowdown)) << "round " << round;
      continue;
    }
    // Three prompts in 120 s: the fourth round is refused by the backoff, every request of it.
    for (auto& peer : storm) {
      auto results = peer->results();
      ASSERT_FALSE(results.empty());
      for (const auto& result : results) {
        EXPECT_EQ(result.code, HostErrorCode::rateLimited) << result.message.value_or("");
      }
    }
    // Stopping with the storm's sessions still open.
    host.process().signal(SIGTERM);
    EXPECT_TRUE(host.process().wait(kStopLimit)) << "SIGTERM did not stop the host";
  }

  // One card per round while the backoff allowed one: a burst never made a second prompt, and
  // the refusals of the busy rounds did not count against the backoff.
  std::vector<std::string> cards;
  while (host.waitFor("[Storm ", 1s)) {
  }
  for (const auto& line : host.lines())
    if (line.rfind("[Storm ", 0) == 0) cards.push_back(line.substr(0, 9));
  EXPECT_EQ(cards, (std::vector<std::string>{"[Storm 0-", "[Storm 1-", "[Storm 2-"}));
}

}  // namespace
}  // namespace ombrel
