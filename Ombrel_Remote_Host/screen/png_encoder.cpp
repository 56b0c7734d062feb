#include "Ombrel_Remote_Host/screen/png_encoder.h"

#include <spng.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace ombrel {

Bytes encodeRGBAPNG(const std::uint8_t* rgba, std::uint32_t width, std::uint32_t height,
                    std::size_t stride) {
  if (width == 0 || height == 0) return {};
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(SPNG_CTX_ENCODER),
                                                          &spng_ctx_free);
  if (!ctx) return {};
  spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = width;
  ihdr.height = height;
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  if (spng_set_ihdr(ctx.get(), &ihdr) != 0) return {};

  // spng wants tightly packed rows.
  std::size_t row = std::size_t{width} * 4;
  Bytes packed(row * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::memcpy(packed.data() + y * row, rgba + y * stride, row);
  }
  if (spng_encode_image(ctx.get(), packed.data(), packed.size(), SPNG_FMT_PNG,
                        SPNG_ENCODE_FINALIZE) != 0) {
    return {};
  }
  std::size_t size = 0;
  int error = 0;
  void* buffer = spng_get_png_buffer(ctx.get(), &size, &error);
  if (buffer == nullptr || error != 0) return {};
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  Bytes out(bytes, bytes + size);
  std::free(buffer);
  return out;
}

Bytes encodeFramePNG(const CapturedFrame& frame) {
  if (frame.data == nullptr || frame.width <= 0 || frame.height <= 0) return {};
  auto width = static_cast<std::size_t>(frame.width);
  Bytes rgba(width * 4 * static_cast<std::size_t>(frame.height));
  for (std::int64_t y = 0; y < frame.height; ++y) {
    const std::uint8_t* in = frame.data + y * frame.stride;
    std::uint8_t* out = rgba.data() + static_cast<std::size_t>(y) * width * 4;
    for (std::size_t x = 0; x < width; ++x) {
      out[x * 4] = in[x * 4 + 2];
      out[x * 4 + 1] = in[x * 4 + 1];
      out[x * 4 + 2] = in[x * 4];
      out[x * 4 + 3] = 0xFF;  // the fourth byte of a grab is padding, not alpha
    }
  }
  return encodeRGBAPNG(rgba.data(), static_cast<std::uint32_t>(frame.width),
                       static_cast<std::uint32_t>(frame.height), width * 4);
}

std::optional<RGBAPicture> decodeRGBAPNG(ByteView png, std::int64_t maxPixels) {
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(0), &spng_ctx_free);
  if (!ctx || spng_set_png_buffer(ctx.get(), png.data(), png.size()) != 0) return std::nullopt;
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0 ||
      std::int64_t{ihdr.width} * std::int64_t{ihdr.height} > maxPixels) {
    return std::nullopt;
  }
  std::size_t length = 0;
  if (spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &length) != 0) return std::nullopt;
  RGBAPicture out{ihdr.width, ihdr.height, Bytes(length)};
  if (spng_decode_image(ctx.get(), out.rgba.data(), length, SPNG_FMT_RGBA8, 0) != 0) {
    return std::nullopt;
  }
  return out;
}

}  // namespace ombrel
