#include "Ombrel_Remote_Host/controller/desktop_permissions.h"

#include "Ombrel_Remote_Host/input/input_backends.h"
#include "Ombrel_Remote_Host/screen/screen_backends.h"

namespace ombrel {

DesktopPermissions probeDesktopPermissions() {
  DesktopPermissions result;
  result.screen = !screenCaptureProblem();
  result.accessibility = inputInjectionAvailable();
  return result;
}

}  // namespace ombrel
