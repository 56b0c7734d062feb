#pragma once

// The live sessions of the host and the intake on every path into them (listener, relay, ICE):
// who may open a session, the gate on each one, the deadlines that end a session which never
// gets anywhere, and the hand-back when one ends.
//
// Threading: main queue, except `closeSessions` (any thread). The factory's sessions report
// their end on the main queue; their callbacks and the deadlines hold the registry weakly.

#include <asio/ip/tcp.hpp>

#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "CorvaneKit/corvane_access.h"
#include "Ombrel_Remote_Host/controller/live_session.h"
#include "Ombrel_Remote_Host/trust/session_registry.h"
#include "base/serial_queue.h"

namespace ombrel {

// Who may open a session, before any byte of the protocol is read.
//   direct (TCP listener): fewer than 8 live sessions from the same address, fewer than 48
//     direct sessions in all (every session with a non-empty remote address, ICE included),
//     and at most 20 admitted connections per address in any 60 seconds;
//   relayed: fewer than 16 live sessions with an empty remote address.
class ConnectionAdmission {
 public:
  static constexpr int maxPerAddress = 8;
  static constexpr int maxDirect = 48;
  static constexpr int maxRelayed = 16;
  static constexpr std::size_t maxPerWindow = 20;
  static constexpr double window = 60.0;

  // Checks the live-session limits and then the rate limit; a refused connection is not
  // recorded. `liveRemoteIPs` holds the remote address of every live session.
  bool admitDirect(std::span<const std::string> liveRemoteIPs, const std::string& ip, double now);
  static bool admitRelayed(std::span<const std::string> liveRemoteIPs);

  // The rate limit alone: prunes dates older than the window, refuses an address that already
  // has 20, otherwise records `now`.
  bool allowNewConnection(const std::string& ip, double now);

  // Addresses with connections inside the window (for tests and diagnostics).
  std::size_t trackedAddresses() const { return recent_.size(); }

 private:
  std::map<std::string, std::vector<double>, std::less<>> recent_;
};

class LiveSessionRegistry final : public SessionRegistry,
                                  public std::enable_shared_from_this<LiveSessionRegistry> {
 public:
  static constexpr double handshakeDeadline = 10.0;
  static constexpr double pairRequestDeadline = 60.0;

  // `host` is what the sessions it makes ask of the host; `access` the gate. Both outlive the
  // registry. Without a factory every connection is refused.
  LiveSessionRegistry(std::shared_ptr<SerialQueue> mainQueue, HostSessionDelegate& host,
                      const CorvaneAccess& access, std::shared_ptr<SessionFactory> factory);

  // A session ends: first while it is still listed, then after it left the list.
  std::function<void(const std::shared_ptr<LiveSession>&)> onEnding;
  std::function<void(const std::shared_ptr<LiveSession>&)> onEnded;
  // `sessions()` changed.
  std::function<void()> onChange;

  const std::vector<std::shared_ptr<LiveSession>>& sessions() const { return sessions_; }

  // Registers a session made for an admitted stream, when the gate allows its path with the
  // gate's current token (else it is closed), starts it and arms its deadlines.
  void accept(std::shared_ptr<LiveSession> session);
  // A connection the listener accepted from `remoteIP`.
  void acceptDirect(asio::ip::tcp::socket socket, std::string remoteIP);
  // A data connection from the relay client, with the relay's preamble; it needs both switches.
  void acceptRelayed(asio::ip::tcp::socket socket, Bytes preamble);
  // A data channel a session negotiated; the peer must present `expectedPeerKey`.
  void acceptICE(std::shared_ptr<NVConnection> conn, Bytes expectedPeerKey,
                 CorvaneAccess::Token token);

  // Closes the sessions the gate no longer allows (after a switch moved).
  void closeRefused();
  void closeAll();
  // Any thread.
  void closeSessions(ByteView publicKey) override;

  std::shared_ptr<LiveSession> findSession(const std::shared_ptr<HostSession>& session) const;
  std::vector<std::string> liveRemoteIPs() const;

 private:
  bool gateAllows(const std::string& remoteIP, CorvaneAccess::Token token) const;
  void sessionEnded(const std::shared_ptr<LiveSession>& session);
  void close(const std::function<bool(const LiveSession&)>& which);

  const std::shared_ptr<SerialQueue> mainQueue_;
  HostSessionDelegate& host_;
  const CorvaneAccess& access_;
  const std::shared_ptr<SessionFactory> factory_;

  // Main queue.
  std::vector<std::shared_ptr<LiveSession>> sessions_;
  ConnectionAdmission admission_;
};

}  // namespace ombrel
