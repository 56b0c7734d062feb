// A pairing storm against the running host: connections from one address each send a burst of
// pair requests. The host must keep answering another address at once, show the owner one
// card at a time, count prompts (not refusals) against the backoff, and stop on SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>

#include <asio/ip/tcp.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "base/runtime.h"
#include "e2e/host_process.h"
#include "support/mailbox.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

// Sanitized builds run the host and every handshake several times slower; the limits say "the
// host still answers", not how fast it is.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 10;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr int kSlowdown = 10;
#else
constexpr int kSlowdown = 1;
#endif
#else
constexpr int kSlowdown = 1;
#endif

constexpr std::chrono::milliseconds kHelloLimit = 1000ms * kSlowdown;
constexpr std::chrono::milliseconds kStopLimit = 2000ms * kSlowdown;
constexpr int kRounds = 4;  // the backoff allows three prompts in 120 s: the fourth round has none
constexpr int kConnections = 8;
constexpr int kRequests = 200;

struct Message {
  MessageType type;
  Bytes body;
};

// A raw protocol client whose socket is bound to `source` on the loopback network.
class Peer {
 public:
  Peer(Runtime& runtime, const std::string& source, std::uint16_t port, std::uint8_t keyByte) {
    asio::ip::tcp::socket socket(runtime.context());
    std::error_code error;
    socket.open(asio::ip::tcp::v4(), error);
    if (!error) socket.bind({asio::ip::make_address_v4(source), 0}, error);
    if (!error) socket.connect({asio::ip::address_v4::loopback(), port}, error);
    if (error) return;
    conn_ = NVConnection::create(std::move(socket), NVConnection::Role::client,
                                 DeviceIdentity(Bytes(32, keyByte)), std::nullopt, runtime);
    conn_->onMessage = [box = messages_](MessageType type, Bytes body) {
      box->put({type, std::move(body)});
    };
    conn_->onReady = [box = ready_] { box->put(true); };
    conn_->start();
  }
  ~Peer() {
    if (conn_) conn_->close();
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Handshake, client hello and the host's hello, each within what is left of `limit`.
  bool greet(const std::string& name, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    if (!conn_ || !ready_->take(left(deadline))) return false;
    conn_->sendJSON(MessageType::clientHello,
                    ClientHello{.deviceName = name, .model = "iPhone", .protocolVersion = 2});
    return next(MessageType::hostHello, left(deadline)).has_value();
  }
  void pairBurst(const std::string& name) {
    for (int i = 0; i < kRequests; ++i) {
      conn_->sendJSON(MessageType::pairRequest, PairRequest{.deviceName = name, .model = "iPhone"});
    }
  }
  // A ping answered: every request sent before it was handled by the session.
  bool roundTrip(std::chrono::milliseconds limit) {
    conn_->sendJSON(MessageType::ping, PingMessage{.t = 1});
    return next(MessageType::pong, limit).has_value();
  }
  // The pair results that arrived so far.
  std::vector<PairResult> results() {
    std::vector<PairResult> out;
    for (auto& m : seen_)
      if (m.type == MessageType::pairResult) out.push_back(NVJSON::decode<PairResult>(m.body));
    while (auto m = messages_->take(0ms)) {
      if (m->type == MessageType::pairResult) out.push_back(NVJSON::decode<PairResult>(m->body));
      seen_.push_back(std::move(*m));
    }
    return out;
  }

 private:
  static std::chrono::milliseconds left(std::chrono::steady_clock::time_point deadline) {
    return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                             deadline - std::chrono::steady_clock::now()));
  }
  std::optional<Message> next(MessageType type, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (auto m = messages_->take(left(deadline))) {
      if (m->type == type) return m;
      seen_.push_back(std::move(*m));
    }
    return std::nullopt;
  }

  std::shared_ptr<NVConnection> conn_;
  std::shared_ptr<test::Mailbox<Message>> messages_ = std::make_shared<test::Mailbox<Message>>();
  std::shared_ptr<test::Mailbox<bool>> ready_ = std::make_shared<test::Mailbox<bool>>();
  std::vector<Message> seen_;
};

TEST(PairingStormSession, AnotherAddressIsAnsweredAtOnceAndSigtermStopsTheHost) {
  test::TempHome home;
  test::HostProcess host(home.root() / "host");
  ASSERT_NE(host.port(), 0);
  Runtime runtime;
  int probes = 0;
  // A second address (its own admission budget) gets its hello within the limit.
  auto probe = [&] {
    const auto begin = std::chrono::steady_clock::now();
    Peer peer(runtime, "127.0.0.2", host.port(), static_cast<std::uint8_t>(0xE0 + probes++));
    return peer.greet("Probe", kHelloLimit) &&
           std::chrono::steady_clock::now() - begin <= kHelloLimit;
  };

  for (int round = 0; round < kRounds; ++round) {
    const std::string source = "127.0.1." + std::to_string(round + 1);
    std::vector<std::unique_ptr<Peer>> storm;
    for (int i = 0; i < kConnections; ++i) {
      auto keyByte = static_cast<std::uint8_t>(1 + round * kConnections + i);
      storm.push_back(std::make_unique<Peer>(runtime, source, host.port(), keyByte));
      ASSERT_TRUE(storm.back()->greet("Storm", 20s * kSlowdown)) << "round " << round;
    }
    for (int i = 0; i < kConnections; ++i) {
      storm[i]->pairBurst("Storm " + std::to_string(round) + "-" + std::to_string(i));
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
