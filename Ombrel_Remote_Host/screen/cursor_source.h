#pragma once

// The pointer, apart from the captured picture (a capturer never paints it): where it is and
// what it looks like. The streaming control's cursor timer reports both to the client. X11 reads
// them with XQueryPointer and XFixes (linux/x11/x11_cursor_source.h); tests use
// FakeCursorSource. openCursorSource() (screen_backends.h) picks the backend.
//
// Threading: any thread; the cursor timer calls it on the main queue.

#include <cstdint>
#include <optional>

#include "OmbrelKit/stream_messages.h"

namespace ombrel {

class CursorSource {
 public:
  // Global desktop coordinates in points, the space of the displays' bounds. Points may be
  // fractional on a scaled desktop.
  struct Point {
    double x = 0;
    double y = 0;
  };

  virtual ~CursorSource() = default;
  // The pointer's global location, or nothing when it cannot be read.
  virtual std::optional<Point> location() = 0;
  // A fingerprint of the current cursor image; equal fingerprints mean the same picture, so the
  // (costlier) PNG is only made when it changes. Nothing when no cursor can be read.
  virtual std::optional<std::uint64_t> imageHash() = 0;
  // The current cursor as PNG (straight RGBA) with its size and hot spot in points.
  virtual std::optional<CursorImage> image() = 0;
};

}  // namespace ombrel
