#pragma once

#include <cstdint>
#include <optional>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/screen/display_configuration.h"
#include "base/bytes.h"

namespace ombrel::x11 {

// The pointer's current image as XFixes shows it, in straight (not premultiplied) RGBA, rows
// `width` pixels long. Points equal pixels on X11. `serial` is the server's cursor serial, which
// changes with every new cursor (even one that looks the same).
struct CursorPixels {
  Bytes rgba;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t hotX = 0;
  std::int64_t hotY = 0;
  std::uint64_t serial = 0;
};

// Both take the connection's lock and answer nothing on a dead connection. The connection must
// have XFIXES (checked by the caller once).
std::optional<CursorPixels> readCursor(Connection& connection);
// The pointer in global (root window) coordinates; nothing when it is on another screen.
std::optional<DisplayPoint> readPointer(Connection& connection);

}  // namespace ombrel::x11
