#pragma once

#include <cstdint>

#include "Ombrel_Remote_Host/screen/screen_capturer.h"
#include "base/bytes.h"

namespace ombrel {

// A PNG of an 8-bit straight-alpha RGBA picture with rows `stride` bytes apart; empty when the
// encoder fails.
Bytes encodeRGBAPNG(const std::uint8_t* rgba, std::uint32_t width, std::uint32_t height,
                    std::size_t stride);

// An opaque PNG of a captured B, G, R, X picture; empty when the encoder fails.
Bytes encodeFramePNG(const CapturedFrame& frame);

}  // namespace ombrel
