#include "Ombrel_Remote_Host/input/fake/fake_input_sink.h"

#include <algorithm>

namespace ombrel {

// Spare keycodes of the fake keyboard start here, past every key of the evdev table.
constexpr unsigned kFirstSpareKeycode = 200;

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

void FakeInputSink::button(unsigned xButton, bool down) {
  calls.push_back({.kind = Call::Kind::button, .code = xButton, .down = down});
}

void FakeInputSink::wheel(unsigned xButton, int clicks) {
  calls.push_back({.kind = Call::Kind::wheel, .code = xButton, .clicks = clicks});
}

void FakeInputSink::key(unsigned xKeycode, bool down) {
  calls.push_back({.kind = Call::Kind::key, .code = xKeycode, .down = down});
}

std::optional<unsigned> FakeInputSink::keycodeForKeysym(uint32_t keysym) {
  if (!pool_) {
    std::vector<unsigned> spare;
    for (unsigned i = 0; i < config.spareKeycodes; ++i) spare.push_back(kFirstSpareKeycode + i);
    pool_.emplace(std::move(spare));
  }
  auto assignment = pool_->assign(keysym);
  if (!assignment) return std::nullopt;
  keymap[assignment->keycode] = keysym;
  return assignment->keycode;
}

void FakeInputSink::flush() { calls.push_back({.kind = Call::Kind::flush}); }

void FakeInputSink::resetIdleTimer() { calls.push_back({.kind = Call::Kind::resetIdle}); }

}  // namespace ombrel
