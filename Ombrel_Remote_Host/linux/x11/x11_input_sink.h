#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/input/input_sink.h"
#include "Ombrel_Remote_Host/linux/x11/spare_keycode_pool.h"
#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"

namespace ombrel {

// InputSink on an X server through the XTest extension, on a connection of its own.
// Keys go to the keycodes of the evdev keymap (LinuxKeyMap); buttons and wheel turns to the
// core protocol's button numbers, which are also the codes reported back. Characters are typed
// through spare keycodes remapped to the Unicode keysym (0x1000000 + code point); the remapped
// keycodes are cleared again when the sink goes away.
// The double-click interval comes from the XSETTINGS manager's "Net/DoubleClickTime".
//
// Threading: one caller at a time (the injector's lock); the connection is not shared, so the
// injector's lock stands in for the connection's.
class X11InputSink : public InputSink {
 public:
  // Nothing when the display cannot be opened. An empty name means $DISPLAY.
  static std::unique_ptr<X11InputSink> open(const std::string& displayName = {});
  ~X11InputSink() override;

  X11InputSink(const X11InputSink&) = delete;
  X11InputSink& operator=(const X11InputSink&) = delete;

  bool canInject() override { return hasXTest_; }
  std::optional<InputPoint> pointerLocation() override;
  void movePointer(InputPoint to, std::optional<InputPoint> delta) override;
  ReportedCode button(PointerButton button, bool down) override;
  std::optional<ReportedCode> wheel(WheelAxis axis, int steps) override;
  std::optional<ReportedCode> key(uint16_t hidUsage, bool down) override;
  std::optional<ReportedCode> character(char32_t codePoint) override;
  void flush() override;
  void resetIdleTimer() override;
  std::optional<double> doubleClickInterval() override;

  // A round trip: every request sent so far has been processed by the server.
  void sync();
  Display* display() const { return display_; }

 private:
  explicit X11InputSink(std::shared_ptr<x11::Connection> connection);
  void loadSpareKeycodes();
  void sendKey(unsigned keycode, bool down);
  // A keycode that types `keysym` at every shift level, taken from the pool of spare keycodes
  // and remapped on demand. The least recently used keycode of the pool is remapped first,
  // so a keycode just typed keeps its meaning until the receiving client has looked it up.
  // Nothing when the keyboard map has no spare keycode.
  std::optional<unsigned> keycodeForKeysym(uint32_t keysym);

  std::shared_ptr<x11::Connection> connection_;
  Display* display_;
  bool hasXTest_ = false;
  int minKeycode_ = 8;
  int maxKeycode_ = 255;
  int keysymsPerKeycode_ = 1;
  std::optional<SpareKeycodePool> pool_;
};

}  // namespace ombrel
