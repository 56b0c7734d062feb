#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "OmbrelKit/nv_error.h"
#include "Ombrel_Remote_Host/screen/color_transfer_tables.h"
#include "Ombrel_Remote_Host/screen/cursor_source.h"
#include "Ombrel_Remote_Host/screen/display_configuration.h"
#include "Ombrel_Remote_Host/screen/screen_capturer.h"
#include "base/bytes.h"

namespace ombrel {

// The screen's platform choosers. Declared here, beside the seams they return, and defined in
// backends/, which asks desktopSession() once for every capability: the layers above reach the
// desktop only through these, never through a backend's own header.

// Picks the capture backend at run time. Order: X11 (XShm + XDamage) on $DISPLAY; nothing else
// yet (a PipeWire portal backend for Wayland sessions would come first once it exists).
// nullptr when no backend can capture that display, and always in a Wayland session.
std::unique_ptr<ScreenCapturer> openScreenCapturer(std::uint32_t displayID);

// Why no backend can capture the desktop at all, asked before a stream starts so that the user
// learns what is missing rather than "no display":
//   - a Wayland session (XDG_SESSION_TYPE=wayland or WAYLAND_DISPLAY set): there is no Wayland
//     backend yet, and XWayland's root window shows none of the desktop;
//   - the X display refuses this process (no server, or one whose authorization we lack): a
//     system error with std::errc::permission_denied, the stand-in for a declined permission;
//   - the X server lacks an extension capture needs, or its pixel layout: named in the text.
// nullopt when capture can start. `displayName` empty means $DISPLAY.
std::optional<NVError> screenCaptureProblem(const std::string& displayName = {});

// A one-shot PNG of a display (the host's own windows painted black, no cursor); nullopt when
// it cannot be captured.
std::optional<Bytes> screenshotPNG(std::uint32_t displayID);

// The display configuration of the desktop session (X11: RandR over $DISPLAY); nullptr when it
// cannot be opened, and in a Wayland session.
std::shared_ptr<DisplayConfiguration> openDisplayConfiguration();

// The gamma ramps of every output, for the privacy screen; nullptr when there are none to set.
std::unique_ptr<ColorTransferTables> openColorTransferTables();

// The pointer and its picture (X11: XQueryPointer and XFixes on $DISPLAY, on a connection of
// its own that is reopened after the X server restarted); nullptr when the display cannot be
// opened or lacks XFIXES, and always in a Wayland session.
std::shared_ptr<CursorSource> openCursorSource();

}  // namespace ombrel
