#pragma once

#include <optional>
#include <string>

#include "base/bytes.h"

namespace ombrel {

// The monitor name that a display's EDID block carries (display descriptor 0xFC), trimmed;
// nullopt when the block is malformed or names nothing. The bytes come from the monitor, so
// nothing is trusted.
std::optional<std::string> edidMonitorName(ByteView edid);

}  // namespace ombrel
