#include "OmbrelKit/nv_connection.h"

#include <algorithm>
#include <cassert>
#include <exception>

#include <nlohmann/json.hpp>

#include "OmbrelKit/byte_codec.h"
#include "OmbrelKit/nv_protocol.h"

namespace ombrel {

namespace {

constexpr std::size_t readBufferReserve = 65'536;
constexpr std::int64_t sealedOverhead = Frame::sealedOverhead;

// The relay's refusal as the user reads it.
std::string relayRefusalText(const std::string& line) {
  auto answer = nlohmann::json::parse(line, nullptr, false);
  std::string error = "relay";
  if (answer.is_object()) {
    auto found = answer.find("error");
    if (found != answer.end() && found->is_string()) error = found->get<std::string>();
  }
  if (error == "offline") return "主機不在線上";
  if (error == "busy") return "中繼伺服器忙碌中，請稍後再試";
  if (error == "ambiguous") {
    return "有兩台電腦用了同一個主機 ID，請先在同一個網路或透過 Tailscale 連線一次";
  }
  if (error == "host did not answer" || error == "no_answer") {
    return "電腦沒有回應，請確認它開著並連上網路";
  }
  return "中繼伺服器無法建立連線，請稍後再試";
}

bool relayAccepted(const std::string& line) {
  auto answer = nlohmann::json::parse(line, nullptr, false);
  if (!answer.is_object()) return false;
  auto ok = answer.find("ok");
  return ok != answer.end() && ok->is_boolean() && ok->get<bool>();
}

Bytes framed(ByteView payload) {
  Bytes frame(4 + payload.size());
  writeU32BE(frame.data(), static_cast<std::uint32_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), frame.begin() + 4);
  return frame;
}

// Everything after start runs on the connection's queue. Debug builds check it where each step
// starts: a step run elsewhere races the cipher state and the read chain, which a sanitizer sees
// only when the timing is unlucky. Free under NDEBUG.
void assertOn([[maybe_unused]] const SerialQueue& queue) { assert(queue.isCurrent()); }

}  // namespace

struct NVConnection::ReadBuffer {
  explicit ReadBuffer(std::size_t expected) { data.reserve(std::min(expected, readBufferReserve)); }
  Bytes data;
};

// ---- construction ----------------------------------------------------------------------

NVConnection::NVConnection(std::shared_ptr<CorvaneByteTransport> transport,
                           std::shared_ptr<TCPTransport> connection, Role role,
                           DeviceIdentity identity, std::optional<Bytes> preamble,
                           std::shared_ptr<SerialQueue> queue)
    : connection_(std::move(connection)),
      transport_(std::move(transport)),
      role_(role),
      queue_(std::move(queue)),
      identity_(std::move(identity)),
      preamble_(std::move(preamble)) {}

NVConnection::~NVConnection() {
  // Nobody holds the connection any more, so nothing can hear from the transport either.
  transport_->cancel();
}

std::shared_ptr<NVConnection> NVConnection::create(std::shared_ptr<TCPTransport> connection,
                                                   Role role, DeviceIdentity identity,
                                                   std::optional<Bytes> preamble,
                                                   Runtime& runtime) {
  auto transport = std::static_pointer_cast<CorvaneByteTransport>(connection);
  return std::shared_ptr<NVConnection>(
      new NVConnection(std::move(transport), std::move(connection), role, std::move(identity),
                       std::move(preamble), runtime.makeQueue("nerovalde.connection")));
}

std::shared_ptr<NVConnection> NVConnection::create(asio::ip::tcp::socket socket, Role role,
                                                   DeviceIdentity identity,
                                                   std::optional<Bytes> preamble,
                                                   Runtime& runtime) {
  return create(TCPTransport::connected(std::move(socket), role == Role::client, tcpParameters()),
                role, std::move(identity), std::move(preamble), runtime);
}

std::shared_ptr<NVConnection> NVConnection::create(std::shared_ptr<CorvaneByteTransport> transport,
                                                   Role role, DeviceIdentity identity,
                                                   std::optional<Bytes> preamble,
                                                   Runtime& runtime) {
  return std::shared_ptr<NVConnection>(
      new NVConnection(std::move(transport), nullptr, role, std::move(identity),
                       std::move(preamble), runtime.makeQueue("ombrel.connection.ice")));
}

// ---- accessors -------------------------------------------------------------------------

std::optional<Bytes> NVConnection::peerPublicKey() const {
  std::lock_guard lock(resultLock_);
  return peerPublicKey_;
}

std::optional<Bytes> NVConnection::transcript() const {
  std::lock_guard lock(resultLock_);
  return transcript_;
}

std::optional<std::string> NVConnection::peerHostID() const {
  auto key = peerPublicKey();
  if (!key) return std::nullopt;
  return DeviceIdentity::deviceID(*key);
}

std::optional<std::string> NVConnection::sas() const {
  auto t = transcript();
  if (!t) return std::nullopt;
  return HandshakeResult::sas(*t);
}

std::int64_t NVConnection::pendingBytes() const {
  std::lock_guard lock(pendingLock_);
  return pendingBytes_;
}

void NVConnection::addPending(std::int64_t delta) {
  std::lock_guard lock(pendingLock_);
  pendingBytes_ += delta;
}

std::int64_t NVConnection::maxFrameSize() const {
  std::lock_guard lock(frameLock_);
  return maxFrameSize_;
}

void NVConnection::setMaxFrameSize(std::int64_t value) {
  std::lock_guard lock(frameLock_);
  maxFrameSize_ = std::clamp<std::int64_t>(value, 1, maxFrameSizeLimit);
}

// ---- start and session -----------------------------------------------------------------

void NVConnection::start() {
  if (started_.exchange(true)) return;
  queue_->post([self = shared_from_this()] {
    if (self->closed_) return;
    std::weak_ptr<NVConnection> weak = self;
    self->transport_->onReady = [weak] {
      auto self = weak.lock();
      if (!self || self->closed_ || self->beganSession_) return;
      self->beganSession_ = true;
      self->beginSession();
    };
    self->transport_->onClose = [weak](CorvaneByteTransport::Error error) {
      auto self = weak.lock();
      if (!self) return;
      self->finish(error ? std::optional(NVError::system(*error)) : std::nullopt);
    };
    self->transport_->start(self->queue_);
  });
}

void NVConnection::beginSession() {
  assertOn(*queue_);
  if (preamble_) {
    transport_->send(*preamble_, nullptr);
    readRelayLine(std::make_shared<Bytes>());
    return;
  }
  if (role_ == Role::client) {
    runClientHandshake();
  } else {
    runHostHandshake();
  }
}

// The answer line is read one byte at a time so that the handshake frame the relay forwards
// right behind it stays in the transport for the frame reader.
void NVConnection::readRelayLine(std::shared_ptr<Bytes> line) {
  assertOn(*queue_);
  readExactly(std::make_shared<ReadBuffer>(1), 1, NVError::closed(),
              [weak = weak_from_this(), line](Bytes byte) {
                auto self = weak.lock();
                if (!self) return;
                if (byte[0] == 0x0A) {
                  self->relayAnswered(*line);
                  return;
                }
                if (line->size() >= relayLineLimit) {
                  self->finish(NVError::invalid("relay line too long"));
                  return;
                }
                line->push_back(byte[0]);
                self->readRelayLine(line);
              });
}

void NVConnection::relayAnswered(const Bytes& line) {
  assertOn(*queue_);
  const std::string text = toString(line);
  if (!relayAccepted(text)) {
    finish(NVError::invalid(relayRefusalText(text)));
    return;
  }
  if (role_ == Role::client) {
    runClientHandshake();
  } else {
    runHostHandshake();
  }
}

template <typename F>
bool NVConnection::guarded(F&& step) {
  assertOn(*queue_);
  try {
    step();
    return true;
  } catch (const NVError& error) {
    finish(error);
  } catch (const std::exception& error) {
    finish(NVError::crypto(error.what()));
  }
  return false;
}

void NVConnection::sendFrame(ByteView payload) {
  assertOn(*queue_);
  transport_->send(framed(payload), nullptr);
}

void NVConnection::runClientHandshake() {
  assertOn(*queue_);
  Bytes init;
  if (!guarded([&] {
        clientHandshake_.emplace(identity_);
        init = clientHandshake_->makeInit();
      })) {
    return;
  }
  sendFrame(init);
  readFrame(HandshakeLimits::maxFrame, [weak = weak_from_this()](Bytes reply) {
    auto self = weak.lock();
    if (!self) return;
    std::optional<ClientHandshake::Finish> finish;
    if (!self->guarded([&] { finish = self->clientHandshake_->handleHostInit(reply); })) return;
    self->clientHandshake_.reset();
    self->sendFrame(finish->finish);
    self->established(std::move(finish->result));
  });
}

void NVConnection::runHostHandshake() {
  assertOn(*queue_);
  if (!guarded([&] { hostHandshake_.emplace(identity_); })) return;
  readFrame(HandshakeLimits::maxFrame, [weak = weak_from_this()](Bytes init) {
    auto self = weak.lock();
    if (!self) return;
    Bytes reply;
    if (!self->guarded([&] { reply = self->hostHandshake_->handleClientInit(init); })) return;
    self->sendFrame(reply);
    self->readFrame(HandshakeLimits::maxFrame, [weak = self->weak_from_this()](Bytes finish) {
      auto self = weak.lock();
      if (!self) return;
      std::optional<HandshakeResult> result;
      if (!self->guarded([&] { result = self->hostHandshake_->handleClientFinish(finish); })) {
        return;
      }
      self->hostHandshake_.reset();
      self->established(std::move(*result));
    });
  });
}

void NVConnection::established(HandshakeResult result) {
  assertOn(*queue_);
  if (!guarded([&] {
        sendCipher_.emplace(result.sendKey);
        receiveCipher_.emplace(result.receiveKey);
      })) {
    return;
  }
  {
    std::lock_guard lock(resultLock_);
    peerPublicKey_ = std::move(result.peerPublicKey);
    transcript_ = std::move(result.transcript);
  }
  if (onReady) onReady();
  if (closed_) return;
  if (role_ == Role::host && pendingBytes() > readPauseBytes) {
    readPaused_ = true;
    return;
  }
  receiveLoop();
}

// ---- reading ---------------------------------------------------------------------------

void NVConnection::readExactly(std::shared_ptr<ReadBuffer> buffer, std::size_t n,
                               std::optional<NVError> atEnd, Deliver deliver) {
  assertOn(*queue_);
  const std::size_t need = n - buffer->data.size();
  transport_->receive(need, need,
                      [weak = weak_from_this(), buffer, n, need, atEnd = std::move(atEnd),
                       deliver = std::move(deliver)](std::optional<Bytes> data, bool isComplete,
                                                     CorvaneByteTransport::Error error) mutable {
                        auto self = weak.lock();
                        if (!self || self->closed_) return;
                        if (error) {
                          self->finish(NVError::system(*error));
                          return;
                        }
                        if (data) {
                          if (data->size() > need) {
                            self->finish(NVError::invalid("transport read overflow"));
                            return;
                          }
                          if (buffer->data.empty() && data->size() == n) {
                            buffer->data = std::move(*data);
                          } else {
                            buffer->data.insert(buffer->data.end(), data->begin(), data->end());
                          }
                        }
                        if (buffer->data.size() == n) {
                          deliver(std::move(buffer->data));
                          return;
                        }
                        if (isComplete) {
                          self->finish(std::move(atEnd));
                          return;
                        }
                        self->readExactly(std::move(buffer), n, std::move(atEnd),
                                          std::move(deliver));
                      });
}

void NVConnection::readFrame(std::optional<std::uint32_t> limit, Deliver deliver) {
  assertOn(*queue_);
  readExactly(std::make_shared<ReadBuffer>(4), 4, std::nullopt,
              [weak = weak_from_this(), limit, deliver = std::move(deliver)](Bytes header) mutable {
                auto self = weak.lock();
                if (!self) return;
                const std::uint32_t length = readU32BE(header.data());
                // The limit is read when the header arrives, so a change applies to the next
                // frame and never to one half read.
                const std::int64_t allowed = limit ? *limit : self->maxFrameSize();
                if (length == 0 || length > allowed) {
                  self->finish(NVError::invalid(Frame::lengthErrorText(length)));
                  return;
                }
                self->readExactly(std::make_shared<ReadBuffer>(length), length, std::nullopt,
                                  [weak, length, deliver = std::move(deliver)](Bytes frame) {
                                    auto self = weak.lock();
                                    if (!self) return;
                                    self->bytesReceived_.fetch_add(length + 4u,
                                                                   std::memory_order_relaxed);
                                    deliver(std::move(frame));
                                  });
              });
}

void NVConnection::receiveLoop() {
  assertOn(*queue_);
  readFrame(std::nullopt, [weak = weak_from_this()](Bytes frame) {
    auto self = weak.lock();
    if (!self) return;
    self->handleFrame(std::move(frame));
  });
}

void NVConnection::handleFrame(Bytes frame) {
  assertOn(*queue_);
  if (closed_ || !receiveCipher_) return;
  Bytes plaintext;
  if (!guarded([&] { plaintext = receiveCipher_->open(frame); })) return;
  if (plaintext.empty()) {
    finish(NVError::truncated());
    return;
  }
  if (auto type = messageType(plaintext[0]); type && onMessage) {
    plaintext.erase(plaintext.begin());
    onMessage(*type, std::move(plaintext));
  }
  if (closed_) return;
  if (role_ == Role::host && pendingBytes() > readPauseBytes) {
    readPaused_ = true;
    return;
  }
  receiveLoop();
}

// ---- sending ---------------------------------------------------------------------------

void NVConnection::send(MessageType type, Bytes data, SendCompletion completion) {
  const std::int64_t cost = static_cast<std::int64_t>(data.size()) + sealedOverhead;
  // Counted on the caller's thread, before anything is queued, so producers see their own
  // bytes at once.
  addPending(cost);
  queue_->post([self = shared_from_this(), type, data = std::move(data), cost,
                completion = std::move(completion)]() mutable {
    self->sendOnQueue(type, data, cost, std::move(completion));
  });
}

void NVConnection::sendOnQueue(MessageType type, const Bytes& data, std::int64_t cost,
                               SendCompletion completion) {
  assertOn(*queue_);
  if (closed_ || !sendCipher_) {
    addPending(-cost);
    if (completion) completion(false);
    return;
  }
  Bytes plaintext;
  plaintext.reserve(1 + data.size());
  plaintext.push_back(rawValue(type));
  plaintext.insert(plaintext.end(), data.begin(), data.end());
  Bytes frame;
  frame.reserve(4 + plaintext.size() + CipherState::tagSize);
  frame.resize(4);
  try {
    sendCipher_->sealInto(plaintext, frame);
  } catch (const NVError& error) {
    addPending(-cost);
    if (completion) completion(false);
    finish(error);
    return;
  } catch (const std::exception& error) {
    addPending(-cost);
    if (completion) completion(false);
    finish(NVError::crypto(error.what()));
    return;
  }
  const std::size_t sealedLength = frame.size() - 4;
  writeU32BE(frame.data(), static_cast<std::uint32_t>(sealedLength));
  bytesSent_.fetch_add(frame.size(), std::memory_order_relaxed);
  const std::uint64_t id = nextSendID_++;
  inFlight_.push_back({id, cost, std::move(completion)});
  transport_->send(std::move(frame),
                   [weak = weak_from_this(), id](CorvaneByteTransport::Error error) {
                     if (auto self = weak.lock()) self->sendCompleted(id, !error);
                   });
}

void NVConnection::sendCompleted(std::uint64_t id, bool accepted) {
  assertOn(*queue_);
  // Transports complete in order, so the match is almost always at the front.
  auto it = std::find_if(inFlight_.begin(), inFlight_.end(),
                         [id](const InFlight& entry) { return entry.id == id; });
  if (it == inFlight_.end()) return;
  InFlight done = std::move(*it);
  inFlight_.erase(it);
  addPending(-done.cost);
  if (done.completion) done.completion(accepted);
  if (readPaused_ && !closed_ && pendingBytes() <= readResumeBytes) {
    readPaused_ = false;
    receiveLoop();
  }
}

// ---- ending ----------------------------------------------------------------------------

void NVConnection::close() {
  queue_->post([self = shared_from_this()] { self->finish(std::nullopt); });
}

void NVConnection::finish(std::optional<NVError> error) {
  assertOn(*queue_);
  if (closed_) return;
  closed_ = true;
  transport_->onReady = nullptr;
  transport_->onClose = nullptr;
  transport_->cancel();
  // The cancelled transport will not complete the frames it still holds: settle them here, so
  // pendingBytes returns to zero and every completion is called once.
  auto unfinished = std::move(inFlight_);
  inFlight_.clear();
  for (auto& entry : unfinished) {
    addPending(-entry.cost);
    if (entry.completion) entry.completion(false);
  }
  auto closeCallback = std::move(onClose);
  onClose = nullptr;
  onMessage = nullptr;
  onReady = nullptr;
  if (closeCallback) closeCallback(std::move(error));
}

}  // namespace ombrel
