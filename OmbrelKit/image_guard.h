#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace ombrel {

// Vets a PNG from a peer (clipboard images) before anything decodes its pixels: the image must
// be a single PNG picture (an animated PNG is refused) whose declared width and height are both
// at least 1 and whose pixel count is at most `maxPixels`. Only the header and the chunk list
// up to the first image data are read; nothing is inflated.
namespace ImageGuard {

inline constexpr std::int64_t maxPixels = 67'108'864;  // 8192 x 8192

bool isSafe(ByteView data, std::int64_t maxPixels = ImageGuard::maxPixels);

}  // namespace ImageGuard

}  // namespace ombrel
