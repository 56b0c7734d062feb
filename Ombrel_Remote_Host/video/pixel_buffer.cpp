#include "Ombrel_Remote_Host/video/pixel_buffer.h"

#include <algorithm>

namespace ombrel {

namespace {

// Beyond these, bringing a picture up to date part by part costs more than redoing it whole
// (each part is a request to the X server and a conversion call of its own).
constexpr std::size_t historyDepth = 16;
constexpr std::size_t maxParts = 32;

PixelRect boundingBox(const std::vector<PixelRect>& rects) {
  std::int64_t left = rects.front().x, top = rects.front().y;
  std::int64_t right = left + rects.front().width, bottom = top + rects.front().height;
  for (const PixelRect& r : rects) {
    left = std::min(left, r.x);
    top = std::min(top, r.y);
    right = std::max(right, r.x + r.width);
    bottom = std::max(bottom, r.y + r.height);
  }
  return {left, top, right - left, bottom - top};
}

}  // namespace

void PictureChanges::record(std::uint64_t generation, std::optional<std::vector<PixelRect>> rects) {
  std::lock_guard lock(mutex_);
  if (!entries_.empty() && entries_.back().generation + 1 != generation) entries_.clear();
  entries_.push_back({generation, std::move(rects)});
  if (entries_.size() > historyDepth) entries_.pop_front();
}

std::optional<std::vector<PixelRect>> PictureChanges::between(std::uint64_t from,
                                                              std::uint64_t to) const {
  if (from == 0 || from > to) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (from == to) return std::vector<PixelRect>{};
  if (entries_.empty() || entries_.front().generation > from + 1 ||
      entries_.back().generation < to) {
    return std::nullopt;
  }
  std::vector<PixelRect> parts;
  for (const Entry& entry : entries_) {
    if (entry.generation <= from || entry.generation > to) continue;
    if (!entry.rects) return std::nullopt;
    parts.insert(parts.end(), entry.rects->begin(), entry.rects->end());
  }
  if (parts.size() > maxParts) parts = {boundingBox(parts)};
  return parts;
}

std::shared_ptr<PixelBuffer> PixelBuffer::allocate(std::int64_t width, std::int64_t height) {
  auto buffer = std::make_shared<PixelBuffer>();
  buffer->width = width;
  buffer->height = height;
  buffer->stride = static_cast<std::size_t>(width) * 4;
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(buffer->stride *
                                                           static_cast<std::size_t>(height));
  buffer->data = bytes->data();
  buffer->storage = std::move(bytes);
  return buffer;
}

}  // namespace ombrel
