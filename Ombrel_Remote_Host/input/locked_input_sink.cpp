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

ReportedCode LockedInputSink::button(PointerButton button, bool down) {
  std::lock_guard lock(mutex_);
  return sink_->button(button, down);
}

std::optional<ReportedCode> LockedInputSink::wheel(WheelAxis axis, int steps) {
  std::lock_guard lock(mutex_);
  return sink_->wheel(axis, steps);
}

std::optional<ReportedCode> LockedInputSink::key(uint16_t hidUsage, bool down) {
  std::lock_guard lock(mutex_);
  return sink_->key(hidUsage, down);
}

std::optional<ReportedCode> LockedInputSink::character(char32_t codePoint) {
  std::lock_guard lock(mutex_);
  return sink_->character(codePoint);
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
