#include "Ombrel_Remote_Host/linux/x11/x11_cursor.h"

#include <X11/extensions/Xfixes.h>

#include <algorithm>

namespace ombrel::x11 {

std::optional<CursorPixels> readCursor(Connection& connection) {
  auto lock = connection.lock();
  if (!connection.alive()) return std::nullopt;
  XFixesCursorImage* image = XFixesGetCursorImage(connection.display());
  if (image == nullptr) return std::nullopt;
  CursorPixels shape{.width = image->width,
                     .height = image->height,
                     .hotX = image->xhot,
                     .hotY = image->yhot,
                     .serial = image->cursor_serial};
  // XFixes hands out premultiplied ARGB, one pixel per long; PNG wants straight RGBA.
  std::size_t count = std::size_t{image->width} * image->height;
  shape.rgba.resize(count * 4);
  for (std::size_t i = 0; i < count; ++i) {
    auto pixel = static_cast<std::uint32_t>(image->pixels[i]);
    std::uint32_t a = pixel >> 24;
    std::uint32_t channels[3] = {(pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF};
    for (int c = 0; c < 3; ++c) {
      std::uint32_t value =
          a == 0 ? 0 : std::min<std::uint32_t>(255, (channels[c] * 255 + a / 2) / a);
      shape.rgba[i * 4 + c] = static_cast<std::uint8_t>(value);
    }
    shape.rgba[i * 4 + 3] = static_cast<std::uint8_t>(a);
  }
  XFree(image);
  return shape;
}

std::optional<DisplayPoint> readPointer(Connection& connection) {
  auto lock = connection.lock();
  if (!connection.alive()) return std::nullopt;
  ::Window root = None, child = None;
  int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
  unsigned mask = 0;
  if (!XQueryPointer(connection.display(), connection.root(), &root, &child, &rootX, &rootY,
                     &windowX, &windowY, &mask)) {
    return std::nullopt;  // on another screen of the display
  }
  return DisplayPoint{rootX, rootY};
}

}  // namespace ombrel::x11
