#pragma once

// Connects a session's streaming control to its HostSession.
//
// Wiring (in HostSession, before start()):
//   auto link = std::make_shared<HostSessionStreamingLink>(
//       weak_from_this(), conn_, host_, [weak] { /* authorized and the path still allowed */ });
//   streaming_ = SessionStreaming::create(link, dependencies);
//   installStreamingHandlers(*this, streaming_);
// and at teardown, on the connection queue, streaming_->shutdown(). The dependencies come from
// the controller: the main queue, the screen layer's streamer factory, displays and cursor, the
// screen lock, SessionHost::powerManager(), the injector's display bounds and the clipboard poll.
//
// Threading: as StreamingSession. The link holds the session weakly (the session owns the
// streaming control, which owns the link) and the connection strongly (its queue and counters
// stay valid while callbacks still run). SessionHost outlives every session.

#include <functional>
#include <memory>

#include "Ombrel_Remote_Host/stream/streaming_session.h"

namespace ombrel {

class HostSession;
class NVConnection;
class SessionHost;
class SessionStreaming;

class HostSessionStreamingLink final : public StreamingSession {
 public:
  HostSessionStreamingLink(std::weak_ptr<HostSession> session, std::shared_ptr<NVConnection> conn,
                           SessionHost& host, std::function<bool()> accessAllowed);

  void send(MessageType type, Bytes body) override;
  std::int64_t pendingBytes() const override;
  bool accessAllowed() const override;
  bool limited() const override;
  SerialQueue& queue() override;
  std::optional<int> tcpDescriptor() override;
  // Records on the main queue that capture works and refreshes the owner's views.
  void streamDidStart() override;

 private:
  std::weak_ptr<HostSession> session_;
  std::shared_ptr<NVConnection> conn_;
  SessionHost& host_;
  std::function<bool()> accessAllowed_;
};

// Routes startStream, stopStream, requestKeyframe, updateBitrate, videoReceipt and clientStats
// of `session` to `streaming` (on the connection queue, after the session's own checks).
void installStreamingHandlers(HostSession& session, std::shared_ptr<SessionStreaming> streaming);

}  // namespace ombrel
