#pragma once

#include <string>
#include <string_view>

namespace ombrel {

// Which kind of desktop this process runs in, asked once by every backend chooser so that all
// capabilities agree. Read from the environment on each call (tests change it):
//   wayland  XDG_SESSION_TYPE=wayland or WAYLAND_DISPLAY set. No backend serves it yet; X11
//            through XWayland would see an empty root and inject into nothing the owner sees.
//   x11      otherwise; `display` is $DISPLAY (possibly empty: the X backends then report the
//            display they could not open).
enum class DesktopSessionKind { x11, wayland };

struct DesktopSession {
  DesktopSessionKind kind = DesktopSessionKind::x11;
  std::string display;
};

DesktopSession desktopSession();

// What a Wayland session lacks, as the owner reads it.
inline constexpr std::string_view waylandCaptureText =
    "這是 Wayland 工作階段，目前只能擷取 X11 桌面的畫面";

}  // namespace ombrel
