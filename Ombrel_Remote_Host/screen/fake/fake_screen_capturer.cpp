#include "Ombrel_Remote_Host/screen/fake/fake_screen_capturer.h"

#include <algorithm>

namespace ombrel {

FakeScreenCapturer::FakeScreenCapturer(DisplayRect bounds)
    : bounds_(bounds), pixels_(static_cast<std::size_t>(bounds.width * bounds.height), 0) {}

void FakeScreenCapturer::script(Step step) {
  std::lock_guard lock(mutex_);
  steps_.push_back(step);
  scripted_.notify_all();
}

void FakeScreenCapturer::setFailGrabs(bool fail) {
  std::lock_guard lock(mutex_);
  failGrabs_ = fail;
}

int FakeScreenCapturer::captures() const {
  std::lock_guard lock(mutex_);
  return captures_;
}

int FakeScreenCapturer::grabs() const {
  std::lock_guard lock(mutex_);
  return grabs_;
}

std::vector<std::uint64_t> FakeScreenCapturer::excludedWindows() const {
  std::lock_guard lock(mutex_);
  return excluded_;
}

CaptureResult FakeScreenCapturer::capture(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ++captures_;
  if (!scripted_.wait_for(lock, timeout, [&] { return !steps_.empty(); })) {
    return CaptureResult::timeout;
  }
  Step step = steps_.front();
  steps_.pop_front();
  if (step.result == CaptureResult::ok) std::fill(pixels_.begin(), pixels_.end(), step.bgrx);
  return step.result;
}

CaptureResult FakeScreenCapturer::grab() {
  std::lock_guard lock(mutex_);
  ++grabs_;
  return failGrabs_ ? CaptureResult::error : CaptureResult::ok;
}

CapturedFrame FakeScreenCapturer::frame() const {
  std::lock_guard lock(mutex_);
  return {reinterpret_cast<const std::uint8_t*>(pixels_.data()), bounds_.width, bounds_.height,
          bounds_.width * 4};
}

PixelBufferRef FakeScreenCapturer::picture() const {
  std::lock_guard lock(mutex_);
  auto buffer = PixelBuffer::allocate(bounds_.width, bounds_.height);
  std::copy(pixels_.begin(), pixels_.end(),
            reinterpret_cast<std::uint32_t*>(buffer->mutableData()));
  return buffer;
}

void FakeScreenCapturer::setExcludedWindows(std::vector<std::uint64_t> windows) {
  std::lock_guard lock(mutex_);
  excluded_ = std::move(windows);
}

}  // namespace ombrel
