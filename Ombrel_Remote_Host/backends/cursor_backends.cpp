#include "Ombrel_Remote_Host/screen/screen_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#include "Ombrel_Remote_Host/linux/x11/x11_cursor_source.h"

namespace ombrel {

std::shared_ptr<CursorSource> openCursorSource() {
  // XWayland's pointer is only where X clients last saw it, not where the owner's is.
  if (desktopSession().kind == DesktopSessionKind::wayland) return nullptr;
  return X11CursorSource::open();
}

}  // namespace ombrel
