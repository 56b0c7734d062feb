#pragma once

// What stands in for the two system permissions on an X11 desktop.
//   screen recording: screen capture can start (screenCaptureProblem): not a Wayland session,
//                     the X display opens, and it has the extensions capture needs (shared
//                     memory is not one of them: capture works without it, only slower);
//   accessibility:    not a Wayland session, and the display has the XTest extension, through
//                     which input is injected.
//
// Threading: any thread; each probe opens and closes its own display connection.

namespace ombrel {

struct DesktopPermissions {
  bool screen = false;
  bool accessibility = false;

  bool operator==(const DesktopPermissions&) const = default;
};

// Probes the display named by $DISPLAY.
DesktopPermissions probeDesktopPermissions();

}  // namespace ombrel
