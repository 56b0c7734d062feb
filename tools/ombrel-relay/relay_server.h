#pragma once

// The relay: hosts that cannot be reached directly keep a control connection here, and clients
// that name a host ID are paired with a data connection the host opens for them; the relay then
// copies bytes between the two. It keeps nothing beyond its live connections, so any number of
// relays can run side by side.
//
// Lines (JSON, one per line feed, at most `maxLineBytes` before it):
//   host    -> relay  {"role":"host","id":HOST ID,"v":2,"key":BASE64}        registration
//   relay   -> host   {"type":"challenge","nonce":BASE64 of 32 random bytes}
//   host    -> relay  {"type":"proof","sig":BASE64}   Ed25519 by `key` over
//                     "ombrel-relay-proof-v1" ‖ nonce ‖ the host ID's digits
//   relay   -> host   {"type":"registered"} | {"type":"error","error":TEXT} (stays open, unused)
//                     {"type":"ping"} (answer {"type":"pong"}) | {"type":"incoming","session":S}
//   client  -> relay  {"role":"client","id":HOST ID (spaces optional),"v":2}
//   host    -> relay  {"role":"host-data","session":S}     on a new connection
//   relay   -> both   {"ok":true}, then raw bytes both ways; or, to the client alone,
//                     {"ok":false,"error":"offline" | "busy" | "no_answer"} and close
//
// Connection states:
//   preamble        -> host-proving      registration line; the key must be the ID's key
//   host-proving    -> host              valid proof: registered (replaces an older holder)
//   host-proving    -> refused           bad proof, or an ID this relay does not serve
//   preamble        -> client-waiting    client line naming a registered host ("incoming" sent)
//   client-waiting  -> spliced           the host's data connection for its session arrived
//   preamble        -> spliced           host-data line for a waiting session
//   any             -> closed            peer gone, line over the cap, a deadline passed
// STUN: a Binding request on the same port over UDP gets a success response carrying the
// address it came from; every other datagram is dropped unanswered.
// Deadlines: the first line (`lineTimeout`), the proof (`lineTimeout`), a client's wait for
// its host (`pairTimeout`), a host's answer to a ping (one `pingInterval`).
//
// Splicing reads from one side only after the other side took everything read before, so each
// direction holds at most `spliceBufferBytes` in the relay however the two peers' speeds differ.
//
// Threading: every connection, timer and the registry live on the relay's one queue; `start`,
// `stop`, `port` and `stats` may be called from any thread (they hop onto it).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <nlohmann/json.hpp>

#include "base/bytes.h"
#include "base/runtime.h"

namespace ombrel {

class RelayServer : public std::enable_shared_from_this<RelayServer> {
 public:
  static constexpr std::uint16_t defaultPort = 47900;
  static constexpr std::size_t maxLineBytes = 4096;
  static constexpr const char* proofLabel = "ombrel-relay-proof-v1";

  struct Options {
    std::string address = "::";  // "::" also takes IPv4 where the system allows it
    std::uint16_t port = defaultPort;
    double lineTimeout = 10;
    double pairTimeout = 10;
    double pingInterval = 30;
    double statusInterval = 60;
    std::size_t maxConnectionsPerAddress = 64;
    std::size_t maxWaitingPerHost = 16;
    std::size_t spliceBufferBytes = 256 * 1024;
    // Host IDs this relay serves; empty serves every host.
    std::set<std::string> allowedHostIDs;
  };

  struct Stats {
    std::size_t hosts = 0;
    std::size_t splices = 0;  // live
    std::size_t totalSplices = 0;
    std::size_t connections = 0;
    std::uint64_t bytes = 0;
  };

  // One JSON object per event ("listening", "status", "registered", "refused", "spliced"...),
  // on the relay's queue.
  using EventSink = std::function<void(const nlohmann::json&)>;

  static std::shared_ptr<RelayServer> create(Runtime& runtime, Options options, EventSink sink);
  ~RelayServer();

  // Binds TCP and UDP on the address and port (port 0 picks one, the same for both). Throws
  // std::system_error when the port cannot be had.
  void start();
  // Closes every connection and the listeners; idempotent.
  void stop();
  std::uint16_t port() const { return port_; }
  Stats stats();

  static Bytes proofMessage(ByteView nonce, std::string_view hostID);

 private:
  struct Connection;
  struct Waiting;
  struct Direction;

  RelayServer(Runtime& runtime, Options options, EventSink sink);

  void accept();
  void admit(asio::ip::tcp::socket socket);
  void readLines(const std::shared_ptr<Connection>& conn);
  bool takeLines(const std::shared_ptr<Connection>& conn);
  void handleLine(const std::shared_ptr<Connection>& conn, const std::string& line);
  void firstLine(const std::shared_ptr<Connection>& conn, const nlohmann::json& message);
  void hostLine(const std::shared_ptr<Connection>& conn, const nlohmann::json& message);
  void registration(const std::shared_ptr<Connection>& conn, const nlohmann::json& message);
  void proof(const std::shared_ptr<Connection>& conn, const nlohmann::json& message);
  void refuse(const std::shared_ptr<Connection>& conn, const std::string& reason);
  void client(const std::shared_ptr<Connection>& conn, const nlohmann::json& message);
  void hostData(const std::shared_ptr<Connection>& conn, const nlohmann::json& message);
  void answerClient(const std::shared_ptr<Connection>& conn, const std::string& error);
  void splice(const std::shared_ptr<Connection>& client, const std::shared_ptr<Connection>& host);
  void pump(const std::shared_ptr<Direction>& direction);
  void forward(const std::shared_ptr<Direction>& direction, std::size_t n);
  void endDirection(const std::shared_ptr<Direction>& direction, bool failed);
  void pingTick(const std::shared_ptr<Connection>& conn);
  void send(const std::shared_ptr<Connection>& conn, const nlohmann::json& line,
            std::function<void()> then = {});
  void flush(const std::shared_ptr<Connection>& conn);
  // By value: callers may pass a registry entry that closing erases.
  void close(std::shared_ptr<Connection> conn);
  void reportStatus();
  // STUN Binding on the same port over UDP (relay_stun.cpp).
  void openStun(const asio::ip::address& address);
  void receiveStun();
  void answerStun(std::size_t n);
  void emit(const nlohmann::json& event);

  Runtime& runtime_;
  const Options options_;
  EventSink sink_;
  std::shared_ptr<SerialQueue> queue_;
  std::uint16_t port_ = 0;

  // On the queue.
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::unique_ptr<asio::ip::udp::socket> stun_;
  asio::ip::udp::endpoint stunPeer_;
  std::vector<std::uint8_t> stunBuffer_;
  std::map<std::uint64_t, std::shared_ptr<Connection>> connections_;
  std::map<std::string, std::shared_ptr<Connection>> hosts_;  // by normalized host ID
  std::map<std::string, std::shared_ptr<Waiting>> waiting_;   // by session
  std::uint64_t nextID_ = 0;
  std::size_t splices_ = 0;
  std::size_t totalSplices_ = 0;
  std::uint64_t bytes_ = 0;
  bool stopped_ = false;
  std::shared_ptr<Timer> statusTimer_;
};

}  // namespace ombrel
