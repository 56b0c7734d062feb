#include "relay_server.h"

#include <asio/bind_executor.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <deque>

#include "OmbrelKit/crypto/ed25519.h"
#include "OmbrelKit/crypto/random.h"
#include "OmbrelKit/device_identity.h"
#include "base/base64.h"

namespace ombrel {

using asio::ip::tcp;
using Json = nlohmann::json;

namespace {

std::string digitsOf(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  return digits;
}

std::string addressText(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

std::string hex(ByteView bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

const std::string* stringMember(const Json& message, const char* key) {
  auto it = message.find(key);
  return it != message.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

}  // namespace

struct RelayServer::Connection {
  enum class State { preamble, hostProving, host, refused, clientWaiting, hostData, spliced };

  Connection(tcp::socket s, std::uint64_t i, std::string a)
      : socket(std::move(s)), id(i), address(std::move(a)) {}

  tcp::socket socket;
  const std::uint64_t id;
  const std::string address;
  State state = State::preamble;
  bool closed = false;
  std::string input;  // read and not yet taken as lines; after a preamble, the peer's first bytes
  std::array<char, 4096> chunk{};
  std::deque<std::string> output;
  bool writing = false;
  std::deque<std::function<void()>> afterWrites;  // one per queued line, maybe empty
  std::shared_ptr<Timer> deadline;
  std::shared_ptr<Timer> pinger;
  // Host control connections.
  std::string hostID;  // normalized
  Bytes key;
  Bytes nonce;
  bool heard = true;  // a line arrived since the last ping tick
  bool pingOutstanding = false;
  // Shared by the two halves of a splice while both are open.
  std::shared_ptr<bool> spliceLive;
};

struct RelayServer::Waiting {
  std::string session;
  std::string hostID;
  std::shared_ptr<Connection> client;
  std::shared_ptr<Timer> deadline;
};

struct RelayServer::Direction {
  std::shared_ptr<Connection> from;
  std::shared_ptr<Connection> to;
  std::vector<std::uint8_t> buffer;
  std::shared_ptr<bool> otherDone;
  std::shared_ptr<bool> done;
};

std::shared_ptr<RelayServer> RelayServer::create(Runtime& runtime, Options options,
                                                 EventSink sink) {
  return std::shared_ptr<RelayServer>(
      new RelayServer(runtime, std::move(options), std::move(sink)));
}

RelayServer::RelayServer(Runtime& runtime, Options options, EventSink sink)
    : runtime_(runtime),
      options_(std::move(options)),
      sink_(std::move(sink)),
      queue_(runtime.makeQueue("ombrel.relay")) {}

RelayServer::~RelayServer() = default;

Bytes RelayServer::proofMessage(ByteView nonce, std::string_view hostID) {
  Bytes message(proofLabel, proofLabel + std::char_traits<char>::length(proofLabel));
  message.insert(message.end(), nonce.begin(), nonce.end());
  auto digits = digitsOf(hostID);
  message.insert(message.end(), digits.begin(), digits.end());
  return message;
}

void RelayServer::emit(const Json& event) {
  if (sink_) sink_(event);
}

void RelayServer::start() {
  queue_->sync([this] {
    auto address = asio::ip::make_address(options_.address);
    tcp::endpoint endpoint(address, options_.port);
    acceptor_ = std::make_unique<tcp::acceptor>(queue_->executor());
    acceptor_->open(endpoint.protocol());
    if (address.is_v6()) acceptor_->set_option(asio::ip::v6_only(false));
    acceptor_->set_option(tcp::acceptor::reuse_address(true));
    acceptor_->bind(endpoint);
    acceptor_->listen();
    port_ = acceptor_->local_endpoint().port();
    openStun(address);
    emit({{"event", "listening"}, {"address", addressText(address)}, {"port", port_}});
    accept();
    std::weak_ptr<RelayServer> weak = weak_from_this();
    statusTimer_ = queue_->every(options_.statusInterval, [weak] {
      if (auto self = weak.lock()) self->reportStatus();
    });
  });
}

void RelayServer::stop() {
  queue_->sync([this] {
    if (stopped_) return;
    stopped_ = true;
    if (statusTimer_) statusTimer_->cancel();
    asio::error_code ignored;
    if (acceptor_) acceptor_->close(ignored);
    if (stun_) stun_->close(ignored);
    auto connections = connections_;
    for (auto& [id, conn] : connections) close(conn);
    for (auto& [session, waiting] : waiting_) waiting->deadline->cancel();
    waiting_.clear();
    hosts_.clear();
  });
}

RelayServer::Stats RelayServer::stats() {
  return queue_->sync([this] {
    return Stats{.hosts = hosts_.size(),
                 .splices = splices_,
                 .totalSplices = totalSplices_,
                 .connections = connections_.size(),
                 .bytes = bytes_};
  });
}

void RelayServer::reportStatus() {
  emit({{"event", "status"},
        {"hosts", hosts_.size()},
        {"splices", splices_},
        {"totalSplices", totalSplices_},
        {"connections", connections_.size()},
        {"bytes", bytes_}});
}

void RelayServer::accept() {
  std::weak_ptr<RelayServer> weak = weak_from_this();
  acceptor_->async_accept(asio::bind_executor(
      queue_->executor(), [weak](const asio::error_code& error, tcp::socket socket) {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        if (!error) self->admit(std::move(socket));
        // Running out of descriptors must not end the relay; the next accept may succeed.
        if (error != asio::error::operation_aborted) self->accept();
      }));
}

void RelayServer::admit(tcp::socket socket) {
  asio::error_code error;
  auto peer = socket.remote_endpoint(error);
  if (error) return;
  std::string address = addressText(peer.address());
  std::size_t fromThere = 0;
  for (const auto& [id, conn] : connections_) fromThere += conn->address == address;
  if (fromThere >= options_.maxConnectionsPerAddress) {
    socket.close(error);
    return;
  }
  socket.set_option(tcp::no_delay(true), error);
  auto conn = std::make_shared<Connection>(std::move(socket), ++nextID_, address);
  connections_[conn->id] = conn;
  std::weak_ptr<Connection> weakConn = conn;
  std::weak_ptr<RelayServer> weak = weak_from_this();
  conn->deadline = queue_->after(options_.lineTimeout, [weak, weakConn] {
    auto self = weak.lock();
    auto conn = weakConn.lock();
    if (self && conn) self->close(conn);
  });
  readLines(conn);
}

void RelayServer::readLines(const std::shared_ptr<Connection>& conn) {
  std::weak_ptr<RelayServer> weak = weak_from_this();
  conn->socket.async_read_some(
      asio::buffer(conn->chunk),
      asio::bind_executor(queue_->executor(),
                          [weak, conn](const asio::error_code& error, std::size_t n) {
                            auto self = weak.lock();
                            if (!self || conn->closed) return;
                            if (error) {
                              self->close(conn);
                              return;
                            }
                            conn->input.append(conn->chunk.data(), n);
                            if (self->takeLines(conn)) self->readLines(conn);
                          }));
}

// Handles the complete lines in the input; true when the connection still reads lines.
bool RelayServer::takeLines(const std::shared_ptr<Connection>& conn) {
  for (;;) {
    auto newline = conn->input.find('\n');
    if (newline == std::string::npos) break;
    if (newline > maxLineBytes) break;
    std::string line = conn->input.substr(0, newline);
    conn->input.erase(0, newline + 1);
    handleLine(conn, line);
    if (conn->closed) return false;
    // After a client's or host-data preamble the rest is the peer's stream, not lines.
    if (conn->state == Connection::State::clientWaiting ||
        conn->state == Connection::State::hostData || conn->state == Connection::State::spliced) {
      return false;
    }
  }
  auto newline = conn->input.find('\n');
  if ((newline == std::string::npos ? conn->input.size() : newline) > maxLineBytes) {
    emit({{"event", "lineTooLong"}, {"address", conn->address}});
    close(conn);
    return false;
  }
  return true;
}

void RelayServer::handleLine(const std::shared_ptr<Connection>& conn, const std::string& line) {
  Json message = Json::parse(line, nullptr, false);
  if (conn->state == Connection::State::host) {
    conn->heard = true;
    conn->pingOutstanding = false;
  }
  if (!message.is_object()) {
    // Before anything is known of the peer a malformed line ends it; a registered host's
    // malformed line is ignored, as hosts ignore ours.
    if (conn->state == Connection::State::preamble ||
        conn->state == Connection::State::hostProving) {
      close(conn);
    }
    return;
  }
  switch (conn->state) {
    case Connection::State::preamble:
      firstLine(conn, message);
      return;
    case Connection::State::hostProving:
      proof(conn, message);
      return;
    case Connection::State::host:
    case Connection::State::refused:
      hostLine(conn, message);
      return;
    default:
      return;
  }
}

void RelayServer::firstLine(const std::shared_ptr<Connection>& conn, const Json& message) {
  const std::string* role = stringMember(message, "role");
  if (!role) {
    close(conn);
  } else if (*role == "host") {
    registration(conn, message);
  } else if (*role == "client") {
    client(conn, message);
  } else if (*role == "host-data") {
    hostData(conn, message);
  } else {
    close(conn);
  }
}

void RelayServer::registration(const std::shared_ptr<Connection>& conn, const Json& message) {
  const std::string* id = stringMember(message, "id");
  const std::string* key = stringMember(message, "key");
  auto v = message.find("v");
  if (!id || v == message.end() || !v->is_number_integer() || v->get<int>() != 2) {
    refuse(conn, "unsupported registration");
    return;
  }
  conn->hostID = DeviceIdentity::normalizeHostID(*id);
  if (!options_.allowedHostIDs.empty() && !options_.allowedHostIDs.count(conn->hostID)) {
    refuse(conn, "host ID not served by this relay");
    return;
  }
  auto decoded = key ? base64::decode(*key) : std::nullopt;
  if (!decoded || decoded->size() != crypto::ed25519KeySize) {
    refuse(conn, "missing key");
    return;
  }
  if (!DeviceIdentity::matchesHostID(*id, *decoded)) {
    refuse(conn, "key does not match host ID");
    return;
  }
  conn->key = std::move(*decoded);
  conn->nonce = crypto::randomBytes(32);
  conn->state = Connection::State::hostProving;
  // The proof has the same deadline as the line before it.
  conn->deadline->cancel();
  std::weak_ptr<Connection> weakConn = conn;
  std::weak_ptr<RelayServer> weak = weak_from_this();
  conn->deadline = queue_->after(options_.lineTimeout, [weak, weakConn] {
    auto self = weak.lock();
    auto conn = weakConn.lock();
    if (self && conn && conn->state == Connection::State::hostProving) self->close(conn);
  });
  send(conn, {{"type", "challenge"}, {"nonce", base64::encode(conn->nonce)}});
}

void RelayServer::proof(const std::shared_ptr<Connection>& conn, const Json& message) {
  const std::string* type = stringMember(message, "type");
  if (!type || *type != "proof") return;
  const std::string* sig = stringMember(message, "sig");
  auto signature = sig ? base64::decode(*sig) : std::nullopt;
  if (!signature ||
      !crypto::ed25519Verify(conn->key, proofMessage(conn->nonce, conn->hostID), *signature)) {
    refuse(conn, "invalid proof");
    return;
  }
  conn->deadline->cancel();
  if (auto it = hosts_.find(conn->hostID); it != hosts_.end() && it->second != conn) {
    // The key's owner came back (a restart, a new network): the older connection is stale.
    emit({{"event", "replaced"}, {"hostID", conn->hostID}});
    close(it->second);
  }
  hosts_[conn->hostID] = conn;
  conn->state = Connection::State::host;
  conn->heard = true;
  emit({{"event", "registered"}, {"hostID", conn->hostID}, {"address", conn->address}});
  send(conn, {{"type", "registered"}});
  std::weak_ptr<Connection> weakConn = conn;
  std::weak_ptr<RelayServer> weak = weak_from_this();
  conn->pinger = queue_->every(options_.pingInterval, [weak, weakConn] {
    auto self = weak.lock();
    auto conn = weakConn.lock();
    if (self && conn) self->pingTick(conn);
  });
}

// A refused registration keeps its connection (the host shows the reason and does not retry)
// but gets nothing from the relay and counts against its address's limit.
void RelayServer::refuse(const std::shared_ptr<Connection>& conn, const std::string& reason) {
  conn->deadline->cancel();
  conn->state = Connection::State::refused;
  emit({{"event", "refused"}, {"hostID", conn->hostID}, {"reason", reason}});
  send(conn, {{"type", "error"}, {"error", reason}});
}

void RelayServer::hostLine(const std::shared_ptr<Connection>&, const Json&) {
  // "pong" and anything else only show the host is alive (handleLine noted it).
}

void RelayServer::pingTick(const std::shared_ptr<Connection>& conn) {
  if (conn->pingOutstanding) {
    emit({{"event", "silent"}, {"hostID", conn->hostID}});
    close(conn);
    return;
  }
  if (conn->heard) {
    conn->heard = false;
    return;
  }
  conn->pingOutstanding = true;
  send(conn, {{"type", "ping"}});
}

void RelayServer::client(const std::shared_ptr<Connection>& conn, const Json& message) {
  conn->deadline->cancel();
  conn->state = Connection::State::clientWaiting;
  const std::string* id = stringMember(message, "id");
  std::string hostID = id ? DeviceIdentity::normalizeHostID(*id) : std::string();
  auto host = hosts_.find(hostID);
  if (host == hosts_.end()) {
    answerClient(conn, "offline");
    return;
  }
  std::size_t forHost = 0;
  for (const auto& [session, waiting] : waiting_) forHost += waiting->hostID == hostID;
  if (forHost >= options_.maxWaitingPerHost) {
    answerClient(conn, "busy");
    return;
  }
  auto waiting = std::make_shared<Waiting>();
  waiting->session = hex(crypto::randomBytes(16));
  waiting->hostID = hostID;
  waiting->client = conn;
  std::weak_ptr<RelayServer> weak = weak_from_this();
  std::string session = waiting->session;
  waiting->deadline = queue_->after(options_.pairTimeout, [weak, session] {
    auto self = weak.lock();
    if (!self) return;
    auto it = self->waiting_.find(session);
    if (it == self->waiting_.end()) return;
    auto client = it->second->client;
    self->waiting_.erase(it);
    self->answerClient(client, "no_answer");
  });
  waiting_[session] = waiting;
  send(host->second, {{"type", "incoming"}, {"session", session}});
}

void RelayServer::answerClient(const std::shared_ptr<Connection>& conn, const std::string& error) {
  emit({{"event", "clientRefused"}, {"error", error}});
  std::weak_ptr<RelayServer> weak = weak_from_this();
  send(conn, {{"ok", false}, {"error", error}}, [weak, conn] {
    if (auto self = weak.lock()) self->close(conn);
  });
}

void RelayServer::hostData(const std::shared_ptr<Connection>& conn, const Json& message) {
  conn->deadline->cancel();
  conn->state = Connection::State::hostData;
  const std::string* session = stringMember(message, "session");
  auto it = session ? waiting_.find(*session) : waiting_.end();
  if (it == waiting_.end()) {
    // Late (the client gave up) or made up: nobody waits for it.
    std::weak_ptr<RelayServer> weak = weak_from_this();
    send(conn, {{"ok", false}, {"error", "unknown session"}}, [weak, conn] {
      if (auto self = weak.lock()) self->close(conn);
    });
    return;
  }
  auto waiting = it->second;
  waiting_.erase(it);
  waiting->deadline->cancel();
  if (waiting->client->closed) {
    close(conn);
    return;
  }
  splice(waiting->client, conn);
}

void RelayServer::splice(const std::shared_ptr<Connection>& client,
                         const std::shared_ptr<Connection>& host) {
  client->state = Connection::State::spliced;
  host->state = Connection::State::spliced;
  ++splices_;
  ++totalSplices_;
  client->spliceLive = host->spliceLive = std::make_shared<bool>(true);
  emit({{"event", "spliced"}, {"client", client->address}, {"host", host->address}});
  auto toHost = std::make_shared<Direction>();
  auto toClient = std::make_shared<Direction>();
  toHost->from = client;
  toHost->to = host;
  toClient->from = host;
  toClient->to = client;
  toHost->done = toClient->otherDone = std::make_shared<bool>(false);
  toClient->done = toHost->otherDone = std::make_shared<bool>(false);
  // Each side hears "ok" before any byte of the other; bytes that came with a preamble go first.
  std::weak_ptr<RelayServer> weak = weak_from_this();
  auto start = [weak](const std::shared_ptr<Direction>& direction) {
    return [weak, direction] {
      auto self = weak.lock();
      if (!self) return;
      auto& early = direction->from->input;
      if (early.empty()) {
        self->pump(direction);
        return;
      }
      direction->buffer.assign(early.begin(), early.end());
      early.clear();
      self->forward(direction, direction->buffer.size());
    };
  };
  send(host, {{"ok", true}}, start(toHost));
  send(client, {{"ok", true}}, start(toClient));
}

void RelayServer::pump(const std::shared_ptr<Direction>& direction) {
  if (direction->from->closed || direction->to->closed) return;
  direction->buffer.resize(options_.spliceBufferBytes);
  std::weak_ptr<RelayServer> weak = weak_from_this();
  direction->from->socket.async_read_some(
      asio::buffer(direction->buffer),
      asio::bind_executor(queue_->executor(),
                          [weak, direction](const asio::error_code& error, std::size_t n) {
                            auto self = weak.lock();
                            if (!self || direction->to->closed) return;
                            if (error) {
                              self->endDirection(direction, error != asio::error::eof);
                              return;
                            }
                            self->forward(direction, n);
                          }));
}

// Writes the first `n` bytes of the direction's buffer; the next read waits for that write, so
// a slow reader holds the relay to one buffer per direction and the sender stalls in TCP.
void RelayServer::forward(const std::shared_ptr<Direction>& direction, std::size_t n) {
  bytes_ += n;
  std::weak_ptr<RelayServer> weak = weak_from_this();
  asio::async_write(
      direction->to->socket, asio::buffer(direction->buffer.data(), n),
      asio::bind_executor(queue_->executor(),
                          [weak, direction](const asio::error_code& error, std::size_t) {
                            auto self = weak.lock();
                            if (!self) return;
                            if (error) {
                              self->endDirection(direction, true);
                              return;
                            }
                            self->pump(direction);
                          }));
}

// One side finished sending: pass the end on; when both have, or on an error, close both.
void RelayServer::endDirection(const std::shared_ptr<Direction>& direction, bool failed) {
  *direction->done = true;
  if (failed || *direction->otherDone) {
    close(direction->from);
    close(direction->to);
    return;
  }
  asio::error_code ignored;
  direction->to->socket.shutdown(tcp::socket::shutdown_send, ignored);
  direction->buffer = {};
}

void RelayServer::send(const std::shared_ptr<Connection>& conn, const Json& line,
                       std::function<void()> then) {
  if (conn->closed) return;
  conn->output.push_back(line.dump() + "\n");
  conn->afterWrites.push_back(std::move(then));
  if (!conn->writing) flush(conn);
}

void RelayServer::flush(const std::shared_ptr<Connection>& conn) {
  if (conn->output.empty() || conn->closed) {
    conn->writing = false;
    return;
  }
  conn->writing = true;
  std::weak_ptr<RelayServer> weak = weak_from_this();
  asio::async_write(conn->socket, asio::buffer(conn->output.front()),
                    asio::bind_executor(queue_->executor(),
                                        [weak, conn](const asio::error_code& error, std::size_t) {
                                          auto self = weak.lock();
                                          if (!self || conn->closed) return;
                                          if (error) {
                                            self->close(conn);
                                            return;
                                          }
                                          conn->output.pop_front();
                                          auto then = std::move(conn->afterWrites.front());
                                          conn->afterWrites.pop_front();
                                          if (then) then();
                                          self->flush(conn);
                                        }));
}

void RelayServer::close(std::shared_ptr<Connection> conn) {
  if (conn->closed) return;
  conn->closed = true;
  asio::error_code ignored;
  conn->socket.close(ignored);
  if (conn->deadline) conn->deadline->cancel();
  if (conn->pinger) conn->pinger->cancel();
  conn->output.clear();
  conn->afterWrites.clear();
  // Both halves of a splice close together; the pair counts once.
  if (conn->spliceLive && *conn->spliceLive) {
    *conn->spliceLive = false;
    --splices_;
  }
  if (conn->state == Connection::State::host) {
    auto it = hosts_.find(conn->hostID);
    if (it != hosts_.end() && it->second == conn) {
      hosts_.erase(it);
      emit({{"event", "unregistered"}, {"hostID", conn->hostID}});
    }
  }
  connections_.erase(conn->id);
}

}  // namespace ombrel
