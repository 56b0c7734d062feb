#include "Ombrel_Remote_Host/screen/screen_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#if OMBREL_HAVE_LINUX_X11
#include "Ombrel_Remote_Host/linux/x11/x11_cursor_source.h"
#endif

namespace ombrel {

std::shared_ptr<CursorSource> openCursorSource() {
  // XWayland's pointer is only where X clients last saw it, not where the owner's is.
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
#if OMBREL_HAVE_LINUX_X11
  return X11CursorSource::open();
#else
  return nullptr;
#endif
}

}  // namespace ombrel
