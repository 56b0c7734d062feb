#pragma once

#include <cstdint>
#include <vector>

#include "Ombrel_Remote_Host/video/pixel_buffer.h"

namespace ombrel {

// Turns captured B,G,R,X pictures into the 4:2:0 layouts encoders take, with libyuv (BT.601
// matrix, video range, which the encoders signal in the stream). libyuv's "ARGB" is B,G,R,A in
// memory on little-endian machines, which is exactly the X11 layout; its SIMD paths are several
// times faster than swscale for this conversion (see bench/encoder_bench.cpp).
//
// Used by one thread at a time (it keeps a scratch buffer for scaling).
class BgrxConverter {
 public:
  enum class Layout { i420, nv12 };

  // Destination planes: i420 uses three (Y, U, V), nv12 two (Y, interleaved UV).
  struct Planes {
    std::uint8_t* data[3] = {};
    int stride[3] = {};
    int width = 0;
    int height = 0;
  };

  // Scales first (bilinear) when the picture's size differs from the destination's.
  // False when the source is not a usable picture (no data, a stride shorter than a row).
  // With `only` (and no scaling), converts just those parts, widened to whole 2×2 chroma
  // blocks: the rest of `destination` must already hold this conversion of an earlier picture
  // that differs from `source` only there. Each chroma sample depends on its own 2×2 block
  // alone, so the result is exactly that of a whole conversion.
  bool convert(const PixelBuffer& source, Layout layout, const Planes& destination,
               const std::vector<PixelRect>* only = nullptr);

 private:
  std::vector<std::uint8_t> scaled_;
};

}  // namespace ombrel
