#pragma once

// What the streaming control needs from the screen layer: the displays it may stream, with
// their place on the desktop, and virtual displays made for one stream. The X11 screen layer
// implements it over Displays and VirtualDisplay; tests use FakeStreamDisplays.

#include <cstdint>
#include <memory>
#include <vector>

#include "OmbrelKit/display_info.h"
#include "OmbrelKit/stream_messages.h"

namespace ombrel {

// A display's rectangle on the desktop, in points (the pointer's coordinate space).
struct DisplayBounds {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool contains(double px, double py) const {
    return px >= x && py >= y && px < x + width && py < y + height;
  }
  bool operator==(const DisplayBounds&) const = default;
};

struct StreamDisplay {
  DisplayInfo info;
  DisplayBounds bounds;
  bool builtIn = false;  // the machine's own panel (a laptop's), preferred over external ones
};

// A display made for one stream. Destruction restores the desktop and removes the display.
//
// Threading: create and destroy on the main queue; waitUntilActive blocks the calling thread
// (never the main queue); takeOverDesktop and restore on the main queue.
class StreamVirtualDisplay {
 public:
  virtual ~StreamVirtualDisplay() = default;
  virtual std::uint32_t displayID() const = 0;
  virtual bool waitUntilActive(double timeout) = 0;
  virtual void takeOverDesktop() = 0;
  virtual void restore() = 0;
};

class StreamDisplays {
 public:
  virtual ~StreamDisplays() = default;
  // The active displays in the platform's order (any thread).
  virtual std::vector<StreamDisplay> all() = 0;
  // A new virtual display, or nullptr when the platform refuses one (main queue).
  virtual std::unique_ptr<StreamVirtualDisplay> createVirtualDisplay(
      const VirtualDisplayRequest& request) = 0;
};

}  // namespace ombrel
