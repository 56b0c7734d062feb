#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneKit/corvane_access.h"
#include "OmbrelKit/device_identity.h"
#include "OmbrelKit/display_info.h"
#include "OmbrelKit/host_error_code.h"
#include "base/bytes.h"

namespace ombrel {

class HostSession;
class PowerManager;
class SerialQueue;

// What a session needs from the application around it. HostController implements it; session
// tests use a scriptable fake. Keeping it narrow keeps sessions from reaching into the
// controller's published (main-queue) state.
//
// Threading: the "any thread" members read lock-guarded mirrors (the controller lock, or the
// trusted-client store's own lock) and may be called from a connection queue. The "main queue"
// members must be called on `mainQueue()`; a session hops there with `post` and posts what
// follows back to its connection queue, never waiting for the main queue.
class HostSessionDelegate {
 public:
  virtual ~HostSessionDelegate() = default;

  // ---- any thread ----
  virtual const DeviceIdentity& identity() const = 0;
  virtual std::string hostName() const = 0;
  virtual SerialQueue& mainQueue() = 0;
  virtual CorvaneAccess& access() = 0;
  // Streams release their assertion on the Runtime's blocking worker, possibly after their
  // session is gone: it must stay valid until that worker has stopped.
  virtual PowerManager& powerManager() = 0;

  virtual bool isTrusted(ByteView publicKey) const = 0;
  virtual bool isLimited(ByteView publicKey) const = 0;

  // Mirrors of the owner's settings.
  virtual bool lockedReceive() const = 0;
  virtual bool lockedSync() const = 0;
  virtual bool lockedPairingEnabled() const = 0;
  virtual bool icePreviewEnabled() const = 0;
  // "address:port" entries advertised to authorized clients in the hello.
  virtual std::vector<std::string> lockedAddresses() const = 0;

  // At most three pairing prompts per 120 seconds across all clients; true = refuse.
  virtual bool pairingBackoff() = 0;

  // The displays a client may stream (empty when none can be listed).
  virtual std::vector<DisplayInfo> displays() = 0;

  // ---- main queue ----
  // Why a new pairing cannot be shown right now (another is pending, or an assistance session
  // is running), or nothing.
  struct Refusal {
    std::string message;
    HostErrorCode code;
  };
  virtual std::optional<Refusal> pairingConflict() = 0;
  virtual void requestApproval(std::shared_ptr<HostSession> session, std::string code) = 0;
  // Trusts `publicKey` under `name`; `seconds` makes it a time-limited grant.
  virtual void trust(ByteView publicKey, std::string name, std::optional<double> seconds) = 0;
  // Sessions changed in a way the owner's views show (authorization, names).
  virtual void sessionsChanged() = 0;
  // Turns the privacy screen on while any live session asks for it.
  virtual void recomputePrivacy() = 0;
  // A stream started: screen capture works in this process.
  virtual void captureWorked() = 0;
};

}  // namespace ombrel
