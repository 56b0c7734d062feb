#include "Ombrel_Remote_Host/input/input_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#if OMBREL_HAVE_LINUX_X11
#include "Ombrel_Remote_Host/linux/x11/x11_input_probe.h"
#endif

namespace ombrel {

bool inputInjectionAvailable() {
  if (desktopSession().kind == DesktopSessionKind::wayland) return false;
#if OMBREL_HAVE_LINUX_X11
  return x11CanInjectInput();
#else
  return false;
#endif
}

}  // namespace ombrel
