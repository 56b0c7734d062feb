#include "Ombrel_Remote_Host/clipboard/clipboard_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#if OMBREL_HAVE_LINUX_X11
#include "Ombrel_Remote_Host/linux/x11/x11_pasteboard.h"
#endif

namespace ombrel {

std::shared_ptr<Pasteboard> openPasteboard(const std::string& displayName) {
  // Like capture and input: a Wayland session is not served yet.
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
#if OMBREL_HAVE_LINUX_X11
  return X11Pasteboard::open(displayName);
#else
  (void)displayName;
  return nullptr;
#endif
}

}  // namespace ombrel
