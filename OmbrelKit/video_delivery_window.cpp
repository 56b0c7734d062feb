#include "OmbrelKit/video_delivery_window.h"

#include <algorithm>

namespace ombrel {

bool VideoDeliveryWindow::mayEncode() const {
  std::lock_guard lock(lock_);
  return pending_.size() < 2;
}

void VideoDeliveryWindow::sent(std::uint64_t pts) {
  std::lock_guard lock(lock_);
  pending_.push_back(pts);
}

void VideoDeliveryWindow::acknowledge(std::uint64_t pts) {
  std::lock_guard lock(lock_);
  auto found = std::find(pending_.begin(), pending_.end(), pts);
  if (found != pending_.end()) pending_.erase(pending_.begin(), found + 1);
}

std::size_t VideoDeliveryWindow::pendingCount() const {
  std::lock_guard lock(lock_);
  return pending_.size();
}

}  // namespace ombrel
