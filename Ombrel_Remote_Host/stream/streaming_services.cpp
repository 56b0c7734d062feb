#include "Ombrel_Remote_Host/stream/streaming_services.h"

#include <utility>

#include "Ombrel_Remote_Host/screen/screen_backends.h"
#include "Ombrel_Remote_Host/screen/virtual_display.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"
#include "Ombrel_Remote_Host/stream/host_session_streaming_link.h"
#include "Ombrel_Remote_Host/stream/screen_stream_displays.h"
#include "Ombrel_Remote_Host/stream/screen_streamer.h"
#include "Ombrel_Remote_Host/stream/stream_control.h"

namespace ombrel {

StreamingServices::StreamingServices(Runtime& runtime, Options options)
    : runtime_(runtime), options_(std::move(options)) {
  makeStreamer_ = options_.makeStreamer;
  if (!makeStreamer_) {
    makeStreamer_ = ScreenStreamer::factory(
        runtime_, ScreenStreamer::Environment{.ownWindows = options_.ownWindows});
  }
  displays_ = options_.displays;
  if (!displays_) {
    displays_ = std::make_shared<ScreenStreamDisplays>(VirtualDisplayTiming::onRuntime(runtime_));
  }
  cursor_ = options_.cursor;
}

std::shared_ptr<CursorSource> StreamingServices::cursor() {
  std::lock_guard lock(cursorLock_);
  if (!cursor_) cursor_ = openCursorSource();
  return cursor_;
}

std::shared_ptr<StreamControl> StreamingServices::install(
    const std::shared_ptr<HostSession>& session) {
  HostSessionDelegate& host = session->host();
  std::weak_ptr<HostSession> weak = session;
  auto link = std::make_shared<HostSessionStreamingLink>(weak, session->conn(), host, [weak] {
    auto self = weak.lock();
    return self && self->authorized() && self->accessAllowed();
  });

  StreamControl::Dependencies dependencies{
      .mainQueue = host.mainQueue().shared_from_this(),
      .makeStreamer = makeStreamer_,
      .displays = displays_,
      .screenLock = options_.screenLock,
      .powerManager = options_.powerManager ? options_.powerManager : &host.powerManager(),
      .cursor = cursor(),
      .blockingWorker = runtime_.blockingWorker(),
  };
  if (options_.onDisplayBounds) {
    dependencies.onDisplayBounds = [weak,
                                    hook = options_.onDisplayBounds](const DisplayBounds& bounds) {
      if (auto self = weak.lock()) hook(self, bounds);
    };
  }
  if (options_.onClipboardCheck) {
    dependencies.onClipboardCheck = [weak, hook = options_.onClipboardCheck] {
      if (auto self = weak.lock()) hook(self);
    };
  }
  // Only the platform's displays are the platform's to vouch for.
  if (!options_.displays) dependencies.captureProblem = [] { return screenCaptureProblem(); };
  auto streaming = StreamControl::create(link, std::move(dependencies));
  installStreamingHandlers(*session, streaming);
  session->addTeardown([streaming](HostSession&) { streaming->shutdown(); });
  return streaming;
}

}  // namespace ombrel
