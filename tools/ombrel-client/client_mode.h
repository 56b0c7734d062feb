#pragma once

#include "OmbrelKit/message_type.h"
#include "base/bytes.h"

namespace ombrel {

class ClientSession;

// Work of one mode of the client (an input script, a stream) that runs inside a ClientSession
// once the host has answered the hello (and a pairing, when asked for) and the built-in actions
// are done. The mode calls ClientSession::modeFinished() when it is through; the session then
// lingers and closes as usual.
//
// Threading: every call runs on the session's connection queue.
class ClientMode {
 public:
  virtual ~ClientMode() = default;

  virtual void start(ClientSession& session) = 0;
  // A message the session does not handle itself; true when the mode reported it.
  virtual bool handle(ClientSession& session, MessageType type, const Bytes& body) = 0;
};

}  // namespace ombrel
