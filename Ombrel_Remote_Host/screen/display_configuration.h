#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "OmbrelKit/display_info.h"

namespace ombrel {

// A display's place on the desktop, in pixels of the global (root window) coordinate space.
struct DisplayRect {
  std::uint32_t id = 0;
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;

  bool contains(double px, double py) const {
    return px >= x && py >= y && px < x + width && py < y + height;
  }
  bool operator==(const DisplayRect&) const = default;
};

struct DisplayPoint {
  std::int64_t x = 0;
  std::int64_t y = 0;
  bool operator==(const DisplayPoint&) const = default;
};

// A top-level window of another application: its outer frame (decorations included) in
// global coordinates.
struct WindowFrame {
  std::uint64_t window = 0;
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool operator==(const WindowFrame&) const = default;
};

// The platform seam under Displays and VirtualDisplay: the display list, the display layout,
// the virtual displays this process adds, and the other applications' windows.
//
// Threading: an implementation serialises its own platform calls, so any thread may call it.
class DisplayConfiguration {
 public:
  virtual ~DisplayConfiguration() = default;

  // False once the platform connection is gone for good (the X server ended); the owner makes
  // a new configuration.
  virtual bool isConnected() const { return true; }

  // The active displays in the platform's order.
  virtual std::vector<DisplayInfo> displays() = 0;
  // Where each active display is, in the same order.
  virtual std::vector<DisplayRect> layout() = 0;

  // Adds a display of width x height pixels; nullopt when the platform refuses. While one of
  // these sits at the desktop's origin it is the main display; once none does, and once they
  // are removed, the main display and the desktop's size are what they were before.
  virtual std::optional<std::uint32_t> createVirtual(std::int64_t width, std::int64_t height,
                                                     const std::string& name) = 0;
  // Makes sure the virtual display shows width x height; false when it cannot (yet).
  virtual bool selectMode(std::uint32_t id, std::int64_t width, std::int64_t height) = 0;
  virtual void removeVirtual(std::uint32_t id) = 0;

  // Moves the listed displays to the given origins as one change; the others stay. False (and
  // nothing changed) when the platform refuses any part.
  virtual bool applyOrigins(const std::map<std::uint32_t, DisplayPoint>& origins) = 0;

  // Visible, not minimised top-level windows of other applications.
  virtual std::vector<WindowFrame> openWindows() = 0;
  // Move or resize a window by its outer frame; a window that has gone away is skipped.
  virtual void setWindowPosition(std::uint64_t window, std::int64_t x, std::int64_t y) = 0;
  virtual void setWindowSize(std::uint64_t window, std::int64_t width, std::int64_t height) = 0;
};

}  // namespace ombrel
