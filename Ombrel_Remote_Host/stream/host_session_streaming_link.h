#pragma once

// Connects a session's streaming control to its HostSession.
//
// Wiring (in HostSession, before start()):
//   auto link = std::make_shared<HostSessionStreamingLink>(
//       weak_from_this(), conn_, host_, [weak] { /* authorized and the path still allowed */ });
//   streaming_ = StreamControl::create(link, dependencies);
//   installStreamingHandlers(*this, streaming_);
// and at teardown, on the connection queue, streaming_->shutdown(). The dependencies come from
// the controller: the main queue, the screen layer's streamer factory, displays and cursor, the
// screen lock, HostSessionDelegate::powerManager(), the injector's display bounds and the clipboard
// poll.
//
// Threading: as StreamControlDelegate. The link holds the session weakly (the session owns the
// streaming control, which owns the link) and the connection strongly (its queue and counters
// stay valid while callbacks still run). HostSessionDelegate outlives every session.

#include <functional>
#include <memory>

#include "Ombrel_Remote_Host/stream/stream_control_delegate.h"

namespace ombrel {

class HostSession;
class NVConnection;
class HostSessionDelegate;
class StreamControl;

class HostSessionStreamingLink final : public StreamControlDelegate {
 public:
  HostSessionStreamingLink(std::weak_ptr<HostSession> session, std::shared_ptr<NVConnection> conn,
                           HostSessionDelegate& host, std::function<bool()> accessAllowed);

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
  HostSessionDelegate& host_;
  std::function<bool()> accessAllowed_;
};

// Routes startStream, stopStream, requestKeyframe, updateBitrate, videoReceipt and clientStats
// of `session` to `streaming` (on the connection queue, after the session's own checks).
void installStreamingHandlers(HostSession& session, std::shared_ptr<StreamControl> streaming);

}  // namespace ombrel
