#pragma once

// The controller and its parts run on the runtime's main queue unless a member says "any
// thread". Debug builds check it on entry: a call from elsewhere races the published state only
// when the timing is unlucky. Free under NDEBUG.

#include <cassert>

#include "base/serial_queue.h"

namespace ombrel {

inline void assertOnMain([[maybe_unused]] const SerialQueue& queue) { assert(queue.isCurrent()); }

}  // namespace ombrel
