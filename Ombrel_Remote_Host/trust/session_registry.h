#pragma once

// The part of the live-session registry that the trusted-client store needs: ending the
// sessions of a device whose trust is withdrawn.

#include "base/bytes.h"

namespace ombrel {

class SessionRegistry {
 public:
  virtual ~SessionRegistry() = default;

  // Ends every live session whose peer proved `publicKey`: a tunnel session it holds is stopped
  // and cleared, and its connection is closed. Called on the thread that changes the trusted
  // list, never under the store's lock.
  virtual void closeSessions(ByteView publicKey) = 0;
};

}  // namespace ombrel
