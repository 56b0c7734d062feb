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

// The pointer buttons the remote user presses.
enum class PointerButton { left, right, middle };

// The wheel's two axes. Positive steps turn the vertical wheel up (away from the user) and the
// horizontal one to the left.
enum class WheelAxis { vertical, horizontal };

// The code the desktop's own event reports give an event a sink sent (on X11: the button
// number or keycode of a raw event). The injector keeps them in its InjectionRecord, so that
// the host can recognise its own synthetic events when the desktop reports them back.
using ReportedCode = unsigned;

// The platform seam under InputInjector: where synthetic pointer and key events go, in the
// desktop's neutral terms (USB HID usages, logical buttons, wheel steps, code points); each
// backend turns them into its own codes. The X11 backend (linux/x11/x11_input_sink.h) talks
// XTest; the fake (fake/fake_input_sink.h) records calls for tests. Requests may be buffered
// until flush().
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

  // The code the desktop reports the button's press or release under.
  virtual ReportedCode button(PointerButton button, bool down) = 0;

  // `steps` turns of one axis (a press and a release each); nothing when `steps` is 0. The
  // code the desktop reports each turn under.
  virtual std::optional<ReportedCode> wheel(WheelAxis axis, int steps) = 0;

  // The key of USB HID keyboard usage `hidUsage` (page 7) goes down or up. Nothing, and
  // nothing sent, when the desktop's keyboard has no key for the usage.
  virtual std::optional<ReportedCode> key(uint16_t hidUsage, bool down) = 0;

  // Types one character whatever the keyboard's layout, pressing and releasing a key that
  // gives it at every shift level: a line break comes as U'\n', a tab as U'\t', and no other
  // control character comes. The code of the key; nothing when nothing can type it.
  virtual std::optional<ReportedCode> character(char32_t codePoint) = 0;

  virtual void flush() = 0;

  // Restarts the desktop's idle timers (on X11: XResetScreenSaver).
  virtual void resetIdleTimer() = 0;

  // The desktop's double-click interval in seconds, when it publishes one.
  virtual std::optional<double> doubleClickInterval() = 0;
};

}  // namespace ombrel
