#include "Ombrel_Remote_Host/input/fake/fake_input_sink.h"

#include <algorithm>
#include <iterator>

namespace ombrel {

std::vector<FakeInputSink::Call> FakeInputSink::callsOf(Call::Kind kind) const {
  std::vector<Call> out;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
               [&](const Call& c) { return c.kind == kind; });
  return out;
}

std::optional<InputPoint> FakeInputSink::pointerLocation() {
  if (!config.pointerKnown) return std::nullopt;
  if (config.pointerLocation) return config.pointerLocation;
  return pointer_.value_or(InputPoint{});
}

void FakeInputSink::movePointer(InputPoint to, std::optional<InputPoint> delta) {
  pointer_ = to;
  calls.push_back({.kind = Call::Kind::move, .point = to, .delta = delta});
}

ReportedCode FakeInputSink::button(PointerButton button, bool down) {
  calls.push_back({.kind = Call::Kind::button, .button = button, .down = down});
  return buttonCode(button);
}

std::optional<ReportedCode> FakeInputSink::wheel(WheelAxis axis, int steps) {
  calls.push_back({.kind = Call::Kind::wheel, .axis = axis, .steps = steps});
  if (steps == 0) return std::nullopt;
  return wheelCode(axis, steps);
}

std::optional<ReportedCode> FakeInputSink::key(uint16_t hidUsage, bool down) {
  if (config.keyless.contains(hidUsage)) return std::nullopt;
  calls.push_back({.kind = Call::Kind::key, .usage = hidUsage, .down = down});
  if (auto it = config.keyCodes.find(hidUsage); it != config.keyCodes.end()) return it->second;
  return keyCode(hidUsage);
}

std::optional<ReportedCode> FakeInputSink::character(char32_t codePoint) {
  if (!config.typesCharacters) return std::nullopt;
  calls.push_back({.kind = Call::Kind::character, .codePoint = codePoint});
  return characterCode(codePoint);
}

void FakeInputSink::flush() { calls.push_back({.kind = Call::Kind::flush}); }

void FakeInputSink::resetIdleTimer() { calls.push_back({.kind = Call::Kind::resetIdle}); }

}  // namespace ombrel
