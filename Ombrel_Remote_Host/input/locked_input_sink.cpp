#include "Ombrel_Remote_Host/input/locked_input_sink.h"

namespace ombrel {

bool LockedInputSink::canInject() {
  std::lock_guard lock(mutex_);
  return sink_->canInject();
}

std::optional<InputPoint> LockedInputSink::pointerLocation() {
  std::lock_guard lock(mutex_);
  return sink_->pointerLocation();
}

void LockedInputSink::movePointer(InputPoint to, std::optional<InputPoint> delta) {
  std::lock_guard lock(mutex_);
  sink_->movePointer(to, delta);
}

void LockedInputSink::button(unsigned xButton, bool down) {
  std::lock_guard lock(mutex_);
  sink_->button(xButton, down);
}

void LockedInputSink::wheel(unsigned xButton, int clicks) {
  std::lock_guard lock(mutex_);
  sink_->wheel(xButton, clicks);
}

void LockedInputSink::key(unsigned xKeycode, bool down) {
  std::lock_guard lock(mutex_);
  sink_->key(xKeycode, down);
}

std::optional<unsigned> LockedInputSink::keycodeForKeysym(uint32_t keysym) {
  std::lock_guard lock(mutex_);
  return sink_->keycodeForKeysym(keysym);
}

void LockedInputSink::flush() {
  std::lock_guard lock(mutex_);
  sink_->flush();
}

void LockedInputSink::resetIdleTimer() {
  std::lock_guard lock(mutex_);
  sink_->resetIdleTimer();
}

std::optional<double> LockedInputSink::doubleClickInterval() {
  std::lock_guard lock(mutex_);
  return sink_->doubleClickInterval();
}

}  // namespace ombrel
