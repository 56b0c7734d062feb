#include "OmbrelKit/image_guard.h"

#include <gtest/gtest.h>
#include <spng.h>

#include <memory>
#include <string>
#include <vector>

#include "OmbrelKit/byte_codec.h"

namespace ombrel {
namespace {

std::uint32_t crc32(ByteView data) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (auto byte : data) {
    crc ^= byte;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

Bytes chunk(std::string_view type, const Bytes& data) {
  ByteWriter w;
  w.u32(static_cast<std::uint32_t>(data.size()));
  auto typeAndData = concat(view(type), data);
  w.bytes(typeAndData);
  w.u32(crc32(typeAndData));
  return std::move(w).data();
}

Bytes ihdr(std::uint32_t width, std::uint32_t height) {
  ByteWriter w;
  w.u32(width);
  w.u32(height);
  for (std::uint8_t b : {8, 6, 0, 0, 0}) w.u8(b);  // 8-bit RGBA, no interlace
  return chunk("IHDR", std::move(w).data());
}

const Bytes kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// A PNG whose header declares any size; the image data is a token stream the guard never
// inflates, so declaring 8192 x 8192 costs nothing.
Bytes png(std::uint32_t width, std::uint32_t height, const Bytes& beforeData = {}) {
  return concat(kSignature, ihdr(width, height), beforeData, chunk("IDAT", {0x78, 0x9C, 0x03, 0}),
                chunk("IEND", {}));
}

Bytes acTL(std::uint32_t frames) {
  ByteWriter w;
  w.u32(frames);
  w.u32(0);
  return chunk("acTL", std::move(w).data());
}

Bytes encodedBySpng(std::uint32_t width, std::uint32_t height) {
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> ctx(spng_ctx_new(SPNG_CTX_ENCODER),
                                                          spng_ctx_free);
  spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr header{.width = width,
                   .height = height,
                   .bit_depth = 8,
                   .color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA};
  spng_set_ihdr(ctx.get(), &header);
  Bytes pixels(std::size_t{width} * height * 4, 0x7F);
  if (spng_encode_image(ctx.get(), pixels.data(), pixels.size(), SPNG_FMT_PNG,
                        SPNG_ENCODE_FINALIZE) != 0) {
    return {};
  }
  std::size_t size = 0;
  int error = 0;
  std::unique_ptr<void, decltype(&free)> buffer(spng_get_png_buffer(ctx.get(), &size, &error),
                                                free);
  if (!buffer) return {};
  auto* bytes = static_cast<const std::uint8_t*>(buffer.get());
  return Bytes(bytes, bytes + size);
}

TEST(ImageGuardTest, EncodedImagePasses) {
  auto image = encodedBySpng(3, 2);
  ASSERT_FALSE(image.empty());
  EXPECT_TRUE(ImageGuard::isSafe(image));
  EXPECT_FALSE(ImageGuard::isSafe(image, 5));
  EXPECT_TRUE(ImageGuard::isSafe(image, 6));
}

TEST(ImageGuardTest, Cases) {
  ByteWriter runaway;  // a chunk claiming more bytes than there are, before any image data
  runaway.u32(0xFFFFFFF0);
  runaway.bytes(view("tEXt"));
  runaway.u32(0);
  struct Case {
    const char* name;
    Bytes data;
    bool safe;
  } cases[] = {
      {"8192x8192", png(8192, 8192), true},
      {"8193x8192", png(8193, 8192), false},
      {"8192x8193", png(8192, 8193), false},
      {"1x1", png(1, 1), true},
      {"67108864x1", png(67'108'864, 1), true},
      {"zero width", png(0, 16), false},
      {"zero height", png(16, 0), false},
      {"width over 2^31", png(0x80000000u, 1), false},
      {"huge both", png(0x7FFFFFFF, 0x7FFFFFFF), false},
      {"animated", png(16, 16, acTL(2)), false},
      {"animated one frame", png(16, 16, acTL(1)), false},
      {"ancillary chunk", png(16, 16, chunk("tEXt", toBytes("Comment\0x"))), true},
      {"no image data", concat(kSignature, ihdr(16, 16), chunk("IEND", {})), false},
      {"header only", concat(kSignature, ihdr(16, 16)), false},
      {"runaway chunk", concat(kSignature, ihdr(16, 16), std::move(runaway).data()), false},
      {"bad bit depth",
       concat(kSignature, chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 7, 6, 0, 0, 0}),
              chunk("IDAT", {0}), chunk("IEND", {})),
       false},
      {"signature only", kSignature, false},
      {"empty", {}, false},
      {"JPEG", {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(ImageGuard::isSafe(c.data), c.safe) << c.name;
  EXPECT_FALSE(ImageGuard::isSafe(png(1, 1), 0));
}

}  // namespace
}  // namespace ombrel
