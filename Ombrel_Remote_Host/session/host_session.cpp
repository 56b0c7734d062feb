#include "Ombrel_Remote_Host/session/host_session.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "CorvaneKit/corvane_path.h"
#include "OmbrelKit/crypto/random.h"
#include "OmbrelKit/handshake.h"
#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/nv_protocol.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"
#include "Ombrel_Remote_Host/session/session_rules.h"
#include "base/log.h"
#include "base/serial_queue.h"

namespace ombrel {
namespace {

constexpr const char* kDeniedText = "電腦端拒絕了這次連線";
constexpr const char* kRateLimitedText = "配對請求太頻繁，請稍後再試";
constexpr const char* kNotAcceptingText = "這台電腦目前不接受新裝置";
constexpr const char* kLanOnlyText =
    "第一次配對請在同一個網路、透過 Tailscale 或中繼進行；網際網路直連只給已配對的裝置使用";

}  // namespace

struct HostSession::Private {
  // Connection-queue state.
  std::map<MessageType, MessageHandler> handlers;
  std::vector<std::function<void(HostSession&)>> teardownHooks;
  std::shared_ptr<Timer> authorizationTimer;
  std::shared_ptr<Timer> denialTimer;
  // A pair request is on its way through the main queue.
  bool pairChecking = false;
  bool started = false;
};

std::string HostSession::cleanDeviceName(std::string_view name) {
  return SessionRules::cleanDeviceName(name);
}

bool HostSession::isInternetAddress(std::string_view address) {
  return SessionRules::isInternetAddress(address);
}

std::shared_ptr<HostSession> HostSession::create(std::shared_ptr<NVConnection> conn,
                                                 std::string via, HostSessionDelegate& host,
                                                 std::optional<Bytes> expectedPeerKey) {
  return std::shared_ptr<HostSession>(
      new HostSession(std::move(conn), std::move(via), host, std::move(expectedPeerKey)));
}

HostSession::HostSession(std::shared_ptr<NVConnection> conn, std::string via,
                         HostSessionDelegate& host, std::optional<Bytes> expectedPeerKey)
    : d_(std::make_unique<Private>()),
      id_(crypto::randomUUIDString()),
      via_(std::move(via)),
      host_(host),
      conn_(std::move(conn)),
      expectedPeerKey_(std::move(expectedPeerKey)),
      accessToken_(host.access().token()) {}

HostSession::~HostSession() {
  if (d_->authorizationTimer) d_->authorizationTimer->cancel();
  if (d_->denialTimer) d_->denialTimer->cancel();
}

void HostSession::setRemoteIP(std::string ip) {
  std::lock_guard guard(lock_);
  remoteIP_ = std::move(ip);
}

std::string HostSession::remoteIP() const {
  std::lock_guard guard(lock_);
  return remoteIP_;
}

std::string HostSession::clientName() const {
  std::lock_guard guard(lock_);
  return clientName_;
}

std::optional<double> HostSession::grantSeconds() const {
  std::lock_guard guard(lock_);
  return grantSeconds_;
}

void HostSession::setGrantSeconds(std::optional<double> seconds) {
  std::lock_guard guard(lock_);
  grantSeconds_ = seconds;
}

void HostSession::setHandler(MessageType type, MessageHandler handler) {
  d_->handlers[type] = std::move(handler);
}

void HostSession::addTeardown(std::function<void(HostSession&)> hook) {
  d_->teardownHooks.push_back(std::move(hook));
}

void HostSession::send(MessageType type, Bytes body) { conn_->send(type, std::move(body)); }

bool HostSession::accessAllowed() const {
  std::string ip = remoteIP();
  if (!host_.access().allows(accessToken_, Corvane::path(ip), ip.empty())) return false;
  if (authorized_) {
    auto key = conn_->peerPublicKey();
    if (!key || !host_.isTrusted(*key)) return false;
  }
  return true;
}

void HostSession::start() {
  std::weak_ptr<HostSession> weak = weak_from_this();
  conn_->onReady = [weak] {
    if (auto self = weak.lock()) self->handshakeCompleted();
  };
  conn_->onClose = [weak](std::optional<NVError>) {
    if (auto self = weak.lock()) self->closed();
  };
  conn_->setMaxFrameSize(unauthorizedFrameLimit);
  // Bounds the whole pairing wait, whatever the owner does. Armed before the connection starts:
  // a peer that resets at once makes closed() cancel this timer on the connection queue.
  d_->authorizationTimer = conn_->queue()->after(authorizationDeadline, [weak] {
    auto self = weak.lock();
    if (self && !self->authorized_) self->conn_->close();
  });
  conn_->start();
}

void HostSession::handshakeCompleted() {
  conn_->queue()->assertCurrent();
  if (!accessAllowed()) {
    conn_->close();
    return;
  }
  if (expectedPeerKey_) {
    auto key = conn_->peerPublicKey();
    if (!key || *key != *expectedPeerKey_) {
      log::line("Ombrel Remote: closing a connection that presented an unexpected key");
      conn_->close();
      return;
    }
  }
  std::weak_ptr<HostSession> weak = weak_from_this();
  conn_->onMessage = [weak](MessageType type, Bytes body) {
    if (auto self = weak.lock()) self->handle(type, body);
  };
}

void HostSession::disconnect() { conn_->close(); }

void HostSession::handle(MessageType type, ByteView body) {
  conn_->queue()->assertCurrent();
  if (!accessAllowed()) {
    disconnect();
    return;
  }
  if (!authorized_ && body.size() > unauthorizedMessageLimit) {
    log::line("Ombrel Remote: closing unpaired connection after a " + std::to_string(body.size()) +
              "-byte message");
    disconnect();
    return;
  }
  switch (type) {
    case MessageType::clientHello:
      clientHello(body);
      return;
    case MessageType::pairRequest:
      if (!authorized_ && !pairPending_) pairRequest(body);
      return;
    case MessageType::ping:
      if (body.size() <= PingMessage::maxEchoedBodySize)
        send(MessageType::pong, Bytes(body.begin(), body.end()));
      return;
    case MessageType::privacyMode:
      if (authorized_ && !limited_) privacyMode(body);
      return;
    default:
      break;
  }
  if (type == MessageType::vpnActivate) {
    char line[96];
    std::snprintf(line, sizeof line, "CORVANE_HOST_ACTIVATE authorized=%d limited=%d bytes=%zu",
                  authorized_ ? 1 : 0, limited_ ? 1 : 0, body.size());
    log::line(line);
  }
  if (!authorized_ || !admits(type, body.size())) return;
  auto handler = d_->handlers.find(type);
  if (handler != d_->handlers.end() && handler->second) handler->second(*this, body);
}

bool HostSession::admits(MessageType type, std::size_t size) const {
  conn_->queue()->assertCurrent();
  // The conditions of the serving components that depend only on the session, kept here so no
  // handler can forget them: limited (assistance) sessions get no ICE, tunnel or privacy; the
  // clipboard follows the owner's sync switch; bodies are bounded before anyone decodes them.
  switch (type) {
    case MessageType::videoReceipt:
      return size <= VideoReceipt::maxBodySize;
    case MessageType::clipboard:
    case MessageType::clipboardTextPaste:
      return host_.lockedSync();
    case MessageType::clipboardImage:
    case MessageType::clipboardImagePaste:
      return host_.lockedSync() && size <= maxClipboardImageBody;
    case MessageType::linkSignal:
      return host_.icePreviewEnabled() && !limited_ && size <= maxLinkSignalBody;
    case MessageType::vpnActivate:
      return !limited_;
    case MessageType::vpnEndpoint:
      return !limited_ && size <= maxVPNEndpointBody;
    default:
      return true;
  }
}

void HostSession::clientHello(ByteView body) {
  conn_->queue()->assertCurrent();
  auto hello = NVJSON::tryDecode<ClientHello>(body);
  if (!hello) return;
  {
    std::lock_guard guard(lock_);
    clientName_ = cleanDeviceName(hello->deviceName);
  }
  auto key = conn_->peerPublicKey();
  bool trusted = key && host_.isTrusted(*key);
  authorized_ = trusted;
  conn_->setMaxFrameSize(trusted ? authorizedFrameLimit : unauthorizedFrameLimit);
  limited_ = trusted && host_.isLimited(*key);
  if (trusted) host_.powerManager().declareUserActivity(trustedClientActivityName);
  sendHostHello();
  host_.mainQueue().post([self = shared_from_this()] { self->host_.sessionsChanged(); });
}

void HostSession::sendHostHello() {
  conn_->queue()->assertCurrent();
  HostHello hello{
      .name = host_.hostName(),
      .hostID = host_.identity().hostID(),
      .os = SessionRules::osName(),
      .authorized = authorized_,
      .protocolVersion = NVProtocol::version,
  };
  if (authorized_) {
    hello.displays = host_.displays();
    hello.capabilities =
        SessionRules::hostCapabilities(limited_, remoteIP().empty(), host_.icePreviewEnabled());
    hello.addresses = host_.lockedAddresses();
  }
  send(MessageType::hostHello, NVJSON::encode(hello));
}

void HostSession::refusePairing(std::string message, std::optional<HostErrorCode> code) {
  conn_->queue()->assertCurrent();
  PairResult result{.ok = false, .message = std::move(message), .code = code};
  send(MessageType::pairResult, NVJSON::encode(result));
}

void HostSession::pairRequest(ByteView body) {
  conn_->queue()->assertCurrent();
  // A request being decided counts as pending: a burst of requests makes one decision.
  if (d_->pairChecking) return;
  auto request = NVJSON::tryDecode<PairRequest>(body);
  if (!request) return;
  auto transcript = conn_->transcript();
  if (!transcript) return;
  std::string code = HandshakeResult::sas(*transcript);

  // The owner's pending prompts and the live sessions belong to the main queue. The connection
  // queue goes on without waiting; it hears the outcome when the main queue gets to it.
  d_->pairChecking = true;
  host_.mainQueue().post(
      [self = shared_from_this(), request = std::move(*request), code = std::move(code)]() mutable {
        self->decidePairing(request, std::move(code));
      });
}

void HostSession::decidePairing(const PairRequest& request, std::string code) {
  host_.mainQueue().assertCurrent();
  auto decided = [this](std::optional<std::string> refusal, std::optional<HostErrorCode> reason) {
    conn_->queue()->post([self = shared_from_this(), refusal = std::move(refusal), reason] {
      self->pairingDecided(refusal, reason);
    });
  };
  auto refuse = [&](std::string message, HostErrorCode reason) {
    decided(std::move(message), reason);
  };
  // While the request travelled the connection closed, or a second hello found the key trusted
  // already: there is nothing left to ask the owner.
  if (closed_ || authorized_) return decided(std::nullopt, std::nullopt);
  // The conflicts come first: a request refused for them must not count against the backoff.
  if (auto conflict = host_.pairingConflict()) return refuse(conflict->message, conflict->code);
  if (host_.pairingBackoff()) return refuse(kRateLimitedText, HostErrorCode::rateLimited);
  if (!host_.lockedPairingEnabled()) return refuse(kNotAcceptingText, HostErrorCode::notAccepting);
  if (expectedPeerKey_ || isInternetAddress(remoteIP())) {
    return refuse(kLanOnlyText, HostErrorCode::lanOnly);
  }

  pairPending_ = true;
  pairRequested_ = true;
  {
    std::lock_guard guard(lock_);
    clientName_ = cleanDeviceName(request.deviceName);
    grantSeconds_ = request.grantMinutes
                        ? std::optional<double>(SessionRules::grantSeconds(*request.grantMinutes))
                        : std::nullopt;
  }
  // Still on the main queue: the prompt is pending before any other request is checked.
  host_.requestApproval(shared_from_this(), std::move(code));
  decided(std::nullopt, std::nullopt);
}

void HostSession::pairingDecided(std::optional<std::string> refusal,
                                 std::optional<HostErrorCode> code) {
  conn_->queue()->assertCurrent();
  d_->pairChecking = false;
  if (refusal && !closed_) refusePairing(std::move(*refusal), code);
}

void HostSession::answerPairing(bool approved) {
  conn_->queue()->post([self = shared_from_this(), approved] { self->applyAnswer(approved); });
}

void HostSession::applyAnswer(bool approved) {
  conn_->queue()->assertCurrent();
  auto key = conn_->peerPublicKey();
  if (!key) return;
  // A late answer for a session that is no longer waiting (closed, or already answered) must
  // not trust a key or send a second result.
  if (!pairPending_.exchange(false)) return;
  if (!accessAllowed()) {
    disconnect();
    return;
  }
  if (!approved) {
    refusePairing(kDeniedText, std::nullopt);
    std::weak_ptr<HostSession> weak = weak_from_this();
    d_->denialTimer = conn_->queue()->after(denialCloseDelay, [weak] {
      if (auto self = weak.lock()) self->conn_->close();
    });
    return;
  }
  host_.mainQueue().post([self = shared_from_this(), key = *key] {
    if (self->accessAllowed()) {
      self->host_.trust(key, self->clientName(), self->grantSeconds());
    }
    self->conn_->queue()->post([self, key] { self->finishApproval(key); });
  });
}

void HostSession::finishApproval(const Bytes& key) {
  conn_->queue()->assertCurrent();
  if (!accessAllowed() || !host_.isTrusted(key)) {
    disconnect();
    return;
  }
  authorized_ = true;
  conn_->setMaxFrameSize(authorizedFrameLimit);
  limited_ = grantSeconds().has_value();
  send(MessageType::pairResult, NVJSON::encode(PairResult{.ok = true}));
  sendHostHello();
  host_.mainQueue().post([self = shared_from_this()] { self->host_.sessionsChanged(); });
}

void HostSession::privacyMode(ByteView body) {
  conn_->queue()->assertCurrent();
  auto mode = NVJSON::tryDecode<PrivacyMode>(body);
  if (!mode) return;
  privacyRequested_ = mode->enabled;
  host_.mainQueue().post([self = shared_from_this()] { self->host_.recomputePrivacy(); });
}

void HostSession::closed() {
  conn_->queue()->assertCurrent();
  closed_ = true;
  // Teardown: components that served this session release what they hold.
  if (d_->authorizationTimer) d_->authorizationTimer->cancel();
  if (d_->denialTimer) d_->denialTimer->cancel();
  auto hooks = std::move(d_->teardownHooks);
  for (auto& hook : hooks) hook(*this);
  pairPending_ = false;
  if (privacyRequested_.exchange(false)) {
    host_.mainQueue().post([self = shared_from_this()] { self->host_.recomputePrivacy(); });
  }
  host_.mainQueue().post([self = shared_from_this()] {
    auto ended = std::move(self->onEnded);
    self->onEnded = nullptr;
    if (ended) ended(self);
  });
}

}  // namespace ombrel
