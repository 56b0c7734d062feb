#pragma once

#include <cstdint>
#include <optional>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"

namespace ombrel {

// The process that owns the window the user works in: the window manager's _NET_ACTIVE_WINDOW
// on the root, else (no window manager, or none active) the input focus; from there up to the
// first window carrying _NET_WM_PID. Nothing when no window claims a process.
std::optional<std::int64_t> activeWindowProcess(x11::Connection& connection);

}  // namespace ombrel
