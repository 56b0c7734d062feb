#pragma once

// Where the pointer is on an X display's root window, for tests that drive it through a host.
// Include it last: Xlib's macros (None, Bool, ...) clash with gtest's names.

#include <X11/Xlib.h>

#include <optional>
#include <string>
#include <utility>

namespace ombrel::test {

inline std::optional<std::pair<int, int>> pointerPosition(const std::string& displayName) {
  Display* display = XOpenDisplay(displayName.c_str());
  if (!display) return std::nullopt;
  Window root, child;
  int x = 0, y = 0, winX, winY;
  unsigned mask;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &winX, &winY, &mask);
  XCloseDisplay(display);
  return std::pair{x, y};
}

}  // namespace ombrel::test
