// HostController: the listener with its retry rule, connection intake on every path, the
// registry of live sessions and what happens when one ends, and the owner's pairing decisions.

#include <algorithm>
#include <cassert>

#include "Ombrel_Remote_Host/controller/host_controller.h"
#include "base/log.h"

namespace ombrel {

namespace {

// Members run on the main queue unless their declaration says "any thread". Debug builds check
// it on entry: a call from elsewhere races the published state only when the timing is unlucky.
// Free under NDEBUG.
void assertOnMain([[maybe_unused]] const SerialQueue& queue) { assert(queue.isCurrent()); }

}  // namespace

// ---- listener ------------------------------------------------------------------------------

void HostController::startListener(std::uint16_t port, int attempt) {
  assertOnMain(*mainQueue_);
  if (!corvaneEnabled_ && !remoteEnabled_) return;
  listenerRetry_.reset();
  listenerAttempt_ = attempt;
  auto listener = HostListener::create(runtime_, port);
  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<HostListener> weakListener = listener;
  auto onMain = [weakSelf, weakListener, queue = mainQueue_](auto work) {
    queue->post([weakSelf, weakListener, work = std::move(work)]() mutable {
      auto self = weakSelf.lock();
      auto listener = weakListener.lock();
      // Events of a listener that has been replaced or dropped change nothing.
      if (!self || !listener || self->shutDown_ || listener != self->listener_) return;
      work(*self, listener);
    });
  };
  listener->onReady = [onMain](std::uint16_t bound) {
    onMain([bound](HostController& self, const std::shared_ptr<HostListener>& listener) {
      self.listenerReady(listener, bound);
    });
  };
  listener->onFailed = [onMain, port, attempt](std::error_code error) {
    onMain([port, attempt, error](HostController& self,
                                  const std::shared_ptr<HostListener>& listener) {
      self.listenerFailed(listener, port, attempt, error);
    });
  };
  listener->onConnection = [onMain](asio::ip::tcp::socket socket, std::string remoteIP) {
    auto shared = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
    onMain([shared, remoteIP](HostController& self,
                              const std::shared_ptr<HostListener>& listener) mutable {
      self.incoming(listener, std::move(*shared), std::move(remoteIP));
    });
  };
  listener_ = listener;
  listener->start();
}

void HostController::stopListener() {
  assertOnMain(*mainQueue_);
  if (listenerRetry_) {
    listenerRetry_->cancel();
    listenerRetry_.reset();
  }
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  deps_.advertiser->stop();
}

void HostController::listenerReady(const std::shared_ptr<HostListener>&, std::uint16_t port) {
  assertOnMain(*mainQueue_);
  assign(listenerPort_, port, HostField::listenerPort);
  assign(listenerStatus_, "等待連線（埠 " + std::to_string(port) + "）", HostField::listenerStatus);
  deps_.advertiser->update(port, identity_.hostID());
  updatePortMapping();
  refreshAddresses();
}

void HostController::listenerFailed(const std::shared_ptr<HostListener>& listener,
                                    std::uint16_t port, int attempt, std::error_code error) {
  assertOnMain(*mainQueue_);
  log::line("Ombrel Remote: listener on port " + std::to_string(port) +
            " failed: " + error.message());
  assign(listenerStatus_, "監聽失敗：" + error.message(), HostField::listenerStatus);
  listener->cancel();
  // Nothing listens any more: stop pointing clients and the router at the old port.
  deps_.advertiser->stop();
  if (listenerPort_ != 0) {
    assign(listenerPort_, std::uint16_t{0}, HostField::listenerPort);
    updatePortMapping();
    refreshAddresses();
  }
  if (port == 0) return;
  if (attempt >= listenerRetries) {
    listener_.reset();
    startListener(0, 0);
    return;
  }
  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<HostListener> weakListener = listener;
  listenerRetry_ = mainQueue_->after(listenerRetryDelay, [weakSelf, weakListener, port, attempt] {
    auto self = weakSelf.lock();
    if (!self || self->shutDown_) return;
    auto failed = weakListener.lock();
    if (!failed || failed != self->listener_) return;
    self->listener_.reset();
    self->startListener(port, attempt + 1);
  });
  publish(HostField::listenerStatus);
}

// ---- intake --------------------------------------------------------------------------------

std::vector<std::string> HostController::liveRemoteIPs() const {
  assertOnMain(*mainQueue_);
  std::vector<std::string> result;
  result.reserve(sessions_.size());
  for (const auto& session : sessions_) result.push_back(session->remoteIP());
  return result;
}

bool HostController::gateAllows(const std::string& remoteIP, CorvaneAccess::Token token) const {
  assertOnMain(*mainQueue_);
  return access_.allows(token, Corvane::path(remoteIP), remoteIP.empty());
}

void HostController::incoming(const std::shared_ptr<HostListener>&, asio::ip::tcp::socket socket,
                              std::string remoteIP) {
  assertOnMain(*mainQueue_);
  const auto live = liveRemoteIPs();
  if (!deps_.sessions || !admission_.admitDirect(live, remoteIP, mainQueue_->now())) {
    std::error_code ignored;
    socket.close(ignored);
    return;
  }
  accept(deps_.sessions->make(*this, std::move(socket), std::nullopt, "直連", remoteIP));
}

void HostController::acceptRelayed(asio::ip::tcp::socket socket, Bytes preamble) {
  assertOnMain(*mainQueue_);
  std::error_code ignored;
  if (!corvaneEnabled_ || !remoteEnabled_ || !deps_.sessions ||
      !ConnectionAdmission::admitRelayed(liveRemoteIPs())) {
    socket.close(ignored);
    return;
  }
  accept(deps_.sessions->make(*this, std::move(socket), std::move(preamble), "中繼", {}));
}

void HostController::acceptICE(std::shared_ptr<NVConnection> conn, Bytes expectedPeerKey,
                               CorvaneAccess::Token token) {
  assertOnMain(*mainQueue_);
  if (!deps_.sessions) return;
  const std::string remoteIP = "ICE";
  if (!gateAllows(remoteIP, token) || !isTrusted(expectedPeerKey)) {
    deps_.sessions->close(conn);
    return;
  }
  accept(deps_.sessions->make(*this, std::move(conn), "Corvane · ICE 直連", remoteIP,
                              std::move(expectedPeerKey)));
}

void HostController::accept(std::shared_ptr<LiveSession> session) {
  assertOnMain(*mainQueue_);
  if (!session) return;
  // Refused by the gate: closed after wrapping, before any message is exchanged.
  if (!gateAllows(session->remoteIP(), access_.token())) {
    session->disconnect();
    return;
  }
  sessions_.push_back(session);
  publish(HostField::sessions);
  std::weak_ptr<HostController> weakSelf = weak_from_this();
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

void HostController::sessionEnded(const std::shared_ptr<LiveSession>& session) {
  assertOnMain(*mainQueue_);
  auto found = std::find(sessions_.begin(), sessions_.end(), session);
  if (found == sessions_.end()) return;

  const std::optional<Bytes> key = session->peerPublicKey();
  const bool stillTrusted = key && isTrusted(*key);
  const bool anotherLive = std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& other) {
    return other->id() != session->id() && other->authorized() && other->peerPublicKey() == key;
  });
  if (session->authorized() && session->limited()) {
    // Assistance ended: lock the screen unless the same device still holds the computer
    // legitimately (another live session of it, or its grant became permanent).
    const bool keepUnlocked = stillTrusted && (anotherLive || !isLimited(*key));
    if (!keepUnlocked) {
      if (deps_.screenLock->lock() == ScreenLockMethod::none) {
        log::line("Ombrel Remote: could not lock the screen after assistance ended");
      }
    }
  }

  sessions_.erase(std::find(sessions_.begin(), sessions_.end(), session));
  publish(HostField::sessions);
  const auto before = pendingPairings_.size();
  std::erase_if(pendingPairings_, [&](const PendingPairing& p) { return p.session == session; });
  if (pendingPairings_.size() != before) publish(HostField::pendingPairings);
  recomputePrivacy();
}

void HostController::closeSessions(ByteView publicKey) {
  auto close = [key = Bytes(publicKey.begin(), publicKey.end())](HostController& self) {
    auto live = self.sessions_;
    for (auto& session : live) {
      if (session->peerPublicKey() == key) session->disconnect();
    }
  };
  if (mainQueue_->isCurrent()) {
    close(*this);
  } else {
    mainQueue_->post([weak = weak_from_this(), close] {
      if (auto self = weak.lock()) close(*self);
    });
  }
}

void HostController::sessionsChanged() {
  assertOnMain(*mainQueue_);
  publish(HostField::sessions);
}

void HostController::recomputePrivacy() {
  assertOnMain(*mainQueue_);
  const bool wanted = std::any_of(sessions_.begin(), sessions_.end(),
                                  [](const auto& session) { return session->privacyRequested(); });
  if (deps_.setPrivacyScreen) deps_.setPrivacyScreen(wanted);
  assign(privacyActive_, wanted, HostField::privacyActive);
}

std::shared_ptr<LiveSession> HostController::findSession(
    const std::shared_ptr<HostSession>& session) const {
  assertOnMain(*mainQueue_);
  if (!session) return nullptr;
  for (const auto& live : sessions_) {
    if (live->hostSession() == session) return live;
  }
  return nullptr;
}

// ---- pairing -------------------------------------------------------------------------------

bool HostController::pairingBackoff() {
  const double now = mainQueue_->now();
  std::lock_guard lock(lock_);
  return prompts_.shouldRefuse(now);
}

std::optional<HostSessionDelegate::Refusal> HostController::pairingConflict() {
  assertOnMain(*mainQueue_);
  if (!pendingPairings_.empty()) {
    return Refusal{"電腦正在處理另一個配對請求", HostErrorCode::pairingBusy};
  }
  const bool assisting = std::any_of(sessions_.begin(), sessions_.end(), [](const auto& session) {
    return session->authorized() && session->limited();
  });
  if (assisting) {
    return Refusal{"有遠端協助正在進行，請先結束後再配對新裝置", HostErrorCode::supportActive};
  }
  return std::nullopt;
}

void HostController::requestApproval(std::shared_ptr<HostSession> session, std::string code) {
  assertOnMain(*mainQueue_);
  if (auto live = findSession(session)) requestApproval(live, std::move(code));
}

void HostController::requestApproval(const std::shared_ptr<LiveSession>& session,
                                     std::string code) {
  assertOnMain(*mainQueue_);
  pendingPairings_.push_back({session, std::move(code)});
  publish(HostField::pendingPairings);
  if (onNeedsAttention) onNeedsAttention();
  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<LiveSession> weakSession = session;
  mainQueue_->after(approvalTimeout, [weakSelf, weakSession] {
    auto self = weakSelf.lock();
    auto session = weakSession.lock();
    if (self && session) self->answer(session, false, false);
  });
}

void HostController::answer(const std::shared_ptr<LiveSession>& session, bool approved,
                            bool ownDevice) {
  assertOnMain(*mainQueue_);
  // Only a pairing that still waits can be answered: a card left on screen after the 120-second
  // denial must not approve a session that was already refused.
  auto found = std::find_if(pendingPairings_.begin(), pendingPairings_.end(),
                            [&](const PendingPairing& p) { return p.session == session; });
  if (found == pendingPairings_.end()) return;
  if (approved && !session->grantSeconds() && !ownDevice) {
    session->setGrantSeconds(defaultGrantSeconds);
  }
  std::erase_if(pendingPairings_, [&](const PendingPairing& p) { return p.session == session; });
  publish(HostField::pendingPairings);
  session->answerPairing(approved);
}

}  // namespace ombrel
