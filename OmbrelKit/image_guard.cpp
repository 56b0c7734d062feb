#include "OmbrelKit/image_guard.h"

#include <spng.h>

#include <cstring>
#include <memory>

#include "OmbrelKit/byte_codec.h"

namespace ombrel::ImageGuard {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Walks the chunks after the signature up to the first IDAT. An animation control chunk
// (acTL) must come before IDAT, so reaching IDAT without one means a single still image.
// Returns false for an animated image or a chunk list that runs off the end of the data.
bool isSingleStill(ByteView data) {
  std::size_t offset = sizeof(kSignature);
  // Every chunk takes at least 12 bytes, so the loop ends within data.size() / 12 steps.
  while (data.size() - offset >= 12) {
    std::uint32_t length = readU32BE(data.data() + offset);
    const std::uint8_t* type = data.data() + offset + 4;
    if (std::memcmp(type, "acTL", 4) == 0) return false;
    if (std::memcmp(type, "IDAT", 4) == 0) return true;
    if (std::memcmp(type, "IEND", 4) == 0) return false;
    if (length > data.size() - offset - 12) return false;
    offset += 12 + std::size_t{length};
  }
  return false;
}

}  // namespace

bool isSafe(ByteView data, std::int64_t maxPixels) {
  if (maxPixels < 1) return false;
  if (data.size() < sizeof(kSignature) ||
      std::memcmp(data.data(), kSignature, sizeof(kSignature)) != 0) {
    return false;
  }
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(0), spng_ctx_free);
  if (!ctx) return false;
  // spng_get_ihdr reads no further than the header and rejects invalid header fields (sizes
  // of 2^31 and more, unknown bit depths and colour types). Checksums are left to whoever
  // decodes the image later.
  if (spng_set_png_buffer(ctx.get(), data.data(), data.size()) != 0) return false;
  spng_ihdr ihdr{};
  if (spng_get_ihdr(ctx.get(), &ihdr) != 0) return false;
  if (ihdr.width < 1 || ihdr.height < 1) return false;
  // Both are below 2^31, so the product fits 64 bits.
  std::uint64_t pixels = std::uint64_t{ihdr.width} * ihdr.height;
  if (pixels > static_cast<std::uint64_t>(maxPixels)) return false;
  return isSingleStill(data);
}

}  // namespace ombrel::ImageGuard
