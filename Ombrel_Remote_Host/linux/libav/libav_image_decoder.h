#pragma once

// Pictures in the image formats other applications put on the clipboard (BMP, TIFF, WebP, GIF,
// JPEG), decoded by libavcodec and converted to RGBA by libswscale, for the X11 pasteboard to
// encode as PNG. Only the first picture of an animation is taken.
//
// Threading: any thread; nothing is shared between calls.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace ombrel {

struct LibavPicture {
  Bytes rgba;  // 8-bit straight RGBA, rows width * 4 bytes long
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The MIME types decodeImage() reads, the preferred first.
const std::vector<std::string>& libavImageTypes();

// Nothing when the type is not one of libavImageTypes(), the data does not decode, or the
// picture has more than `maxPixels` pixels (refused by the decoder before it allocates them).
std::optional<LibavPicture> decodeImage(ByteView data, std::string_view mimeType,
                                        std::int64_t maxPixels);

}  // namespace ombrel
