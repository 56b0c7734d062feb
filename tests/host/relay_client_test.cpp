// The relay client against relays scripted here, on loopback: what it sends, how it reads the
// control lines, and when it moves on. The runtime's clock is manual, so the backoff and the
// probe deadline pass only when a test says so.

#include "Ombrel_Remote_Host/reachability/relay_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/write.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "base/base64.h"
#include "tests/host/manual_runtime.h"
#include "tests/support/mailbox.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

// One end of a TCP connection with line reads that give up after a limit.
class Peer {
 public:
  Peer() = default;
  explicit Peer(int fd) : fd_(fd) {}
  Peer(Peer&& other) noexcept : fd_(std::exchange(other.fd_, -1)), pending_(other.pending_) {}
  Peer& operator=(Peer&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(pending_, other.pending_);
    return *this;
  }
  ~Peer() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool valid() const { return fd_ >= 0; }

  // A line without its "\n"; nothing when the limit passes or the stream ends first.
  std::optional<std::string> readLine(std::chrono::milliseconds limit = 10s) {
    for (;;) {
      if (auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      if (!readSome(limit)) return std::nullopt;
    }
  }

  // Whether the other side closed within the limit (whatever it sent first is dropped).
  bool closedWithin(std::chrono::milliseconds limit = 10s) {
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    }
  }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  bool readSome(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string pending_;
};

// A relay the test speaks for, line by line.
class ScriptedRelay {
 public:
  explicit ScriptedRelay(int backlog = SOMAXCONN, std::uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, backlog) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
    }
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~ScriptedRelay() { ::close(fd_); }

  std::uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  Peer accept(std::chrono::milliseconds limit = 10s) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return Peer();
    return Peer(::accept(fd_, nullptr, nullptr));
  }

  // The next control connection and its registration line; latency probes (connections that
  // close without a byte) are passed over.
  std::pair<Peer, std::string> acceptRegistration() {
    for (;;) {
      Peer peer = accept();
      if (!peer.valid()) return {};
      if (auto line = peer.readLine()) return {std::move(peer), *line};
    }
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

Peer dial(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "cannot connect to port " << port;
  }
  return Peer(fd);
}

// A relay that answers no SYN: a listener with a backlog of 0 and one connection already
// waiting in it.
struct SilentRelay {
  ScriptedRelay relay{0};
  Peer filler = dial(relay.port());
};

// A port on loopback where nothing listens: connecting is refused at once.
std::uint16_t deadPort() {
  ScriptedRelay gone;
  return gone.port();
}

bool verifies(ByteView publicKey, ByteView message, ByteView signature) {
  EVP_PKEY* key =
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size());
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const bool ok = key && context &&
                  EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestVerify(context, signature.data(), signature.size(), message.data(),
                                   message.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  return ok;
}

constexpr const char* connecting = "連線中繼伺服器…";

std::string offline(int seconds) {
  return "中繼伺服器離線，" + std::to_string(seconds) + " 秒後重試";
}

class RelayClientTest : public test::ManualRuntimeTest {
 protected:
  RelayClientTest() {
    client = RelayClient::create(*runtime, identity);
    client->onStatus = [this](const std::string& text) { statuses.put(text); };
    client->onIncoming = [this](asio::ip::tcp::socket socket, Bytes preamble) {
      incoming.put({std::move(socket), std::move(preamble)});
    };
  }
  ~RelayClientTest() override {
    client->shutdown();
    client->queue()->sync([] {});
    client.reset();
  }

  std::string nextStatus() { return statuses.take().value_or("(no status)"); }
  // Each status up to `wanted`, which must come.
  void expectStatus(const std::string& wanted) {
    for (auto text = statuses.take(); text; text = statuses.take()) {
      if (*text == wanted) return;
    }
    ADD_FAILURE() << "no status " << wanted;
  }
  // Waits for what the client's queue is doing (a status is reported before the timer that
  // follows it is armed).
  void settle() {
    client->queue()->sync([] {});
  }
  void advance(double seconds) {
    settle();
    clock->advance(seconds);
  }

  // The control connection to the only relay configured, once it registered.
  Peer connectTo(ScriptedRelay& relay) {
    client->configure(relay.address());
    auto [control, registration] = relay.acceptRegistration();
    expectStatus(connecting);
    return std::move(control);
  }

  const DeviceIdentity identity = DeviceIdentity::generate();
  std::shared_ptr<RelayClient> client;
  test::Mailbox<std::string> statuses;
  test::Mailbox<std::pair<asio::ip::tcp::socket, Bytes>> incoming;
};

TEST_F(RelayClientTest, RegistersProvesItsKeyAndAnswersPings) {
  ScriptedRelay relay;
  client->configure(relay.address());
  EXPECT_EQ(nextStatus(), connecting);

  // One relay: no probe comes first, the first connection is the control connection.
  Peer control = relay.accept();
  ASSERT_TRUE(control.valid());
  const std::string hostID = identity.hostID();
  EXPECT_EQ(control.readLine(), "{\"id\":\"" + hostID + "\",\"key\":\"" +
                                    base64::encode(identity.publicKey()) +
                                    "\",\"role\":\"host\",\"v\":2}");

  // Lines that are not a challenge it can answer get nothing; the next line is the proof.
  control.send("not json\n[1]\n{\"type\":5}\n{\"type\":\"challenge\",\"nonce\":\"@@@@\"}\n");
  const Bytes nonce = {0x00, 0x01, 0xfe, 0xff, 0x0a, 0x20, 0x7f, 0x80};
  control.send("{\"type\":\"challenge\",\"nonce\":\"" + base64::encode(nonce) + "\"}\n");
  const auto proofLine = control.readLine();
  ASSERT_TRUE(proofLine);
  const auto proof = nlohmann::json::parse(*proofLine);
  EXPECT_EQ(proof.size(), 2u);
  EXPECT_EQ(proof.value("type", ""), "proof");
  const auto signature = base64::decode(proof.value("sig", ""));
  ASSERT_TRUE(signature);
  // The ID is shown in digit groups; only its digits are signed.
  ASSERT_NE(hostID.find(' '), std::string::npos);
  std::string digits;
  for (char c : hostID) {
    if (c != ' ') digits += c;
  }
  const Bytes message = concat(toBytes("ombrel-relay-proof-v1"), nonce, toBytes(digits));
  EXPECT_TRUE(verifies(identity.publicKey(), message, *signature));
  EXPECT_FALSE(verifies(identity.publicKey(),
                        concat(toBytes("ombrel-relay-proof-v1"), nonce, toBytes(hostID)),
                        *signature));

  // A ping split across two reads is answered once, when its "\n" arrives.
  control.send("{\"type\":\"registered\"}\n{\"type\":\"pi");
  EXPECT_EQ(nextStatus(), "已上線（ID " + hostID + "）");
  EXPECT_FALSE(control.readLine(300ms));
  control.send("ng\"}\n");
  EXPECT_EQ(control.readLine(), "{\"type\":\"pong\"}");
  // Nothing else came of it: the next line answers the next message.
  control.send("{\"type\":\"ping\"}\n");
  EXPECT_EQ(control.readLine(), "{\"type\":\"pong\"}");
  EXPECT_EQ(statuses.size(), 0u);
}

TEST_F(RelayClientTest, RefusedRegistrationShowsTheReasonAndIsNotRetried) {
  ScriptedRelay relay;
  Peer control = connectTo(relay);
  ASSERT_TRUE(control.valid());

  control.send("{\"type\":\"error\"}\n");
  EXPECT_EQ(nextStatus(), "中繼伺服器拒絕登記：");
  control.send("{\"type\":\"error\",\"error\":\"主機 ID 已被使用\"}\n");
  EXPECT_EQ(nextStatus(), "中繼伺服器拒絕登記：主機 ID 已被使用");

  // The connection stays; no timer brings a second attempt.
  advance(120);
  settle();
  EXPECT_FALSE(relay.accept(300ms).valid());
  EXPECT_FALSE(control.closedWithin(100ms));
  EXPECT_EQ(statuses.size(), 0u);
  EXPECT_EQ(clock->pendingTimers(), 0u);
}

TEST_F(RelayClientTest, BacksOffOneTwoFourUpToThirtyAndStartsOverOnceConnected) {
  auto relay = std::make_unique<ScriptedRelay>();
  const std::uint16_t port = relay->port();
  client->configure(relay->address());
  {
    auto [control, registration] = relay->acceptRegistration();
    ASSERT_TRUE(control.valid());
    expectStatus(connecting);
  }  // the relay hangs up
  EXPECT_EQ(nextStatus(), offline(1));

  // Now nothing listens: each attempt fails at once and the wait doubles, up to 30 s.
  relay.reset();
  double wait = 1;
  for (int expected : {2, 4, 8, 16, 30, 30, 30}) {
    advance(wait - 0.001);
    EXPECT_EQ(statuses.size(), 0u) << "retried before " << wait << " s";
    advance(0.001);
    EXPECT_EQ(nextStatus(), connecting);
    EXPECT_EQ(nextStatus(), offline(expected));
    wait = expected;
  }

  // Back on the same port: once connected, the next failure waits 1 s again.
  relay = std::make_unique<ScriptedRelay>(SOMAXCONN, port);
  ASSERT_EQ(relay->port(), port);
  advance(wait);
  EXPECT_EQ(nextStatus(), connecting);
  {
    auto [control, registration] = relay->acceptRegistration();
    ASSERT_TRUE(control.valid());
  }
  EXPECT_EQ(nextStatus(), offline(1));
}

// Two relays, the first of which cannot be used: the probes put the second first.
struct FirstRelay {
  const char* name;
  bool silent;  // answers no SYN (its accept queue is full) instead of refusing
};

class RelayOrderTest : public RelayClientTest, public ::testing::WithParamInterface<FirstRelay> {};

TEST_P(RelayOrderTest, TheSecondRelayIsUsed) {
  std::optional<SilentRelay> silent;
  std::string first = "127.0.0.1:" + std::to_string(deadPort());
  if (GetParam().silent) first = silent.emplace().relay.address();
  ScriptedRelay live;
  client->configure(first + ", " + live.address());

  // The live relay's probe: accepted, then closed by the client once recorded.
  Peer probe = live.accept();
  ASSERT_TRUE(probe.valid());
  EXPECT_TRUE(probe.closedWithin());
  // A probe still open after 2 s counts as unreachable.
  if (GetParam().silent) advance(RelayClient::probeDeadline);

  auto [control, registration] = live.acceptRegistration();
  ASSERT_TRUE(control.valid());
  EXPECT_NE(registration.find("\"role\":\"host\""), std::string::npos);
  expectStatus(connecting);
}

INSTANTIATE_TEST_SUITE_P(Relays, RelayOrderTest,
                         ::testing::Values(FirstRelay{"Refusing", false},
                                           FirstRelay{"Silent", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RelayClientTest, AConfigureDuringTheProbesDiscardsTheirResult) {
  SilentRelay silent;
  ScriptedRelay probed;
  client->configure(silent.relay.address() + "," + probed.address());
  Peer probe = probed.accept();
  ASSERT_TRUE(probe.valid());

  ScriptedRelay chosen;
  Peer control = connectTo(chosen);
  ASSERT_TRUE(control.valid());

  // Had the old round finished, it would now connect to the relay it probed.
  advance(RelayClient::probeDeadline);
  settle();
  EXPECT_TRUE(probe.closedWithin());
  EXPECT_FALSE(probed.accept(500ms).valid());
  EXPECT_FALSE(control.closedWithin(100ms));
}

TEST_F(RelayClientTest, AControlLineOverSixtyFourKiBBreaksTheConnection) {
  ScriptedRelay relay;
  Peer control = connectTo(relay);
  ASSERT_TRUE(control.valid());

  // A line of exactly the cap is read (and ignored as malformed).
  control.send(std::string(RelayClient::maxLineBytes, 'x') + "\n{\"type\":\"registered\"}\n");
  EXPECT_EQ(nextStatus(), "已上線（ID " + identity.hostID() + "）");
  // One byte more, with no end in sight, and the connection is given up.
  control.send(std::string(RelayClient::maxLineBytes + 1, 'x'));
  EXPECT_EQ(nextStatus(), offline(1));
  EXPECT_TRUE(control.closedWithin());

  advance(1);
  EXPECT_EQ(nextStatus(), connecting);
  EXPECT_TRUE(relay.acceptRegistration().first.valid());
}

TEST_F(RelayClientTest, AnIncomingClientGetsAConnectedDataConnectionAndItsPreamble) {
  ScriptedRelay relay;
  Peer control = connectTo(relay);
  ASSERT_TRUE(control.valid());

  control.send("{\"type\":\"incoming\",\"session\":\"7f3a\\\"9\"}\n");
  Peer data = relay.accept();
  ASSERT_TRUE(data.valid());
  auto handed = incoming.take();
  ASSERT_TRUE(handed);
  auto& [socket, preamble] = *handed;
  EXPECT_EQ(toString(preamble), "{\"role\":\"host-data\",\"session\":\"7f3a\\\"9\"}\n");
  // Connected when handed over: it has a peer, the relay, and carries bytes to it.
  std::error_code error;
  const auto remote = socket.remote_endpoint(error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(remote.port(), relay.port());
  asio::write(socket, asio::buffer(preamble), error);
  ASSERT_FALSE(error);
  EXPECT_EQ(data.readLine(), "{\"role\":\"host-data\",\"session\":\"7f3a\\\"9\"}");
  socket.close(error);
  // The control connection is not touched by it.
  EXPECT_FALSE(control.closedWithin(100ms));
}

}  // namespace
}  // namespace ombrel
