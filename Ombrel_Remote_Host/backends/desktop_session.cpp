#include "Ombrel_Remote_Host/backends/desktop_session.h"

#include <cstdlib>

namespace ombrel {

namespace {

std::string_view environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string_view(value) : std::string_view();
}

}  // namespace

DesktopSession desktopSession() {
  DesktopSession session;
  if (!environment("WAYLAND_DISPLAY").empty() || environment("XDG_SESSION_TYPE") == "wayland") {
    session.kind = DesktopSessionKind::wayland;
  }
  session.display = std::string(environment("DISPLAY"));
  return session;
}

}  // namespace ombrel
