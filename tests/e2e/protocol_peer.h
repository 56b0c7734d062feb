#pragma once

// A raw protocol client for end-to-end tests that play a hostile peer: its socket is bound to a
// chosen loopback source address (each address has its own admission budget on the host), it
// sends whatever the test asks, and it can stop reading altogether.

#include <asio/ip/tcp.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/tcp_transport.h"
#include "base/runtime.h"
#include "support/mailbox.h"

namespace ombrel::test {

// Sanitized builds run the host and every handshake several times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int sanitizerSlowdown = 10;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
inline constexpr int sanitizerSlowdown = 10;
#else
inline constexpr int sanitizerSlowdown = 1;
#endif
#else
inline constexpr int sanitizerSlowdown = 1;
#endif

// Passes a TCP connection through until `deafen()`; from then on no receive completes, so the
// socket is never read again and the peer's data piles up in the kernel, as with a client that
// stopped reading.
class DeafeningTransport final : public CorvaneByteTransport {
 public:
  explicit DeafeningTransport(std::shared_ptr<TCPTransport> inner) : inner_(std::move(inner)) {}

  void deafen() { deaf_ = true; }

  void start(std::shared_ptr<SerialQueue> queue) override {
    inner_->onReady = [ready = onReady] {
      if (ready) ready();
    };
    inner_->onClose = [close = onClose](Error error) {
      if (close) close(error);
    };
    inner_->start(std::move(queue));
  }
  void send(Bytes data, SendCompletion completion) override {
    inner_->send(std::move(data), std::move(completion));
  }
  void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override {
    // The completion is dropped: the connection waits for data forever.
    if (!deaf_) inner_->receive(minimum, maximum, std::move(completion));
  }
  void cancel() override { inner_->cancel(); }

 private:
  std::shared_ptr<TCPTransport> inner_;
  std::atomic<bool> deaf_{false};
};

class ProtocolPeer {
 public:
  struct Message {
    MessageType type;
    Bytes body;
  };

  ProtocolPeer(Runtime& runtime, const std::string& source, std::uint16_t port,
               std::uint8_t keyByte) {
    asio::ip::tcp::socket socket(runtime.context());
    std::error_code error;
    socket.open(asio::ip::tcp::v4(), error);
    if (!error) socket.bind({asio::ip::make_address_v4(source), 0}, error);
    if (!error) socket.connect({asio::ip::address_v4::loopback(), port}, error);
    if (error) return;
    transport_ = std::make_shared<DeafeningTransport>(TCPTransport::connected(
        std::move(socket), /*outbound=*/true, NVConnection::tcpParameters()));
    conn_ = NVConnection::create(transport_, NVConnection::Role::client,
                                 DeviceIdentity(Bytes(32, keyByte)), std::nullopt, runtime);
    // The callbacks hold the mailboxes, never the peer: they may run after it is gone.
    conn_->onMessage = [box = messages_](MessageType type, Bytes body) {
      box->put({type, std::move(body)});
    };
    conn_->onReady = [box = ready_] { box->put(true); };
    conn_->start();
  }
  ~ProtocolPeer() {
    if (conn_) conn_->close();
  }
  ProtocolPeer(const ProtocolPeer&) = delete;
  ProtocolPeer& operator=(const ProtocolPeer&) = delete;

  NVConnection& connection() { return *conn_; }
  void deafen() { transport_->deafen(); }

  // Handshake, client hello and the host's hello, each within what is left of `limit`.
  bool greet(const std::string& name, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    if (!conn_ || !ready_->take(left(deadline))) return false;
    conn_->sendJSON(MessageType::clientHello,
                    ClientHello{.deviceName = name, .model = "iPhone", .protocolVersion = 2});
    return next(MessageType::hostHello, left(deadline)).has_value();
  }
  void pairBurst(const std::string& name, int requests) {
    for (int i = 0; i < requests; ++i) {
      conn_->sendJSON(MessageType::pairRequest, PairRequest{.deviceName = name, .model = "iPhone"});
    }
  }
  // A ping answered: every request sent before it was handled by the session.
  bool roundTrip(std::chrono::milliseconds limit) {
    conn_->sendJSON(MessageType::ping, PingMessage{.t = 1});
    return next(MessageType::pong, limit).has_value();
  }
  // The next message of `type`; others that come first are kept for results().
  std::optional<Message> waitFor(MessageType type, std::chrono::milliseconds limit) {
    return next(type, limit);
  }
  // The pair results that arrived so far.
  std::vector<PairResult> results() {
    std::vector<PairResult> out;
    for (auto& m : seen_)
      if (m.type == MessageType::pairResult) out.push_back(NVJSON::decode<PairResult>(m.body));
    while (auto m = messages_->take(std::chrono::milliseconds(0))) {
      if (m->type == MessageType::pairResult) out.push_back(NVJSON::decode<PairResult>(m->body));
      seen_.push_back(std::move(*m));
    }
    return out;
  }

 private:
  static std::chrono::milliseconds left(std::chrono::steady_clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
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

  std::shared_ptr<DeafeningTransport> transport_;
  std::shared_ptr<NVConnection> conn_;
  std::shared_ptr<Mailbox<Message>> messages_ = std::make_shared<Mailbox<Message>>();
  std::shared_ptr<Mailbox<bool>> ready_ = std::make_shared<Mailbox<bool>>();
  std::vector<Message> seen_;
};

}  // namespace ombrel::test
