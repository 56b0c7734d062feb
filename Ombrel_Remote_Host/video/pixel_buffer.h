#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ombrel {

// A rectangle of a picture, in its pixels (origin top left).
struct PixelRect {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool operator==(const PixelRect&) const = default;
};

// Where a capturer's successive pictures differ, kept for the last few pictures, so that whoever
// holds an earlier picture (or what was made of it, like the encoder's converted input) can bring
// it up to date by redoing only those parts. Pictures are numbered 1, 2, ... per capturer.
//
// Threading: recorded on the capture thread, read on any (the encoder's): locked.
class PictureChanges {
 public:
  // Picture `generation` (one after the last one recorded) differs from the one before it in
  // `rects`; nullopt when it may differ anywhere.
  void record(std::uint64_t generation, std::optional<std::vector<PixelRect>> rects);
  // The parts where pictures `from` and `to` may differ; nullopt when that is not known (`from`
  // is 0, too far back or after `to`, or a change anywhere came in between). Many small parts
  // come back as their bounding box.
  std::optional<std::vector<PixelRect>> between(std::uint64_t from, std::uint64_t to) const;

 private:
  struct Entry {
    std::uint64_t generation = 0;
    std::optional<std::vector<PixelRect>> rects;
  };
  mutable std::mutex mutex_;
  std::deque<Entry> entries_;  // oldest first, consecutive generations
};

// One captured picture as the screen capture hands it to the encoder: rows of B,G,R,X bytes
// (the X11 32-bit layout; the fourth byte is padding), `stride` bytes apart. Immutable once
// shared: the encoder reads it on its own thread after `encode` returned, and the capture keeps
// the newest one for re-encoding, so both hold it by `PixelBufferRef`.
struct PixelBuffer {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::size_t stride = 0;
  const std::uint8_t* data = nullptr;
  // Owns `data` (a vector, a shared-memory segment...). A capturer that reuses its images takes
  // one back only once every copy of this is gone.
  std::shared_ptr<const void> storage;
  // This picture's number in `changes`; 0 for a picture that stands alone.
  std::uint64_t generation = 0;
  std::shared_ptr<const PictureChanges> changes;

  // A buffer of its own, zero-filled, with rows packed (stride = 4 × width).
  static std::shared_ptr<PixelBuffer> allocate(std::int64_t width, std::int64_t height);
  // Writable view of an `allocate`d buffer, for whoever fills it before sharing.
  std::uint8_t* mutableData() const { return const_cast<std::uint8_t*>(data); }
};

using PixelBufferRef = std::shared_ptr<const PixelBuffer>;

}  // namespace ombrel
