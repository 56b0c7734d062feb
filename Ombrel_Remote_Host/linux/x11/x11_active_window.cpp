#include "Ombrel_Remote_Host/linux/x11/x11_active_window.h"

#include <X11/Xatom.h>

namespace ombrel {
namespace {

// Windows climbed at most from the focus to its client window.
constexpr int kClimbLimit = 64;

::Window focusedWindow(x11::Connection& connection) {
  auto active =
      connection.longProperty(connection.root(), connection.atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
  if (!active.empty() && active[0] != None) return static_cast<::Window>(active[0]);
  ::Window focus = None;
  int revert = 0;
  XGetInputFocus(connection.display(), &focus, &revert);
  // PointerRoot and None name no window.
  return focus == PointerRoot ? None : focus;
}

}  // namespace

std::optional<std::int64_t> activeWindowProcess(x11::Connection& connection) {
  auto lock = connection.lock();
  if (!connection.alive()) return std::nullopt;
  ::Display* display = connection.display();
  const ::Atom pidAtom = connection.atom("_NET_WM_PID");
  ::Window window = focusedWindow(connection);
  // A toolkit may focus a child of its client window; the process is named on the client.
  for (int i = 0; i < kClimbLimit && window != None && window != connection.root(); ++i) {
    auto pid = connection.longProperty(window, pidAtom, XA_CARDINAL);
    if (!pid.empty()) return static_cast<std::int64_t>(pid[0]);
    x11::ErrorTrap trap(display);
    ::Window root = None;
    ::Window parent = None;
    ::Window* children = nullptr;
    unsigned int count = 0;
    const bool ok = XQueryTree(display, window, &root, &parent, &children, &count) != 0;
    if (children) XFree(children);
    if (!trap.sync() || !ok) return std::nullopt;
    window = parent;
  }
  return std::nullopt;
}

}  // namespace ombrel
