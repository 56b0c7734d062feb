#include "Ombrel_Remote_Host/video/bgrx_converter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstddef>
#include <limits>

namespace ombrel {

bool BgrxConverter::convert(const PixelBuffer& source, Layout layout, const Planes& destination,
                            const std::vector<PixelRect>* only) {
  constexpr auto maxInt = std::numeric_limits<int>::max();
  if (!source.data || source.width <= 0 || source.height <= 0 || source.width > maxInt / 4 ||
      source.height > maxInt || source.stride < static_cast<std::size_t>(source.width) * 4 ||
      source.stride > static_cast<std::size_t>(maxInt) || destination.width <= 0 ||
      destination.height <= 0) {
    return false;
  }
  const std::uint8_t* pixels = source.data;
  int stride = static_cast<int>(source.stride);
  const int width = destination.width;
  const int height = destination.height;
  if (source.width != width || source.height != height) {
    scaled_.resize(static_cast<std::size_t>(width) * 4 * static_cast<std::size_t>(height));
    if (libyuv::ARGBScale(pixels, stride, static_cast<int>(source.width),
                          static_cast<int>(source.height), scaled_.data(), width * 4, width, height,
                          libyuv::kFilterBilinear) != 0) {
      return false;
    }
    pixels = scaled_.data();
    stride = width * 4;
  }
  const auto& d = destination;
  if (only != nullptr && pixels == source.data) {
    for (const PixelRect& part : *only) {
      const int left = static_cast<int>(std::clamp<std::int64_t>(part.x, 0, width)) & ~1;
      const int top = static_cast<int>(std::clamp<std::int64_t>(part.y, 0, height)) & ~1;
      const int right = std::min(
          width,
          (static_cast<int>(std::clamp<std::int64_t>(part.x + part.width, 0, width)) + 1) & ~1);
      const int bottom = std::min(
          height,
          (static_cast<int>(std::clamp<std::int64_t>(part.y + part.height, 0, height)) + 1) & ~1);
      if (right <= left || bottom <= top) continue;
      const std::uint8_t* from = pixels + static_cast<std::ptrdiff_t>(top) * stride + left * 4;
      std::uint8_t* y = d.data[0] + static_cast<std::ptrdiff_t>(top) * d.stride[0] + left;
      std::uint8_t* u = d.data[1] + static_cast<std::ptrdiff_t>(top / 2) * d.stride[1];
      int result = 0;
      if (layout == Layout::i420) {
        std::uint8_t* v = d.data[2] + static_cast<std::ptrdiff_t>(top / 2) * d.stride[2];
        result = libyuv::ARGBToI420(from, stride, y, d.stride[0], u + left / 2, d.stride[1],
                                    v + left / 2, d.stride[2], right - left, bottom - top);
      } else {
        result = libyuv::ARGBToNV12(from, stride, y, d.stride[0], u + left, d.stride[1],
                                    right - left, bottom - top);
      }
      if (result != 0) return false;
    }
    return true;
  }
  if (layout == Layout::i420) {
    return libyuv::ARGBToI420(pixels, stride, d.data[0], d.stride[0], d.data[1], d.stride[1],
                              d.data[2], d.stride[2], width, height) == 0;
  }
  return libyuv::ARGBToNV12(pixels, stride, d.data[0], d.stride[0], d.data[1], d.stride[1], width,
                            height) == 0;
}

}  // namespace ombrel
