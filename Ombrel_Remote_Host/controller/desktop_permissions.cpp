#include "Ombrel_Remote_Host/controller/desktop_permissions.h"

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>

namespace ombrel {

DesktopPermissions probeDesktopPermissions() {
  DesktopPermissions result;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return result;
  int major = 0;
  int minor = 0;
  Bool pixmaps = False;
  result.screen =
      XShmQueryExtension(display) && XShmQueryVersion(display, &major, &minor, &pixmaps);
  int eventBase = 0;
  int errorBase = 0;
  result.accessibility = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor);
  XCloseDisplay(display);
  return result;
}

}  // namespace ombrel
