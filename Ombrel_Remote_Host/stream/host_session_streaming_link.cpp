#include "Ombrel_Remote_Host/stream/host_session_streaming_link.h"

#include <array>
#include <utility>

#include "OmbrelKit/nv_connection.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"
#include "Ombrel_Remote_Host/stream/stream_control.h"

namespace ombrel {

HostSessionStreamingLink::HostSessionStreamingLink(std::weak_ptr<HostSession> session,
                                                   std::shared_ptr<NVConnection> conn,
                                                   HostSessionDelegate& host,
                                                   std::function<bool()> accessAllowed)
    : session_(std::move(session)),
      conn_(std::move(conn)),
      host_(host),
      accessAllowed_(std::move(accessAllowed)) {}

void HostSessionStreamingLink::send(MessageType type, Bytes body) {
  conn_->send(type, std::move(body));
}

std::int64_t HostSessionStreamingLink::pendingBytes() const { return conn_->pendingBytes(); }

bool HostSessionStreamingLink::accessAllowed() const {
  return !session_.expired() && accessAllowed_ && accessAllowed_();
}

bool HostSessionStreamingLink::limited() const {
  auto session = session_.lock();
  return session && session->limited();
}

SerialQueue& HostSessionStreamingLink::queue() { return *conn_->queue(); }

std::optional<int> HostSessionStreamingLink::tcpDescriptor() {
  const auto& tcp = conn_->connection();
  if (!tcp) return std::nullopt;
  int fd = tcp->nativeHandle();
  if (fd < 0) return std::nullopt;
  return fd;
}

void HostSessionStreamingLink::streamDidStart() {
  HostSessionDelegate& host = host_;
  host.mainQueue().post([&host] {
    host.captureWorked();
    host.sessionsChanged();
  });
}

void installStreamingHandlers(HostSession& session, std::shared_ptr<StreamControl> streaming) {
  static constexpr std::array types = {
      MessageType::startStream,   MessageType::stopStream,   MessageType::requestKeyframe,
      MessageType::updateBitrate, MessageType::videoReceipt, MessageType::clientStats,
  };
  for (MessageType type : types) {
    session.setHandler(
        type, [streaming, type](HostSession&, ByteView body) { streaming->handle(type, body); });
  }
}

}  // namespace ombrel
