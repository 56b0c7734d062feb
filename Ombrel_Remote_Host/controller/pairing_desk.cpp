#include "Ombrel_Remote_Host/controller/pairing_desk.h"

#include <algorithm>

namespace ombrel {

PairingDesk::PairingDesk(std::shared_ptr<SerialQueue> mainQueue,
                         std::unique_ptr<TrustedClientStore> trusted)
    : mainQueue_(std::move(mainQueue)), trusted_(std::move(trusted)) {}

void PairingDesk::start() {
  mainQueue_->assertCurrent();
  if (expiry_) return;
  expiry_ = mainQueue_->every(grantExpiryInterval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->expireGrants(false);
  });
}

void PairingDesk::stop() {
  mainQueue_->assertCurrent();
  if (!expiry_) return;
  expiry_->cancel();
  expiry_.reset();
}

bool PairingDesk::backoff() {
  const double now = mainQueue_->now();
  std::lock_guard lock(lock_);
  return prompts_.shouldRefuse(now);
}

std::optional<HostSessionDelegate::Refusal> PairingDesk::conflict(
    std::span<const std::shared_ptr<LiveSession>> sessions) const {
  mainQueue_->assertCurrent();
  if (!pending_.empty()) {
    return HostSessionDelegate::Refusal{"電腦正在處理另一個配對請求", HostErrorCode::pairingBusy};
  }
  const bool assisting = std::any_of(sessions.begin(), sessions.end(), [](const auto& session) {
    return session->authorized() && session->limited();
  });
  if (assisting) {
    return HostSessionDelegate::Refusal{"有遠端協助正在進行，請先結束後再配對新裝置",
                                        HostErrorCode::supportActive};
  }
  return std::nullopt;
}

void PairingDesk::requestApproval(const std::shared_ptr<LiveSession>& session, std::string code) {
  mainQueue_->assertCurrent();
  pending_.push_back({session, std::move(code)});
  if (onPendingChange) onPendingChange();
  if (onNeedsAttention) onNeedsAttention();
  std::weak_ptr<PairingDesk> weakSelf = weak_from_this();
  std::weak_ptr<LiveSession> weakSession = session;
  mainQueue_->after(approvalTimeout, [weakSelf, weakSession] {
    auto self = weakSelf.lock();
    auto session = weakSession.lock();
    if (self && session) self->answer(session, false, false);
  });
}

void PairingDesk::answer(const std::shared_ptr<LiveSession>& session, bool approved,
                         bool ownDevice) {
  mainQueue_->assertCurrent();
  // A card left on screen after the 120-second denial must not approve a session that was
  // already refused.
  auto found = std::find_if(pending_.begin(), pending_.end(),
                            [&](const PendingPairing& p) { return p.session == session; });
  if (found == pending_.end()) return;
  if (approved && !session->grantSeconds() && !ownDevice) {
    session->setGrantSeconds(defaultGrantSeconds);
  }
  drop(session);
  if (onPendingChange) onPendingChange();
  session->answerPairing(approved);
}

void PairingDesk::forget(const std::shared_ptr<LiveSession>& session) {
  mainQueue_->assertCurrent();
  if (drop(session) && onPendingChange) onPendingChange();
}

bool PairingDesk::drop(const std::shared_ptr<LiveSession>& session) {
  return std::erase_if(pending_, [&](const PendingPairing& p) { return p.session == session; }) !=
         0;
}

// ---- grants --------------------------------------------------------------------------------

void PairingDesk::trust(ByteView publicKey, std::string name, std::optional<double> seconds) {
  mainQueue_->assertCurrent();
  trusted_->trust(publicKey, std::move(name), seconds);
}

void PairingDesk::revoke(const TrustedClient& client) {
  mainQueue_->assertCurrent();
  trusted_->revoke(client);
}

void PairingDesk::extendGrants(double seconds) {
  mainQueue_->assertCurrent();
  trusted_->extendGrants(seconds);
}

void PairingDesk::makeGrantsPermanent() {
  mainQueue_->assertCurrent();
  trusted_->makeGrantsPermanent();
}

void PairingDesk::expireGrants(bool all) {
  mainQueue_->assertCurrent();
  trusted_->expireGrants(all);
}

}  // namespace ombrel
