#pragma once

// A live session as the controller's registry sees it, and the factory that makes one from an
// admitted byte stream. The registry decides on these facts alone (admission counts, the gate,
// deadlines, pairing, end-of-session lock, privacy); `HostSessionFactory` backs them with
// `HostSession` and `NVConnection`, tests with a scriptable fake.
//
// Threading: the getters may be called from any thread (they read the session's atomics and
// its small lock); `start`, `disconnect` and `answerPairing` from the main queue.

#include <asio/ip/tcp.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CorvaneKit/corvane_access.h"
#include "base/bytes.h"

namespace ombrel {

class HostSession;
class NVConnection;
class HostSessionDelegate;

class LiveSession {
 public:
  virtual ~LiveSession() = default;

  virtual const std::string& id() const = 0;
  virtual const std::string& via() const = 0;
  virtual std::string remoteIP() const = 0;
  virtual CorvaneAccess::Token accessToken() const = 0;
  // The key the peer proved in the handshake; absent until it completes.
  virtual std::optional<Bytes> peerPublicKey() const = 0;
  virtual bool authorized() const = 0;
  virtual bool limited() const = 0;
  virtual bool pairRequested() const = 0;
  virtual bool privacyRequested() const = 0;
  virtual std::string clientName() const = 0;
  virtual std::optional<double> grantSeconds() const = 0;
  virtual void setGrantSeconds(std::optional<double> seconds) = 0;

  // Starts the connection; `ended` is called once, on the main queue, after it closed.
  virtual void start(std::function<void()> ended) = 0;
  virtual void disconnect() = 0;
  virtual void answerPairing(bool approved) = 0;

  // The session object behind this entry (null in tests).
  virtual std::shared_ptr<HostSession> hostSession() const = 0;
};

class SessionFactory {
 public:
  virtual ~SessionFactory() = default;

  // A session, not started, over an accepted TCP socket or a relay connection (with the
  // relay's preamble) in a host-role connection.
  virtual std::shared_ptr<LiveSession> make(HostSessionDelegate& host, asio::ip::tcp::socket socket,
                                            std::optional<Bytes> preamble, std::string via,
                                            std::string remoteIP) = 0;
  // A session, not started, over a connection another session negotiated (the ICE path).
  virtual std::shared_ptr<LiveSession> make(HostSessionDelegate& host,
                                            std::shared_ptr<NVConnection> conn, std::string via,
                                            std::string remoteIP, Bytes expectedPeerKey) = 0;
  // Closes a connection that will not become a session.
  virtual void close(const std::shared_ptr<NVConnection>& conn) = 0;
};

}  // namespace ombrel
