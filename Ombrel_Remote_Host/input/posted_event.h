#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/input/input_sink.h"

namespace ombrel {

// Modifier flags carried by every posted event: which modifiers the remote user holds.
namespace ModifierFlag {
inline constexpr uint32_t shift = 0x20000;
inline constexpr uint32_t control = 0x40000;
inline constexpr uint32_t alternate = 0x80000;
inline constexpr uint32_t command = 0x100000;
}  // namespace ModifierFlag

// The injection tag: the integer "OMBR". X events cannot carry it; the injector keeps it in
// this record and in its InjectionRecord, which is how the host's own interface recognises
// remote input (RemoteClickClassifier).
inline constexpr uint32_t injectionTag = 0x4F4D4252;

// One synthetic event as the injector meant it, before it became XTest requests. Kept for
// the injector's observers and tests; the desktop only sees what the sink makes of it.
struct PostedEvent {
  enum class Type {
    mouseMoved,
    leftMouseDown,
    leftMouseUp,
    rightMouseDown,
    rightMouseUp,
    otherMouseDown,
    otherMouseUp,
    leftMouseDragged,
    rightMouseDragged,
    otherMouseDragged,
    scrollWheel,
    keyDown,
    keyUp,
    flagsChanged,
  };

  Type type = Type::mouseMoved;
  InputPoint location;
  std::optional<InputPoint> delta;  // rounded; absent for absolute moves
  int mouseButton = 0;              // 0 left, 1 right, 2 other (middle)
  int clickState = 0;
  uint32_t flags = 0;
  uint32_t tag = injectionTag;

  // Keys: the USB HID usage (absent for typed text).
  std::optional<uint16_t> hidUsage;
  // Typed text: the chunk this key event carries.
  std::u16string text;

  // Scrolling, in pixels: wheel 1 vertical, wheel 2 horizontal.
  int32_t wheel1 = 0;
  int32_t wheel2 = 0;
  bool continuous = false;
  int scrollPhase = 0;    // 1 began, 2 changed, 4 ended; 0 none
  int momentumPhase = 0;  // 2 during momentum

  // Pen input: a tablet point with its pressure and tilt.
  bool tabletPoint = false;
  double pressure = 0;
  double tiltX = 0;
  double tiltY = 0;
};

}  // namespace ombrel
