#include "Ombrel_Remote_Host/stream/session_streaming_handlers.h"

#include <array>

#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/stream/session_streaming.h"

namespace ombrel {

void installStreamingHandlers(HostSession& session, std::shared_ptr<SessionStreaming> streaming) {
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
