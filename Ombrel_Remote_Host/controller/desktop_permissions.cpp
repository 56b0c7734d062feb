#include "Ombrel_Remote_Host/controller/desktop_permissions.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/screen/screen_backends.h"

namespace ombrel {

DesktopPermissions probeDesktopPermissions() {
  DesktopPermissions result;
  result.screen = !screenCaptureProblem();
  auto connection = x11::Connection::open();
  if (!connection) return result;
  int major = 0;
  int minor = 0;
  int eventBase = 0;
  int errorBase = 0;
  result.accessibility =
      XTestQueryExtension(connection->display(), &eventBase, &errorBase, &major, &minor);
  return result;
}

}  // namespace ombrel
