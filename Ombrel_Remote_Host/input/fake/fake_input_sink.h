#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "Ombrel_Remote_Host/input/input_sink.h"
#include "Ombrel_Remote_Host/linux/x11/spare_keycode_pool.h"

namespace ombrel {

// An InputSink that records what it is asked to do, for tests of the injector's logic.
// Scriptable through `config`; the real pointer follows movePointer unless
// `config.pointerLocation` pins it (or hides it with `pointerKnown = false`).
class FakeInputSink : public InputSink {
 public:
  struct Config {
    bool canInject = true;
    bool pointerKnown = true;
    std::optional<InputPoint> pointerLocation;  // pinned; else where the last move went
    std::optional<double> doubleClickInterval;
    unsigned spareKeycodes = 8;  // pool size for keycodeForKeysym
  };

  struct Call {
    enum class Kind { move, button, wheel, key, flush, resetIdle };
    Kind kind;
    InputPoint point;                 // move
    std::optional<InputPoint> delta;  // move
    unsigned code = 0;                // X button or keycode
    bool down = false;
    int clicks = 0;  // wheel
  };

  FakeInputSink() = default;
  explicit FakeInputSink(Config config) : config(config) {}

  Config config;
  std::vector<Call> calls;
  // Keysym each keycode types now (only keycodes handed out by keycodeForKeysym).
  std::map<unsigned, uint32_t> keymap;

  // Calls of one kind, with flushes and idle resets left out unless asked for.
  std::vector<Call> callsOf(Call::Kind kind) const;

  bool canInject() override { return config.canInject; }
  std::optional<InputPoint> pointerLocation() override;
  void movePointer(InputPoint to, std::optional<InputPoint> delta) override;
  void button(unsigned xButton, bool down) override;
  void wheel(unsigned xButton, int clicks) override;
  void key(unsigned xKeycode, bool down) override;
  std::optional<unsigned> keycodeForKeysym(uint32_t keysym) override;
  void flush() override;
  void resetIdleTimer() override;
  std::optional<double> doubleClickInterval() override { return config.doubleClickInterval; }

 private:
  std::optional<InputPoint> pointer_;
  std::optional<SpareKeycodePool> pool_;
};

}  // namespace ombrel
