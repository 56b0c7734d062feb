#include "Ombrel_Remote_Host/linux/x11/x11_input_probe.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"

namespace ombrel {

bool x11CanInjectInput(const std::string& displayName) {
  auto connection = x11::Connection::open(displayName);
  if (!connection) return false;
  auto lock = connection->lock();
  int major = 0;
  int minor = 0;
  int eventBase = 0;
  int errorBase = 0;
  return XTestQueryExtension(connection->display(), &eventBase, &errorBase, &major, &minor);
}

}  // namespace ombrel
