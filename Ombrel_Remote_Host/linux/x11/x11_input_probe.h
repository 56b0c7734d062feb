#pragma once

#include <string>

namespace ombrel {

// Whether the X server on `displayName` (empty: $DISPLAY) lets this process inject input: the
// display opens and has the XTest extension. The X11 stand-in for an accessibility permission.
bool x11CanInjectInput(const std::string& displayName = {});

}  // namespace ombrel
