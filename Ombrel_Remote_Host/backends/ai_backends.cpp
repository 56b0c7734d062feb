#include "Ombrel_Remote_Host/ai/ai_backends.h"

#include "Ombrel_Remote_Host/backends/desktop_session.h"
#if OMBREL_HAVE_LINUX_ATSPI
#include "Ombrel_Remote_Host/linux/atspi/atspi_ui_tree_source.h"
#endif
#if OMBREL_HAVE_LINUX_X11
#include "Ombrel_Remote_Host/linux/x11/x11_active_window.h"
#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#endif

namespace ombrel {

#if OMBREL_HAVE_LINUX_ATSPI
namespace {

// The focused window's process, through one X connection opened on first use and opened again
// after the server went away. Without X (a Wayland session, no display, a build without X11)
// the tree source falls back to the application with the active window.
AtspiUITreeSource::FrontmostProcess frontmostProcess() {
  const DesktopSession session = desktopSession();
  if (session.kind == DesktopSessionKind::wayland) return nullptr;
#if OMBREL_HAVE_LINUX_X11
  return
      [display = session.display,
       connection = std::shared_ptr<x11::Connection>()]() mutable -> std::optional<std::int64_t> {
        if (!connection || !connection->alive()) connection = x11::Connection::open(display);
        if (!connection) return std::nullopt;
        return activeWindowProcess(*connection);
      };
#else
  return nullptr;
#endif
}

}  // namespace
#endif

std::unique_ptr<UITreeSource> openUITreeSource() {
#if OMBREL_HAVE_LINUX_ATSPI
  return std::make_unique<AtspiUITreeSource>(frontmostProcess());
#else
  return nullptr;
#endif
}

}  // namespace ombrel
