#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ombrel {

// One captured picture as the screen capture hands it to the encoder: rows of B,G,R,X bytes
// (the X11 32-bit layout; the fourth byte is padding), `stride` bytes apart. Immutable once
// shared: the encoder reads it on its own thread after `encode` returned, and the capture keeps
// the newest one for re-encoding, so both hold it by `PixelBufferRef`.
struct PixelBuffer {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::size_t stride = 0;
  const std::uint8_t* data = nullptr;
  // Owns `data` (a vector, a shared-memory segment...).
  std::shared_ptr<const void> storage;

  // A buffer of its own, zero-filled, with rows packed (stride = 4 × width).
  static std::shared_ptr<PixelBuffer> allocate(std::int64_t width, std::int64_t height);
  // Writable view of an `allocate`d buffer, for whoever fills it before sharing.
  std::uint8_t* mutableData() const { return const_cast<std::uint8_t*>(data); }
};

using PixelBufferRef = std::shared_ptr<const PixelBuffer>;

}  // namespace ombrel
