#include "Ombrel_Remote_Host/controller/live_session_registry.h"

#include <algorithm>

#include "Ombrel_Remote_Host/session/host_session_delegate.h"

namespace ombrel {

// ---- admission -----------------------------------------------------------------------------

bool ConnectionAdmission::admitDirect(std::span<const std::string> liveRemoteIPs,
                                      const std::string& ip, double now) {
  int direct = 0;
  int sameAddress = 0;
  for (const auto& remote : liveRemoteIPs) {
    if (remote.empty()) continue;
    ++direct;
    if (remote == ip) ++sameAddress;
  }
  if (sameAddress >= maxPerAddress || direct >= maxDirect) return false;
  return allowNewConnection(ip, now);
}

bool ConnectionAdmission::admitRelayed(std::span<const std::string> liveRemoteIPs) {
  auto relayed = std::count_if(liveRemoteIPs.begin(), liveRemoteIPs.end(),
                               [](const std::string& remote) { return remote.empty(); });
  return relayed < maxRelayed;
}

bool ConnectionAdmission::allowNewConnection(const std::string& ip, double now) {
  for (auto it = recent_.begin(); it != recent_.end();) {
    std::erase_if(it->second, [now](double t) { return now - t >= window; });
    it = it->second.empty() ? recent_.erase(it) : std::next(it);
  }
  auto& dates = recent_[ip];
  if (dates.size() >= maxPerWindow) return false;
  dates.push_back(now);
  return true;
}

// ---- registry ------------------------------------------------------------------------------

LiveSessionRegistry::LiveSessionRegistry(std::shared_ptr<SerialQueue> mainQueue,
                                         HostSessionDelegate& host, const CorvaneAccess& access,
                                         std::shared_ptr<SessionFactory> factory)
    : mainQueue_(std::move(mainQueue)),
      host_(host),
      access_(access),
      factory_(std::move(factory)) {}

std::vector<std::string> LiveSessionRegistry::liveRemoteIPs() const {
  mainQueue_->assertCurrent();
  std::vector<std::string> result;
  result.reserve(sessions_.size());
  for (const auto& session : sessions_) result.push_back(session->remoteIP());
  return result;
}

bool LiveSessionRegistry::gateAllows(const std::string& remoteIP,
                                     CorvaneAccess::Token token) const {
  mainQueue_->assertCurrent();
  return access_.allows(token, Corvane::path(remoteIP), remoteIP.empty());
}

void LiveSessionRegistry::acceptDirect(asio::ip::tcp::socket socket, std::string remoteIP) {
  mainQueue_->assertCurrent();
  const auto live = liveRemoteIPs();
  if (!factory_ || !admission_.admitDirect(live, remoteIP, mainQueue_->now())) {
    std::error_code ignored;
    socket.close(ignored);
    return;
  }
  accept(factory_->make(host_, std::move(socket), std::nullopt, "直連", remoteIP));
}

void LiveSessionRegistry::acceptRelayed(asio::ip::tcp::socket socket, Bytes preamble) {
  mainQueue_->assertCurrent();
  const CorvaneServices services = access_.services();
  if (!services.linkEnabled || !services.remoteEnabled || !factory_ ||
      !ConnectionAdmission::admitRelayed(liveRemoteIPs())) {
    std::error_code ignored;
    socket.close(ignored);
    return;
  }
  accept(factory_->make(host_, std::move(socket), std::move(preamble), "中繼", {}));
}

void LiveSessionRegistry::acceptICE(std::shared_ptr<NVConnection> conn, Bytes expectedPeerKey,
                                    CorvaneAccess::Token token) {
  mainQueue_->assertCurrent();
  if (!factory_) return;
  const std::string remoteIP = "ICE";
  if (!gateAllows(remoteIP, token) || !host_.isTrusted(expectedPeerKey)) {
    factory_->close(conn);
    return;
  }
  accept(factory_->make(host_, std::move(conn), "Corvane · ICE 直連", remoteIP,
                        std::move(expectedPeerKey)));
}

void LiveSessionRegistry::accept(std::shared_ptr<LiveSession> session) {
  mainQueue_->assertCurrent();
  if (!session) return;
  // Refused by the gate: closed after wrapping, before any message is exchanged.
  if (!gateAllows(session->remoteIP(), access_.token())) {
    session->disconnect();
    return;
  }
  sessions_.push_back(session);
  if (onChange) onChange();
  std::weak_ptr<LiveSessionRegistry> weakSelf = weak_from_this();
  std::weak_ptr<LiveSession> weakSession = session;
  session->start([weakSelf, weakSession] {
    auto self = weakSelf.lock();
    auto session = weakSession.lock();
    if (self && session) self->sessionEnded(session);
  });
  // Deadlines never extend: from acceptance, 10 s to finish the handshake and 60 s to be
  // authorized or have asked to pair.
  mainQueue_->after(handshakeDeadline, [weakSession] {
    auto session = weakSession.lock();
    if (session && !session->peerPublicKey()) session->disconnect();
  });
  mainQueue_->after(pairRequestDeadline, [weakSession] {
    auto session = weakSession.lock();
    if (session && !session->authorized() && !session->pairRequested()) session->disconnect();
  });
}

void LiveSessionRegistry::sessionEnded(const std::shared_ptr<LiveSession>& session) {
  mainQueue_->assertCurrent();
  if (std::find(sessions_.begin(), sessions_.end(), session) == sessions_.end()) return;
  if (onEnding) onEnding(session);
  // The owner may have changed the list while it was told.
  auto found = std::find(sessions_.begin(), sessions_.end(), session);
  if (found == sessions_.end()) return;
  sessions_.erase(found);
  if (onChange) onChange();
  if (onEnded) onEnded(session);
}

void LiveSessionRegistry::close(const std::function<bool(const LiveSession&)>& which) {
  mainQueue_->assertCurrent();
  // A session may end (and leave the list) inside `disconnect`.
  auto live = sessions_;
  for (auto& session : live) {
    if (which(*session)) session->disconnect();
  }
}

void LiveSessionRegistry::closeRefused() {
  close([this](const LiveSession& session) {
    return !gateAllows(session.remoteIP(), session.accessToken());
  });
}

void LiveSessionRegistry::closeAll() {
  close([](const LiveSession&) { return true; });
}

void LiveSessionRegistry::closeSessions(ByteView publicKey) {
  auto closeKey = [key = Bytes(publicKey.begin(), publicKey.end())](LiveSessionRegistry& self) {
    self.close([&](const LiveSession& session) { return session.peerPublicKey() == key; });
  };
  if (mainQueue_->isCurrent()) {
    closeKey(*this);
  } else {
    mainQueue_->post([weak = weak_from_this(), closeKey] {
      if (auto self = weak.lock()) closeKey(*self);
    });
  }
}

std::shared_ptr<LiveSession> LiveSessionRegistry::findSession(
    const std::shared_ptr<HostSession>& session) const {
  mainQueue_->assertCurrent();
  if (!session) return nullptr;
  for (const auto& live : sessions_) {
    if (live->hostSession() == session) return live;
  }
  return nullptr;
}

}  // namespace ombrel
