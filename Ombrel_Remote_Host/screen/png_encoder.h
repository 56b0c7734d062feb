#pragma once

#include <cstdint>
#include <optional>

#include "Ombrel_Remote_Host/screen/screen_capturer.h"
#include "base/bytes.h"

namespace ombrel {

// A PNG of an 8-bit straight-alpha RGBA picture with rows `stride` bytes apart; empty when the
// encoder fails.
Bytes encodeRGBAPNG(const std::uint8_t* rgba, std::uint32_t width, std::uint32_t height,
                    std::size_t stride);

// An opaque PNG of a captured B, G, R, X picture; empty when the encoder fails.
Bytes encodeFramePNG(const CapturedFrame& frame);

// A decoded picture: 8-bit straight-alpha RGBA, rows packed.
struct RGBAPicture {
  std::int64_t width = 0;
  std::int64_t height = 0;
  Bytes rgba;
};

// Decodes any PNG to RGBA; nothing when it is not one or declares more than `maxPixels`.
std::optional<RGBAPicture> decodeRGBAPNG(ByteView png, std::int64_t maxPixels);

}  // namespace ombrel
