#pragma once

// The host's side of one client connection after intake: authorization, pairing with the
// owner's confirmation, the host hello, and the dispatch of every message to the component
// that serves it.
//
// States:
//   accepted   -> registered by intake; deadlines armed (10 s handshake, 60 s pair request
//                 by intake; 180 s authorization here)
//   handshaken -> access and expected key checked; messages flow
//   hello      -> authorized (trusted key) or not; a hostHello is sent either way
//   checking   -> a pair request is being decided on the main queue (conflicts, backoff,
//                 settings, path, then the owner's prompt, in one main-queue item); the
//                 connection queue goes on serving and ignores further pair requests; a
//                 refusal comes back to it and the session may ask again
//   pairing    -> one pair request at a time waits for the owner (120 s); denied sessions
//                 close 0.5 s after the refusal, approved ones become authorized
//   authorized -> stream, input, clipboard, files, AI, wake, ICE and tunnel messages
//   closed     -> teardown, then onEnded (once)
//
// Threading: everything runs on the connection's serial queue except where a member says
// otherwise; getters may be called from any thread (they read atomics or take the session's
// small lock). The connection queue never waits for the main queue: work there is posted and
// its outcome posted back (a peer can drive these paths as fast as it likes). The session
// holds its HostSessionDelegate by reference: the controller outlives every session.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "CorvaneKit/corvane_access.h"
#include "OmbrelKit/host_error_code.h"
#include "OmbrelKit/message_type.h"
#include "OmbrelKit/session_messages.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"
#include "base/bytes.h"

namespace ombrel {

class NVConnection;
class HostSessionDelegate;
struct PairRequest;

class HostSession : public std::enable_shared_from_this<HostSession> {
 public:
  // Frame limits: before authorization, and after it.
  static constexpr std::int64_t unauthorizedFrameLimit = 16448;
  static constexpr std::int64_t authorizedFrameLimit = 67'108'864;
  // A larger message from an unauthorized peer ends the session.
  static constexpr std::size_t unauthorizedMessageLimit = 16384;
  static constexpr double authorizationDeadline = 180.0;
  static constexpr double denialCloseDelay = 0.5;
  static constexpr double defaultGrantSeconds = 7200.0;
  // Largest bodies handed to the serving components.
  static constexpr std::size_t maxClipboardImageBody = 16'777'216;
  static constexpr std::size_t maxLinkSignalBody = 71'680;
  static constexpr std::size_t maxVPNEndpointBody = 1'023;

  static std::shared_ptr<HostSession> create(std::shared_ptr<NVConnection> conn, std::string via,
                                             HostSessionDelegate& host,
                                             std::optional<Bytes> expectedPeerKey = {});
  ~HostSession();

  // Installs the connection's handlers, lowers its frame limit, starts it and arms the
  // authorization deadline.
  void start();
  // Closes the connection; the close handler tears down and reports onEnded.
  void disconnect();
  // The owner's decision on a pending pair request (any thread; runs on the connection queue).
  void answerPairing(bool approved);

  // Called once, on the main queue, after the connection closed and the session tore down.
  std::function<void(const std::shared_ptr<HostSession>&)> onEnded;

  const std::string& id() const { return id_; }
  const std::string& via() const { return via_; }
  const std::shared_ptr<NVConnection>& conn() const { return conn_; }
  // The application around the session (components installed in it reach the controller here).
  HostSessionDelegate& host() const { return host_; }
  CorvaneAccess::Token accessToken() const { return accessToken_; }
  const std::optional<Bytes>& expectedPeerKey() const { return expectedPeerKey_; }

  // Set by intake before start().
  void setRemoteIP(std::string ip);
  std::string remoteIP() const;

  bool authorized() const { return authorized_; }
  bool limited() const { return limited_; }
  bool pairPending() const { return pairPending_; }
  bool pairRequested() const { return pairRequested_; }
  bool privacyRequested() const { return privacyRequested_; }
  std::string clientName() const;
  std::optional<double> grantSeconds() const;
  // The owner's answer turns an ordinary approval into a 2-hour grant (main queue).
  void setGrantSeconds(std::optional<double> seconds);

  // Shared with HostSession's static rules (session_rules.h).
  static std::string cleanDeviceName(std::string_view name);
  static bool isInternetAddress(std::string_view address);

  // Handlers for message types served by other components (streaming, input, clipboard, files,
  // AI, wake, ICE, tunnel). A type without a handler is ignored, as undecodable messages are.
  // Install before start(); they run on the connection queue for authorized sessions only,
  // after the session's own checks: access, and the per-type conditions that depend only on
  // the session (no ICE, tunnel or privacy for limited sessions; clipboard types only while
  // clipboard sync is on; body limits for videoReceipt 32, clipboard images 16 MiB, linkSignal
  // 71680 and vpnEndpoint 1023 bytes; linkSignal only with the ICE preview on).
  using MessageHandler = std::function<void(HostSession&, ByteView body)>;
  void setHandler(MessageType type, MessageHandler handler);

  // Runs when the connection has closed, on the connection queue, before onEnded: components
  // that served the session (stream, input, files, ICE) release what they hold. Install before
  // start().
  void addTeardown(std::function<void(HostSession&)> hook);

  // Sends on the session's connection (any thread).
  void send(MessageType type, Bytes body);

  // The gate still covers this session's path and, once authorized, its key is still trusted.
  // Checked before every message, at the end of the handshake and when a pairing answer is
  // applied (any thread).
  bool accessAllowed() const;

 private:
  HostSession(std::shared_ptr<NVConnection> conn, std::string via, HostSessionDelegate& host,
              std::optional<Bytes> expectedPeerKey);

  void handshakeCompleted();
  void handle(MessageType type, ByteView body);
  bool admits(MessageType type, std::size_t size) const;
  void clientHello(ByteView body);
  void sendHostHello();
  void pairRequest(ByteView body);
  // Main queue: the checks of a pair request and, when none refuses, the owner's prompt, in one
  // item so no other session's request slips between them. Posts the outcome back.
  void decidePairing(const PairRequest& request, std::string code);
  // Connection queue: the request is decided; a refusal is sent.
  void pairingDecided(std::optional<std::string> refusal, std::optional<HostErrorCode> code);
  void refusePairing(std::string message, std::optional<HostErrorCode> code);
  void applyAnswer(bool approved);
  void finishApproval(const Bytes& key);
  void privacyMode(ByteView body);
  void closed();

  struct Private;
  std::unique_ptr<Private> d_;

  const std::string id_;
  const std::string via_;
  HostSessionDelegate& host_;
  std::shared_ptr<NVConnection> conn_;
  const std::optional<Bytes> expectedPeerKey_;
  const CorvaneAccess::Token accessToken_;

  mutable std::mutex lock_;  // guards remoteIP_, clientName_, grantSeconds_
  std::string remoteIP_;
  std::string clientName_ = "未知裝置";
  std::optional<double> grantSeconds_;

  std::atomic<bool> authorized_{false};
  std::atomic<bool> limited_{false};
  std::atomic<bool> pairPending_{false};
  std::atomic<bool> pairRequested_{false};
  std::atomic<bool> privacyRequested_{false};
  std::atomic<bool> closed_{false};
};

}  // namespace ombrel
