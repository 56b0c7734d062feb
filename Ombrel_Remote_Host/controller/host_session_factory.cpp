#include "Ombrel_Remote_Host/controller/host_session_factory.h"

#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/tcp_transport.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"

namespace ombrel {

namespace {

// An adapter rather than HostSession implementing LiveSession itself: session/ sits below the
// controller, whose registry owns this interface, so the session cannot name it; and the
// registry's start() also hands over the end-of-session callback the session keeps as onEnded.
class HostSessionEntry final : public LiveSession {
 public:
  explicit HostSessionEntry(std::shared_ptr<HostSession> session) : session_(std::move(session)) {}

  const std::string& id() const override { return session_->id(); }
  const std::string& via() const override { return session_->via(); }
  std::string remoteIP() const override { return session_->remoteIP(); }
  CorvaneAccess::Token accessToken() const override { return session_->accessToken(); }
  std::optional<Bytes> peerPublicKey() const override {
    return session_->conn() ? session_->conn()->peerPublicKey() : std::nullopt;
  }
  bool authorized() const override { return session_->authorized(); }
  bool limited() const override { return session_->limited(); }
  bool pairRequested() const override { return session_->pairRequested(); }
  bool privacyRequested() const override { return session_->privacyRequested(); }
  std::string clientName() const override { return session_->clientName(); }
  std::optional<double> grantSeconds() const override { return session_->grantSeconds(); }
  void setGrantSeconds(std::optional<double> seconds) override {
    session_->setGrantSeconds(seconds);
  }

  void start(std::function<void()> ended) override {
    session_->onEnded = [ended = std::move(ended)](const std::shared_ptr<HostSession>&) {
      if (ended) ended();
    };
    session_->start();
  }
  void disconnect() override { session_->disconnect(); }
  void answerPairing(bool approved) override { session_->answerPairing(approved); }
  std::shared_ptr<HostSession> hostSession() const override { return session_; }

 private:
  std::shared_ptr<HostSession> session_;
};

}  // namespace

std::shared_ptr<LiveSession> HostSessionFactory::entry(std::shared_ptr<HostSession> session) {
  return std::make_shared<HostSessionEntry>(std::move(session));
}

std::shared_ptr<LiveSession> HostSessionFactory::make(HostSessionDelegate& host,
                                                      asio::ip::tcp::socket socket,
                                                      std::optional<Bytes> preamble,
                                                      std::string via, std::string remoteIP) {
  // A relay data connection is one the host opened; a listener's was opened by the client.
  const bool outbound = preamble.has_value();
  auto transport =
      TCPTransport::connected(std::move(socket), outbound, NVConnection::tcpParameters());
  auto conn = NVConnection::create(std::move(transport), NVConnection::Role::host, host.identity(),
                                   std::move(preamble), runtime_);
  return finish(HostSession::create(std::move(conn), std::move(via), host), std::move(remoteIP));
}

std::shared_ptr<LiveSession> HostSessionFactory::make(HostSessionDelegate& host,
                                                      std::shared_ptr<NVConnection> conn,
                                                      std::string via, std::string remoteIP,
                                                      Bytes expectedPeerKey) {
  return finish(
      HostSession::create(std::move(conn), std::move(via), host, std::move(expectedPeerKey)),
      std::move(remoteIP));
}

void HostSessionFactory::close(const std::shared_ptr<NVConnection>& conn) {
  if (conn) conn->close();
}

std::shared_ptr<LiveSession> HostSessionFactory::finish(std::shared_ptr<HostSession> session,
                                                        std::string remoteIP) {
  session->setRemoteIP(std::move(remoteIP));
  if (onCreated) onCreated(session);
  return entry(std::move(session));
}

}  // namespace ombrel
