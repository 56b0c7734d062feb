#pragma once

#include <memory>
#include <mutex>

#include "Ombrel_Remote_Host/input/input_sink.h"

namespace ombrel {

// One InputSink shared by the injectors of several sessions: each call takes a lock, so two
// sessions typing at once never interleave inside one request of the sink (a character's
// spare key, remapped, pressed and released; the X connection serves one caller at a time).
//
// Threading: any thread.
class LockedInputSink : public InputSink {
 public:
  explicit LockedInputSink(std::shared_ptr<InputSink> sink) : sink_(std::move(sink)) {}

  bool canInject() override;
  std::optional<InputPoint> pointerLocation() override;
  void movePointer(InputPoint to, std::optional<InputPoint> delta) override;
  ReportedCode button(PointerButton button, bool down) override;
  std::optional<ReportedCode> wheel(WheelAxis axis, int steps) override;
  std::optional<ReportedCode> key(uint16_t hidUsage, bool down) override;
  std::optional<ReportedCode> character(char32_t codePoint) override;
  void flush() override;
  void resetIdleTimer() override;
  std::optional<double> doubleClickInterval() override;

 private:
  std::mutex mutex_;
  const std::shared_ptr<InputSink> sink_;
};

}  // namespace ombrel
