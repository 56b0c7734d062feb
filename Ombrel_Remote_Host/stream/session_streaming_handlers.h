#pragma once

// Connects a session's streaming control to its HostSession: the stream messages go to
// SessionStreaming::handle on the connection queue, after the session's own authorization
// checks.
//
// Wiring (HostSession, before start()):
//   auto streaming = SessionStreaming::create(link, dependencies);  // link: a StreamingSession
//   installStreamingHandlers(*session, streaming);
// and at teardown, on the connection queue, streaming->shutdown(). The link gives send()
// (HostSession::send), the connection's pendingBytes and queue, the access check, limited(), the
// TCP transport's nativeHandle() and, in streamDidStart, posts SessionHost::captureWorked and
// sessionsChanged to the main queue.

#include <memory>

namespace ombrel {

class HostSession;
class SessionStreaming;

void installStreamingHandlers(HostSession& session, std::shared_ptr<SessionStreaming> streaming);

}  // namespace ombrel
