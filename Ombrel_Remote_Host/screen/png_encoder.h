#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace ombrel {

// A PNG of an 8-bit straight-alpha RGBA picture with rows `stride` bytes apart; empty when the
// encoder fails.
Bytes encodeRGBAPNG(const std::uint8_t* rgba, std::uint32_t width, std::uint32_t height,
                    std::size_t stride);

}  // namespace ombrel
