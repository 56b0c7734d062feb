#pragma once

// Connects a session's streaming control to its HostSession.
//
// A separate object rather than HostSession implementing StreamControlDelegate itself: session/
// sits below stream/ (the session knows nothing of streaming; streaming installs its handlers in
// the session), so the session cannot name the delegate it would implement.
//
// Wiring (StreamingServices::install, before the session starts):
//   auto link = std::make_shared<HostSessionStreamingLink>(
//       weak, session->conn(), host, [weak] { /* authorized and the path still allowed */ });
//   auto streaming = StreamControl::create(link, dependencies);
//   installStreamingHandlers(*session, streaming);
// and at teardown, on the connection queue, streaming->shutdown(). The dependencies come from
// the services: the main queue, the ScreenStreamer factory, the displays and the cursor, the
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
