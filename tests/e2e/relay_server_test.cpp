// The relay server against peers scripted here on real loopback sockets: hosts that register
// (or try to) and clients that ask for them.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CorvaneKit/stun.h"
#include "OmbrelKit/device_identity.h"
#include "base/base64.h"
#include "tools/ombrel-relay/relay_server.h"

namespace ombrel {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// A blocking loopback connection that speaks lines, with generous deadlines.
class Peer {
 public:
  explicit Peer(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  ~Peer() { ::close(fd_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void write(std::string_view bytes) {
    while (!bytes.empty()) {
      auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void line(const Json& message) { write(message.dump() + "\n"); }

  // The next line, or nothing when the peer closed or 20 s passed.
  std::optional<Json> readLine() {
    for (;;) {
      auto newline = input_.find('\n');
      if (newline != std::string::npos) {
        auto text = input_.substr(0, newline);
        input_.erase(0, newline + 1);
        return Json::parse(text, nullptr, false);
      }
      if (!fill()) return std::nullopt;
    }
  }
  // Exactly `n` raw bytes (after any line), or what came before the end.
  std::string read(std::size_t n) {
    while (input_.size() < n && fill()) {
    }
    auto out = input_.substr(0, std::min(n, input_.size()));
    input_.erase(0, out.size());
    return out;
  }
  // True when the relay closed the connection (within 20 s).
  bool closedByRelay() {
    while (fill()) input_.clear();
    return eof_;
  }
  int fd() const { return fd_; }

 private:
  bool fill() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) return false;
    char buffer[65536];
    auto n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    input_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string input_;
  bool eof_ = false;
};

DeviceIdentity identityFromSeed(std::uint8_t seed) { return DeviceIdentity(Bytes(32, seed)); }

class RelayServerTest : public ::testing::Test {
 protected:
  void startRelay(RelayServer::Options options = {}) {
    options.address = "127.0.0.1";
    options.port = 0;
    relay_ = RelayServer::create(runtime_, options, [this](const Json& event) {
      std::lock_guard lock(eventsLock_);
      events_.push_back(event);
    });
    relay_->start();
  }
  void TearDown() override {
    if (relay_) relay_->stop();
  }

  // Registers `identity` on a new control connection; with `signer` the proof is made by
  // another key. Returns the connection and the relay's answer to the proof.
  std::pair<std::unique_ptr<Peer>, Json> registerHost(const DeviceIdentity& identity,
                                                      const DeviceIdentity* signer = nullptr) {
    auto host = std::make_unique<Peer>(relay_->port());
    host->line({{"role", "host"},
                {"id", identity.hostID()},
                {"v", 2},
                {"key", base64::encode(identity.publicKey())}});
    auto challenge = host->readLine();
    if (!challenge || (*challenge)["type"] != "challenge") return {std::move(host), *challenge};
    auto nonce = base64::decode((*challenge)["nonce"].get<std::string>());
    EXPECT_EQ(nonce->size(), 32u);
    auto sig =
        (signer ? *signer : identity).sign(RelayServer::proofMessage(*nonce, identity.hostID()));
    host->line({{"type", "proof"}, {"sig", base64::encode(sig)}});
    auto answer = host->readLine();
    return {std::move(host), answer.value_or(Json())};
  }

  // A client asking for `hostID`; the host (already registered on `control`) answers the
  // "incoming" notice with a data connection. Both get the relay's "ok".
  std::pair<std::unique_ptr<Peer>, std::unique_ptr<Peer>> pairThrough(Peer& control,
                                                                      const std::string& hostID,
                                                                      std::string early = "") {
    auto client = std::make_unique<Peer>(relay_->port());
    client->write(Json{{"role", "client"}, {"id", hostID}, {"v", 2}}.dump() + "\n" + early);
    auto incoming = control.readLine();
    while (incoming && (*incoming)["type"] == "ping") incoming = control.readLine();
    EXPECT_EQ((*incoming)["type"], "incoming");
    auto data = std::make_unique<Peer>(relay_->port());
    data->line({{"role", "host-data"}, {"session", (*incoming)["session"]}});
    EXPECT_EQ(data->readLine(), (Json{{"ok", true}}));
    EXPECT_EQ(client->readLine(), (Json{{"ok", true}}));
    return {std::move(client), std::move(data)};
  }

  Runtime runtime_{Runtime::Options{.threads = 2}};
  std::shared_ptr<RelayServer> relay_;
  std::mutex eventsLock_;
  std::vector<Json> events_;
};

TEST_F(RelayServerTest, ProvenHostIsReachedByIDWithOrWithoutSpacesAndBytesFlowBothWays) {
  startRelay();
  auto identity = identityFromSeed(7);
  auto [control, answer] = registerHost(identity);
  ASSERT_EQ(answer, (Json{{"type", "registered"}}));

  std::string digits;
  for (char c : identity.hostID()) {
    if (c != ' ') digits.push_back(c);
  }
  for (const auto& typed : {identity.hostID(), digits}) {
    SCOPED_TRACE(typed);
    // Bytes sent right behind the preamble reach the host after its "ok", not before.
    auto [client, data] = pairThrough(*control, typed, "early");
    EXPECT_EQ(data->read(5), "early");
    std::string big(300'000, 'c');
    client->write(big);
    EXPECT_EQ(data->read(big.size()), big);
    data->write("from host");
    EXPECT_EQ(client->read(9), "from host");
  }
  auto stats = relay_->stats();
  EXPECT_EQ(stats.hosts, 1u);
  EXPECT_EQ(stats.totalSplices, 2u);
  EXPECT_EQ(stats.bytes, 2 * (5 + 300'000 + 9u));
}

TEST_F(RelayServerTest, SpliceEndsTogetherAndIsCountedOnce) {
  startRelay();
  auto identity = identityFromSeed(8);
  auto [control, answer] = registerHost(identity);
  auto [client, data] = pairThrough(*control, identity.hostID());
  EXPECT_EQ(relay_->stats().splices, 1u);
  // A half-close passes on: the host sees the end, may still answer, then both are done.
  ::shutdown(client->fd(), SHUT_WR);
  EXPECT_TRUE(data->closedByRelay() || data->read(1).empty());
  data->write("bye");
  EXPECT_EQ(client->read(3), "bye");
  data.reset();
  EXPECT_TRUE(client->closedByRelay());
  for (int i = 0; i < 200 && relay_->stats().splices != 0; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(relay_->stats().splices, 0u);
  EXPECT_EQ(relay_->stats().hosts, 1u);
}

TEST_F(RelayServerTest, RegistrationsWithoutAValidProofAreRefused) {
  RelayServer::Options options;
  options.allowedHostIDs = {identityFromSeed(1).hostID(), identityFromSeed(2).hostID()};
  startRelay(options);
  auto owner = identityFromSeed(1);
  auto forger = identityFromSeed(2);
  auto [registered, ok] = registerHost(owner);
  ASSERT_EQ(ok["type"], "registered");

  // A forged proof: the owner's key and ID, signed by someone else.
  auto [forged, refusal] = registerHost(owner, &forger);
  EXPECT_EQ(refusal, (Json{{"type", "error"}, {"error", "invalid proof"}}));
  // The owner's registration stands: clients still reach it.
  pairThrough(*registered, owner.hostID());

  // A key that is not the ID's key is refused before any challenge.
  Peer wrongKey(relay_->port());
  wrongKey.line({{"role", "host"},
                 {"id", owner.hostID()},
                 {"v", 2},
                 {"key", base64::encode(forger.publicKey())}});
  EXPECT_EQ(wrongKey.readLine(),
            (Json{{"type", "error"}, {"error", "key does not match host ID"}}));
  // An ID this relay does not serve.
  auto [other, notServed] = registerHost(identityFromSeed(3));
  EXPECT_EQ(notServed, (Json{{"type", "error"}, {"error", "host ID not served by this relay"}}));

  // A second valid proof for the same ID replaces the older connection.
  auto [again, okAgain] = registerHost(owner);
  EXPECT_EQ(okAgain["type"], "registered");
  EXPECT_TRUE(registered->closedByRelay());
  pairThrough(*again, owner.hostID());
}

TEST_F(RelayServerTest, ClientsAreToldWhyNoSessionStarts) {
  RelayServer::Options options;
  options.pairTimeout = 0.3;
  startRelay(options);
  Peer nobody(relay_->port());
  nobody.line({{"role", "client"}, {"id", "0000 1111 2222"}, {"v", 2}});
  EXPECT_EQ(nobody.readLine(), (Json{{"ok", false}, {"error", "offline"}}));
  EXPECT_TRUE(nobody.closedByRelay());

  auto identity = identityFromSeed(9);
  auto [control, answer] = registerHost(identity);
  Peer unanswered(relay_->port());
  unanswered.line({{"role", "client"}, {"id", identity.hostID()}, {"v", 2}});
  auto incoming = control->readLine();
  ASSERT_EQ((*incoming)["type"], "incoming");
  EXPECT_EQ(unanswered.readLine(), (Json{{"ok", false}, {"error", "no_answer"}}));
  // The host's data connection after the client gave up finds nobody.
  Peer late(relay_->port());
  late.line({{"role", "host-data"}, {"session", (*incoming)["session"]}});
  EXPECT_EQ(late.readLine()->value("ok", true), false);
  EXPECT_TRUE(late.closedByRelay());
}

TEST_F(RelayServerTest, LinesAreCappedAndDeadlined) {
  RelayServer::Options options;
  options.lineTimeout = 0.3;
  startRelay(options);
  {
    Peer flood(relay_->port());
    flood.write(std::string(RelayServer::maxLineBytes + 1, 'x'));
    EXPECT_TRUE(flood.closedByRelay());
    Peer silent(relay_->port());
    EXPECT_TRUE(silent.closedByRelay());
  }
  // A registered host's over-long line ends its registration too.
  auto identity = identityFromSeed(10);
  auto [control, answer] = registerHost(identity);
  ASSERT_EQ(answer["type"], "registered");
  control->write(std::string(RelayServer::maxLineBytes + 1, ' '));
  EXPECT_TRUE(control->closedByRelay());
  // A line of exactly the cap is still a line.
  Peer atCap(relay_->port());
  std::string padded = Json{{"role", "client"}, {"id", "0000 1111 2222"}, {"v", 2}}.dump();
  padded.append(RelayServer::maxLineBytes - padded.size(), ' ');
  atCap.write(padded + "\n");
  EXPECT_EQ(atCap.readLine(), (Json{{"ok", false}, {"error", "offline"}}));
}

TEST_F(RelayServerTest, ConnectionsPerAddressAreLimited) {
  RelayServer::Options options;
  options.maxConnectionsPerAddress = 2;
  startRelay(options);
  Peer first(relay_->port());
  Peer second(relay_->port());
  for (int i = 0; i < 200 && relay_->stats().connections < 2; ++i)
    std::this_thread::sleep_for(20ms);
  Peer third(relay_->port());
  EXPECT_TRUE(third.closedByRelay());
  second.line({{"role", "client"}, {"id", "0000 1111 2222"}, {"v", 2}});
  EXPECT_EQ(second.readLine(), (Json{{"ok", false}, {"error", "offline"}}));
}

TEST_F(RelayServerTest, SilentHostsAreDroppedAndAnsweringOnesKept) {
  RelayServer::Options options;
  options.pingInterval = 0.2;
  startRelay(options);
  auto [answering, ok1] = registerHost(identityFromSeed(11));
  auto [silent, ok2] = registerHost(identityFromSeed(12));
  std::thread ponger([peer = answering.get()] {
    for (int pings = 0; pings < 3; ++pings) {
      auto line = peer->readLine();
      if (!line || (*line)["type"] != "ping") return;
      peer->write("{\"type\":\"pong\"}\n");
    }
  });
  EXPECT_EQ(silent->readLine(), (Json{{"type", "ping"}}));
  EXPECT_TRUE(silent->closedByRelay());
  ponger.join();
  EXPECT_EQ(relay_->stats().hosts, 1u);
  pairThrough(*answering, identityFromSeed(11).hostID());
}

// A host that stops reading must stall the client in TCP, not fill the relay.
TEST_F(RelayServerTest, SpliceReadsNoFasterThanTheOtherSideTakes) {
  startRelay();
  auto identity = identityFromSeed(13);
  auto [control, answer] = registerHost(identity);
  auto [client, data] = pairThrough(*control, identity.hostID());
  ::fcntl(client->fd(), F_SETFL, ::fcntl(client->fd(), F_GETFL) | O_NONBLOCK);
  std::string chunk(1 << 20, 'b');
  std::size_t sent = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  while (sent < (256u << 20) && std::chrono::steady_clock::now() - lastProgress < 2s) {
    auto n = ::send(client->fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      lastProgress = std::chrono::steady_clock::now();
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  // Kernel buffers on both legs hold a few MiB each; the relay itself holds one buffer.
  EXPECT_LT(sent, 64u << 20);
  EXPECT_LT(relay_->stats().bytes, 48u << 20);
  // And the stream resumes once the host reads.
  EXPECT_EQ(data->read(1 << 20), chunk);
}

TEST_F(RelayServerTest, AnswersStunBindingRequestsOnItsPortAndNothingElse) {
  startRelay();
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in relay{};
  relay.sin_family = AF_INET;
  relay.sin_port = htons(relay_->port());
  relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&relay), sizeof relay), 0);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);

  auto transaction = STUN::transaction();
  auto request = STUN::request(transaction);
  auto other = STUN::request(STUN::transaction());
  other.value()[1] = 0x11;  // not a Binding request: no answer
  const std::string junk = "not stun at all";
  ::send(fd, junk.data(), junk.size(), 0);
  ::send(fd, other->data(), other->size(), 0);
  ::send(fd, request->data(), request->size(), 0);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 20000), 1);
  std::uint8_t buffer[2048];
  auto n = ::recv(fd, buffer, sizeof buffer, 0);
  ::close(fd);
  ASSERT_GT(n, 0);
  auto seen = STUN::address(ByteView(buffer, static_cast<std::size_t>(n)), transaction);
  ASSERT_TRUE(seen.ok()) << seen.error().message();
  EXPECT_EQ(seen->host, "127.0.0.1");
  EXPECT_EQ(seen->port, ntohs(local.sin_port));
}

}  // namespace
}  // namespace ombrel
