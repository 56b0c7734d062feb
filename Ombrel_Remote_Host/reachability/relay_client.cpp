#include "Ombrel_Remote_Host/reachability/relay_client.h"

#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <utility>

#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/nv_json.h"
#include "base/base64.h"
#include "base/log.h"

namespace ombrel {

namespace {

constexpr double unreachable = std::numeric_limits<double>::infinity();

Bytes line(const nlohmann::json& object) {
  Bytes bytes = NVJSON::dump(object);
  bytes.push_back('\n');
  return bytes;
}

std::vector<RelayEndpoint> parseList(std::string_view address) {
  std::vector<RelayEndpoint> endpoints;
  std::size_t start = 0;
  while (start <= address.size()) {
    const std::size_t end = std::min(address.find_first_of(",; ", start), address.size());
    if (end > start) {
      if (auto endpoint = RelayEndpoint::parse(address.substr(start, end - start))) {
        endpoints.push_back(std::move(*endpoint));
      }
    }
    start = end + 1;
  }
  return endpoints;
}

}  // namespace

// One latency probe per relay, all started together; each records once.
struct RelayClient::ProbeRound {
  int generation = 0;
  double start = 0;
  std::vector<std::shared_ptr<TCPTransport>> transports;
  std::vector<double> latency;
  std::vector<bool> recorded;
  std::size_t remaining = 0;
  std::shared_ptr<Timer> deadline;

  void cancel() {
    if (deadline) deadline->cancel();
    for (auto& transport : transports) {
      if (transport) transport->cancel();
    }
  }
};

// The connect of a data connection: the seam hands over a connected socket.
struct RelayClient::DataDial {
  explicit DataDial(const std::shared_ptr<SerialQueue>& queue)
      : socket(queue->executor().get_inner_executor()), resolver(queue->executor()) {}
  asio::ip::tcp::socket socket;
  asio::ip::tcp::resolver resolver;
  std::shared_ptr<Timer> deadline;
  Bytes preamble;
  bool done = false;
};

std::shared_ptr<RelayClient> RelayClient::create(Runtime& runtime,
                                                 std::optional<DeviceIdentity> identity) {
  return std::shared_ptr<RelayClient>(new RelayClient(runtime, std::move(identity)));
}

RelayClient::RelayClient(Runtime& runtime, std::optional<DeviceIdentity> identity)
    : queue_(runtime.makeQueue(queueLabel)),
      identity_(std::move(identity)),
      hostID_(identity_ ? identity_->hostID() : std::string()) {}

RelayClient::~RelayClient() {
  // Handlers hold the client weakly, so none runs any more; what is still open is closed.
  if (control_) control_->cancel();
  if (probes_) probes_->cancel();
  if (reconnectTimer_) reconnectTimer_->cancel();
}

Bytes RelayClient::registrationLine(std::string_view hostID,
                                    const std::optional<DeviceIdentity>& identity) {
  nlohmann::json object = {{"role", "host"}, {"id", std::string(hostID)}, {"v", 2}};
  if (identity) object["key"] = base64::encode(identity->publicKey());
  return line(object);
}

Bytes RelayClient::proofMessage(ByteView nonce, std::string_view hostID) {
  Bytes message = toBytes("ombrel-relay-proof-v1");
  message.insert(message.end(), nonce.begin(), nonce.end());
  // The ID is shown as digit groups; only the digits are signed. Host IDs are ASCII digits and
  // spaces, so ASCII digits are all the number characters one can hold.
  for (char c : hostID) {
    if (c >= '0' && c <= '9') message.push_back(static_cast<std::uint8_t>(c));
  }
  return message;
}

Bytes RelayClient::dataPreamble(std::string_view session) {
  return line({{"role", "host-data"}, {"session", std::string(session)}});
}

void RelayClient::configure(const std::string& address) {
  queue_->post([weak = weak_from_this(), address] {
    if (auto self = weak.lock()) self->configureNow(address);
  });
}

void RelayClient::shutdown() {
  queue_->post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->stopped_ = true;
    self->stopEverything();
    self->endpoints_.clear();
  });
}

void RelayClient::stopEverything() {
  ++generation_;
  reconnectPending_ = false;
  if (reconnectTimer_) reconnectTimer_->cancel();
  reconnectTimer_.reset();
  if (probes_) probes_->cancel();
  probes_.reset();
  if (control_) control_->cancel();
  control_.reset();
}

void RelayClient::configureNow(const std::string& address) {
  if (stopped_) return;
  stopEverything();
  endpoints_ = parseList(address);
  index_ = 0;
  backoff_ = firstBackoff;
  if (endpoints_.empty()) {
    status("未設定（僅區域網路可連）");
    return;
  }
  if (endpoints_.size() < 2) {
    connect();
    return;
  }
  startProbes();
}

void RelayClient::startProbes() {
  auto round = std::make_shared<ProbeRound>();
  round->generation = generation_;
  round->start = queue_->now();
  round->remaining = endpoints_.size();
  round->latency.assign(endpoints_.size(), unreachable);
  round->recorded.assign(endpoints_.size(), false);
  probes_ = round;
  std::weak_ptr<ProbeRound> weakRound = round;
  for (std::size_t i = 0; i < endpoints_.size(); ++i) {
    auto transport = TCPTransport::connect(endpoints_[i].host, endpoints_[i].port,
                                           NVConnection::tcpParameters());
    transport->onReady = [weak = weak_from_this(), weakRound, i] {
      auto self = weak.lock();
      auto round = weakRound.lock();
      if (self && round) self->recordProbe(round, i, self->queue_->now() - round->start);
    };
    transport->onClose = [weak = weak_from_this(), weakRound, i](CorvaneByteTransport::Error) {
      auto self = weak.lock();
      auto round = weakRound.lock();
      if (self && round) self->recordProbe(round, i, unreachable);
    };
    round->transports.push_back(transport);
  }
  round->deadline = queue_->after(probeDeadline, [weak = weak_from_this(), weakRound] {
    auto self = weak.lock();
    auto round = weakRound.lock();
    if (!self || !round) return;
    for (std::size_t i = 0; i < round->recorded.size(); ++i) {
      if (!round->recorded[i]) self->recordProbe(round, i, unreachable);
    }
  });
  // Started after all are built: a probe that fails at once must not finish a half-built round.
  for (auto& transport : round->transports) transport->start(queue_);
}

void RelayClient::recordProbe(const std::shared_ptr<ProbeRound>& round, std::size_t index,
                              double latency) {
  if (round->recorded[index]) return;
  round->recorded[index] = true;
  round->latency[index] = latency;
  round->transports[index]->cancel();
  if (--round->remaining > 0) return;
  if (round->deadline) round->deadline->cancel();
  if (round->generation != generation_ || probes_ != round) return;
  probes_.reset();
  std::vector<std::size_t> order(endpoints_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return round->latency[a] < round->latency[b];
  });
  std::vector<RelayEndpoint> sorted;
  for (std::size_t i : order) sorted.push_back(endpoints_[i]);
  endpoints_ = std::move(sorted);
  connect();
}

void RelayClient::connect() {
  if (endpoints_.empty() || stopped_) return;
  const RelayEndpoint& endpoint = endpoints_[index_ % endpoints_.size()];
  status("連線中繼伺服器…");
  auto control = TCPTransport::connect(endpoint.host, endpoint.port, NVConnection::tcpParameters());
  control_ = control;
  buffer_.clear();
  const int generation = generation_;
  std::weak_ptr<TCPTransport> weakControl = control;
  control->onReady = [weak = weak_from_this(), weakControl, generation] {
    auto self = weak.lock();
    if (!self || self->generation_ != generation || self->control_ != weakControl.lock()) return;
    self->controlReady(generation);
  };
  control->onClose = [weak = weak_from_this(), weakControl,
                      generation](CorvaneByteTransport::Error) {
    auto self = weak.lock();
    if (!self || self->generation_ != generation || self->control_ != weakControl.lock()) return;
    self->scheduleReconnect(generation);
  };
  control->start(queue_);
}

void RelayClient::controlReady(int generation) {
  sendControl(registrationLine(hostID_, identity_));
  backoff_ = firstBackoff;
  readControl(generation);
}

void RelayClient::readControl(int generation) {
  std::weak_ptr<TCPTransport> weakControl = control_;
  control_->receive(
      1, readChunk,
      [weak = weak_from_this(), weakControl, generation](std::optional<Bytes> data, bool complete,
                                                         CorvaneByteTransport::Error error) {
        auto self = weak.lock();
        auto control = weakControl.lock();
        if (!self || self->generation_ != generation || !control || self->control_ != control) {
          return;
        }
        if (data) self->buffer_.append(data->begin(), data->end());
        if (!self->takeLines()) {
          log::line("relay: a control line over " + std::to_string(maxLineBytes) +
                    " bytes; reconnecting");
          self->scheduleReconnect(generation);
          return;
        }
        // A line may have replaced the connection (nothing does today, but a handler may).
        if (self->generation_ != generation || self->control_ != control) return;
        if (error || complete) {
          self->scheduleReconnect(generation);
          return;
        }
        self->readControl(generation);
      });
}

bool RelayClient::takeLines() {
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = buffer_.find('\n', begin);
    if (end == std::string::npos) break;
    if (end - begin > maxLineBytes) return false;
    handleLine(std::string_view(buffer_).substr(begin, end - begin));
    begin = end + 1;
  }
  buffer_.erase(0, begin);
  return buffer_.size() <= maxLineBytes;
}

void RelayClient::handleLine(std::string_view text) {
  const auto object = nlohmann::json::parse(text, nullptr, false);
  if (!object.is_object()) return;
  const auto type = object.find("type");
  if (type == object.end() || !type->is_string()) return;
  const std::string& kind = type->get_ref<const std::string&>();
  const auto textMember = [&](const char* key) -> std::optional<std::string> {
    const auto member = object.find(key);
    if (member == object.end() || !member->is_string()) return std::nullopt;
    return member->get<std::string>();
  };

  if (kind == "challenge") {
    const auto nonceText = textMember("nonce");
    if (!nonceText || !identity_) return;
    const auto nonce = base64::decode(*nonceText);
    if (!nonce) return;
    const Bytes signature = identity_->sign(proofMessage(*nonce, hostID_));
    sendControl(line({{"type", "proof"}, {"sig", base64::encode(signature)}}));
  } else if (kind == "registered") {
    status("已上線（ID " + hostID_ + "）");
  } else if (kind == "error") {
    status("中繼伺服器拒絕登記：" + textMember("error").value_or(""));
  } else if (kind == "incoming") {
    if (auto session = textMember("session")) openData(std::move(*session));
  } else if (kind == "ping") {
    if (control_) sendControl(toBytes("{\"type\":\"pong\"}\n"));
  }
}

void RelayClient::sendControl(Bytes bytes) {
  if (control_) control_->send(std::move(bytes), nullptr);
}

void RelayClient::openData(std::string session) {
  if (endpoints_.empty()) return;
  const RelayEndpoint endpoint = endpoints_[index_ % endpoints_.size()];
  auto dial = std::make_shared<DataDial>(queue_);
  dial->preamble = dataPreamble(session);

  auto finish = [weak = weak_from_this(), dial](const std::error_code& error) {
    if (dial->done) return;
    dial->done = true;
    if (dial->deadline) dial->deadline->cancel();
    auto self = weak.lock();
    if (!self || self->stopped_) return;
    if (error) {
      log::line("relay: the data connection for a relayed client failed: " + error.message());
      return;
    }
    if (self->onIncoming) self->onIncoming(std::move(dial->socket), std::move(dial->preamble));
  };
  auto connectTo = [dial, finish, queue = queue_](
                       const std::error_code& error,
                       const asio::ip::tcp::resolver::results_type& results) {
    if (dial->done) return;
    if (error) return finish(error);
    asio::async_connect(
        dial->socket, results,
        asio::bind_executor(queue->executor(),
                            [finish](const std::error_code& error, const asio::ip::tcp::endpoint&) {
                              finish(error);
                            }));
  };

  dial->deadline = queue_->after(NVConnection::tcpParameters().connectionTimeout, [dial, finish] {
    if (dial->done) return;
    std::error_code ignored;
    dial->resolver.cancel();
    dial->socket.close(ignored);
    finish(std::make_error_code(std::errc::timed_out));
  });

  std::error_code literalError;
  const auto literal = asio::ip::make_address(endpoint.host, literalError);
  if (!literalError) {
    connectTo({}, asio::ip::tcp::resolver::results_type::create(
                      {literal, endpoint.port}, endpoint.host, std::to_string(endpoint.port)));
    return;
  }
  dial->resolver.async_resolve(endpoint.host, std::to_string(endpoint.port),
                               asio::ip::tcp::resolver::numeric_service,
                               asio::bind_executor(queue_->executor(), connectTo));
}

void RelayClient::scheduleReconnect(int generation) {
  if (generation != generation_ || reconnectPending_) return;
  reconnectPending_ = true;
  ++index_;
  if (control_) control_->cancel();
  control_.reset();
  status("中繼伺服器離線，" + std::to_string(static_cast<long>(backoff_)) + " 秒後重試");
  const double delay = backoff_;
  backoff_ = std::min(2 * backoff_, maxBackoff);
  reconnectTimer_ = queue_->after(delay, [weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (!self || self->generation_ != generation) return;
    self->reconnectPending_ = false;
    self->connect();
  });
}

void RelayClient::status(const std::string& text) {
  if (stopped_) return;
  if (onStatus) onStatus(text);
}

}  // namespace ombrel
