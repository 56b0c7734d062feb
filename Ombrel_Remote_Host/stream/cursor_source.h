#pragma once

// The pointer as the streaming control reports it to the client: where it is and what it looks
// like. The X11 screen layer reads it with XQueryPointer and XFixes; tests use FakeCursorSource.
//
// Threading: called on the main queue only.

#include <cstdint>
#include <optional>

#include "OmbrelKit/stream_messages.h"

namespace ombrel {

class CursorSource {
 public:
  struct Point {
    double x = 0;
    double y = 0;
  };

  virtual ~CursorSource() = default;
  // The pointer's global location in points, or nothing when it cannot be read.
  virtual std::optional<Point> location() = 0;
  // A fingerprint of the current cursor image; equal fingerprints mean the same picture, so the
  // (costlier) PNG is only made when it changes. Nothing when no cursor can be read.
  virtual std::optional<std::uint64_t> imageHash() = 0;
  // The current cursor as PNG with its size and hot spot in points.
  virtual std::optional<CursorImage> image() = 0;
};

}  // namespace ombrel
