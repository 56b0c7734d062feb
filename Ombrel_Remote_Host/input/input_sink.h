#pragma once

#include <cstdint>
#include <optional>

namespace ombrel {

// A position in global desktop coordinates (points; one point is one pixel of the X root).
struct InputPoint {
  double x = 0;
  double y = 0;
  bool operator==(const InputPoint&) const = default;
};

// A rectangle in global desktop coordinates.
struct InputRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  bool operator==(const InputRect&) const = default;
};

// X button numbers as the core protocol knows them.
namespace XButton {
inline constexpr unsigned left = 1;
inline constexpr unsigned middle = 2;
inline constexpr unsigned right = 3;
inline constexpr unsigned wheelUp = 4;
inline constexpr unsigned wheelDown = 5;
inline constexpr unsigned wheelLeft = 6;
inline constexpr unsigned wheelRight = 7;
}  // namespace XButton

// The platform seam under InputInjector: where synthetic pointer and key events go.
// The X11 backend (linux/x11_input_sink.h) talks XTest; the fake (fake/fake_input_sink.h)
// records calls for tests. Requests may be buffered until flush().
//
// Threading: one caller at a time (the injector serialises its calls).
class InputSink {
 public:
  virtual ~InputSink() = default;

  // True when synthetic events reach the desktop (on X11: the XTest extension is there).
  virtual bool canInject() = 0;

  // Where the pointer really is now; nothing when the desktop cannot be asked.
  virtual std::optional<InputPoint> pointerLocation() = 0;

  // Moves the pointer to `to` (fractions are dropped: the pixel containing the point).
  // `delta` is the relative motion the remote user meant, for backends whose events carry
  // one; XTest motion has no such field and ignores it.
  virtual void movePointer(InputPoint to, std::optional<InputPoint> delta) = 0;

  virtual void button(unsigned xButton, bool down) = 0;

  // `clicks` presses and releases of a wheel button (XButton::wheelUp ... wheelRight).
  virtual void wheel(unsigned xButton, int clicks) = 0;

  virtual void key(unsigned xKeycode, bool down) = 0;

  // A keycode that types `keysym` at every shift level, taken from a pool of spare keycodes
  // and remapped on demand. The least recently used keycode of the pool is remapped first,
  // so a keycode just typed keeps its meaning until the receiving client has looked it up.
  // Nothing when the keyboard map has no spare keycode.
  virtual std::optional<unsigned> keycodeForKeysym(uint32_t keysym) = 0;

  virtual void flush() = 0;

  // Restarts the desktop's idle timers (on X11: XResetScreenSaver).
  virtual void resetIdleTimer() = 0;

  // The desktop's double-click interval in seconds, when it publishes one.
  virtual std::optional<double> doubleClickInterval() = 0;
};

}  // namespace ombrel
