#pragma once

#include <memory>
#include <string>

#include "Ombrel_Remote_Host/clipboard/pasteboard.h"

namespace ombrel {

// The desktop's clipboard on the X display `displayName` ($DISPLAY when empty); null when there
// is no X display or the build has no X11 backend (clipboard sync is then off and logged).
// Defined in backends/.
std::shared_ptr<Pasteboard> openPasteboard(const std::string& displayName = {});

}  // namespace ombrel
