#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "Ombrel_Remote_Host/input/input_sink.h"

namespace ombrel {

// An InputSink that records what it is asked to do, for tests of the injector's logic.
// Scriptable through `config`; the real pointer follows movePointer unless
// `config.pointerLocation` pins it (or hides it with `pointerKnown = false`).
//
// The codes it reports are its own, apart from every usage and code point, so that a test sees
// that the injector records the sink's codes rather than what it asked for.
class FakeInputSink : public InputSink {
 public:
  static ReportedCode buttonCode(PointerButton button) {
    return 1 + static_cast<ReportedCode>(button);
  }
  static ReportedCode wheelCode(WheelAxis axis, int steps) {
    return 10 + 2 * static_cast<ReportedCode>(axis) + (steps < 0 ? 1 : 0);
  }
  static ReportedCode keyCode(uint16_t hidUsage) { return 0x1000 + hidUsage; }
  static ReportedCode characterCode(char32_t codePoint) {
    return 0x100000 + static_cast<ReportedCode>(codePoint);
  }

  struct Config {
    bool canInject = true;
    bool pointerKnown = true;
    std::optional<InputPoint> pointerLocation;  // pinned; else where the last move went
    std::optional<double> doubleClickInterval;
    std::set<uint16_t> keyless;  // usages the fake keyboard has no key for
    // Keys reported under another code than keyCode(usage): two usages of one key, or keys
    // in another order than their usages.
    std::map<uint16_t, ReportedCode> keyCodes;
    bool typesCharacters = true;  // false: character() finds no key, as with no spare keycode
  };

  struct Call {
    enum class Kind { move, button, wheel, key, character, flush, resetIdle };
    Kind kind;
    InputPoint point;                 // move
    std::optional<InputPoint> delta;  // move
    PointerButton button = PointerButton::left;
    WheelAxis axis = WheelAxis::vertical;
    int steps = 0;           // wheel
    uint16_t usage = 0;      // key
    char32_t codePoint = 0;  // character
    bool down = false;
  };

  FakeInputSink() = default;
  explicit FakeInputSink(Config config) : config(std::move(config)) {}

  Config config;
  std::vector<Call> calls;

  // Calls of one kind, with flushes and idle resets left out unless asked for.
  std::vector<Call> callsOf(Call::Kind kind) const;

  bool canInject() override { return config.canInject; }
  std::optional<InputPoint> pointerLocation() override;
  void movePointer(InputPoint to, std::optional<InputPoint> delta) override;
  ReportedCode button(PointerButton button, bool down) override;
  std::optional<ReportedCode> wheel(WheelAxis axis, int steps) override;
  std::optional<ReportedCode> key(uint16_t hidUsage, bool down) override;
  std::optional<ReportedCode> character(char32_t codePoint) override;
  void flush() override;
  void resetIdleTimer() override;
  std::optional<double> doubleClickInterval() override { return config.doubleClickInterval; }

 private:
  std::optional<InputPoint> pointer_;
};

}  // namespace ombrel
