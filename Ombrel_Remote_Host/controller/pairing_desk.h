#pragma once

// The owner's desk for pairing and grants: the pairings that wait for an answer, each denied on
// its own after 120 s; the backoff that lets at most 3 prompts through in any 120 s; the
// conflicts that refuse a new pairing outright; the answer (an ordinary approval becomes the
// session's default grant unless marked as own device); and the trusted clients with their
// time-limited grants, expired by a one-second timer, extended or made permanent.
//
// Threading: main queue, except where a member says "any thread". Timers hold the desk weakly.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/controller/live_session.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"
#include "Ombrel_Remote_Host/session/session_rules.h"
#include "Ombrel_Remote_Host/trust/trusted_client_store.h"
#include "base/serial_queue.h"
#include "base/timer.h"

namespace ombrel {

struct PendingPairing {
  std::shared_ptr<LiveSession> session;
  std::string code;
};

class PairingDesk : public std::enable_shared_from_this<PairingDesk> {
 public:
  static constexpr double approvalTimeout = 120.0;
  static constexpr double grantExpiryInterval = 1.0;
  static constexpr double defaultGrantSeconds = HostSession::defaultGrantSeconds;

  PairingDesk(std::shared_ptr<SerialQueue> mainQueue, std::unique_ptr<TrustedClientStore> trusted);
  PairingDesk(const PairingDesk&) = delete;
  PairingDesk& operator=(const PairingDesk&) = delete;

  // `pending()` changed.
  std::function<void()> onPendingChange;
  // A pairing waits for the owner.
  std::function<void()> onNeedsAttention;

  // The store, for its owner to wire up; its own threading rules apply.
  TrustedClientStore& trusted() { return *trusted_; }

  // Arms and stops the grant-expiry timer.
  void start();
  void stop();

  const std::vector<PendingPairing>& pending() const { return pending_; }

  // Any thread. True when a pairing request must be refused; otherwise the prompt is counted.
  bool backoff();
  // Why a new pairing cannot be asked for now, given the live sessions.
  std::optional<HostSessionDelegate::Refusal> conflict(
      std::span<const std::shared_ptr<LiveSession>> sessions) const;
  void requestApproval(const std::shared_ptr<LiveSession>& session, std::string code);
  // Only a pairing that still waits can be answered.
  void answer(const std::shared_ptr<LiveSession>& session, bool approved, bool ownDevice);
  // The session ended: its pairing no longer waits.
  void forget(const std::shared_ptr<LiveSession>& session);

  // Any thread.
  bool isTrusted(ByteView publicKey) const { return trusted_->isTrusted(publicKey); }
  bool isLimited(ByteView publicKey) const { return trusted_->isLimited(publicKey); }

  void trust(ByteView publicKey, std::string name, std::optional<double> seconds);
  void revoke(const TrustedClient& client);
  void extendGrants(double seconds);
  void makeGrantsPermanent();
  void expireGrants(bool all);

 private:
  bool drop(const std::shared_ptr<LiveSession>& session);

  const std::shared_ptr<SerialQueue> mainQueue_;
  const std::unique_ptr<TrustedClientStore> trusted_;

  // Main queue.
  std::vector<PendingPairing> pending_;
  std::shared_ptr<Timer> expiry_;

  mutable std::mutex lock_;
  PairingBackoff prompts_;  // guarded by lock_
};

}  // namespace ombrel
