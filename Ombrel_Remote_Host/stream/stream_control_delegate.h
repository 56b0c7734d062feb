#pragma once

// The part of a session that its streaming control talks to. HostSession provides one (see
// host_session_streaming_link.h); tests use a recording fake. Kept narrow so streaming can be
// tested without a connection.
//
// Threading: send, pendingBytes, accessAllowed and limited from any thread; tcpDescriptor on
// queue(); streamDidStart is called on queue().

#include <cstdint>
#include <optional>

#include "OmbrelKit/message_type.h"
#include "base/bytes.h"
#include "base/serial_queue.h"

namespace ombrel {

class StreamControlDelegate {
 public:
  virtual ~StreamControlDelegate() = default;

  virtual void send(MessageType type, Bytes body) = 0;
  // Bytes queued on the connection and not yet written.
  virtual std::int64_t pendingBytes() const = 0;
  // The session is authorized and its path may still carry sessions.
  virtual bool accessAllowed() const = 0;
  // A time-limited support session.
  virtual bool limited() const = 0;
  // The connection's serial queue.
  virtual SerialQueue& queue() = 0;
  // The socket of a TCP connection (for TCP_INFO); nothing for other transports.
  virtual std::optional<int> tcpDescriptor() = 0;
  // A stream started: the owner records that capture works and refreshes its views.
  virtual void streamDidStart() = 0;
};

}  // namespace ombrel
