#pragma once

// The SessionFactory of the running host: every admitted stream becomes a host-role
// NVConnection (sending the relay's preamble first when there is one) carrying a HostSession.
//
// Threading: `make` and `close` run on the controller's main queue. The entries it returns read
// the session's own thread-safe getters.

#include <functional>
#include <memory>

#include "Ombrel_Remote_Host/controller/live_session.h"
#include "base/runtime.h"

namespace ombrel {

class HostSessionFactory : public SessionFactory {
 public:
  // `runtime` must outlive every connection made here.
  explicit HostSessionFactory(Runtime& runtime) : runtime_(runtime) {}

  // Called with every new session before it starts: the place to install the handlers of the
  // components that serve its messages (streaming, input, clipboard, files, ...).
  std::function<void(const std::shared_ptr<HostSession>&)> onCreated;

  std::shared_ptr<LiveSession> make(HostSessionDelegate& host, asio::ip::tcp::socket socket,
                                    std::optional<Bytes> preamble, std::string via,
                                    std::string remoteIP) override;
  std::shared_ptr<LiveSession> make(HostSessionDelegate& host, std::shared_ptr<NVConnection> conn,
                                    std::string via, std::string remoteIP,
                                    Bytes expectedPeerKey) override;
  void close(const std::shared_ptr<NVConnection>& conn) override;

  // The registry entry of a session.
  static std::shared_ptr<LiveSession> entry(std::shared_ptr<HostSession> session);

 private:
  std::shared_ptr<LiveSession> finish(std::shared_ptr<HostSession> session, std::string remoteIP);

  Runtime& runtime_;
};

}  // namespace ombrel
