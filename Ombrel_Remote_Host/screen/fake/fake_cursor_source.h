#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "Ombrel_Remote_Host/screen/cursor_source.h"

namespace ombrel {

// A pointer the test moves and a cursor picture it swaps; counts the PNGs it was asked for.
class FakeCursorSource : public CursorSource {
 public:
  std::optional<Point> location() override {
    std::lock_guard lock(mutex_);
    return location_;
  }
  std::optional<std::uint64_t> imageHash() override {
    std::lock_guard lock(mutex_);
    if (!image_) return std::nullopt;
    return hash_;
  }
  std::optional<CursorImage> image() override {
    std::lock_guard lock(mutex_);
    ++rendered_;
    return image_;
  }

  void move(double x, double y) {
    std::lock_guard lock(mutex_);
    location_ = Point{x, y};
  }
  void setImage(CursorImage image, std::uint64_t hash) {
    std::lock_guard lock(mutex_);
    image_ = std::move(image);
    hash_ = hash;
  }
  int rendered() const {
    std::lock_guard lock(mutex_);
    return rendered_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<Point> location_;
  std::optional<CursorImage> image_;
  std::uint64_t hash_ = 0;
  int rendered_ = 0;
};

}  // namespace ombrel
