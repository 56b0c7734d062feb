#include "Ombrel_Remote_Host/input/input_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_probe.h"

namespace ombrel {

bool inputInjectionAvailable() {
  if (desktopSession().kind == DesktopSessionKind::wayland) return false;
  return x11CanInjectInput();
}

}  // namespace ombrel
