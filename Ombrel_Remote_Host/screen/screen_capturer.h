#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "Ombrel_Remote_Host/screen/display_configuration.h"
#include "Ombrel_Remote_Host/video/pixel_buffer.h"

namespace ombrel {

// ok: a new picture is in frame(). timeout: nothing on the display changed in time (an idle
// frame). reinit: the display moved, changed size or went away; make a new capturer. error:
// the grab itself failed.
enum class CaptureResult { ok, timeout, reinit, error };

// One captured picture: 4 bytes per pixel in the order B, G, R, X (the fourth byte is padding,
// not alpha), rows `stride` bytes apart. Valid until the capturer's next grab.
struct CapturedFrame {
  const std::uint8_t* data = nullptr;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t stride = 0;
};

// Captures one display. The cursor is never part of the picture (it travels separately, read
// through CursorSource), and the host's own windows are painted black in every picture.
//
// Threading: one thread (the capture thread) at a time.
class ScreenCapturer {
 public:
  virtual ~ScreenCapturer() = default;

  // Waits up to `timeout` for a change on the display, then grabs it. The first call after
  // creation always grabs.
  virtual CaptureResult capture(std::chrono::milliseconds timeout) = 0;
  // Grabs the display now, changed or not (a screenshot).
  virtual CaptureResult grab() = 0;
  virtual CapturedFrame frame() const = 0;
  // The same picture as one that may be kept and read on any thread: the capturer does not
  // write into it again while any copy is held. Null before the first grab.
  virtual PixelBufferRef picture() const = 0;
  // The display's place in global coordinates, as of creation.
  virtual DisplayRect bounds() const = 0;

  // The host's own top-level windows.
  virtual void setExcludedWindows(std::vector<std::uint64_t> windows) = 0;
};

}  // namespace ombrel
