#include "Ombrel_Remote_Host/linux/x11/x11_input_sink.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/linux/x11/linux_key_map.h"
#include "Ombrel_Remote_Host/linux/x11/xsettings.h"

namespace ombrel {
namespace {

// X button numbers as the core protocol knows them.
constexpr unsigned kLeftButton = 1;
constexpr unsigned kMiddleButton = 2;
constexpr unsigned kRightButton = 3;
constexpr unsigned kWheelUpButton = 4;
constexpr unsigned kWheelDownButton = 5;
constexpr unsigned kWheelLeftButton = 6;
constexpr unsigned kWheelRightButton = 7;

constexpr uint32_t kReturnKeysym = 0xFF0D;
constexpr uint32_t kTabKeysym = 0xFF09;
constexpr uint32_t kUnicodeKeysymBase = 0x1000000;

unsigned xButton(PointerButton b) {
  switch (b) {
    case PointerButton::left:
      return kLeftButton;
    case PointerButton::right:
      return kRightButton;
    case PointerButton::middle:
      return kMiddleButton;
  }
  return kLeftButton;
}

// The keysym that types one code point; control characters other than line breaks and tabs
// have nothing to type.
std::optional<uint32_t> keysymFor(char32_t cp) {
  if (cp == U'\n' || cp == U'\r') return kReturnKeysym;
  if (cp == U'\t') return kTabKeysym;
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return std::nullopt;
  return kUnicodeKeysymBase + static_cast<uint32_t>(cp);
}

int pixel(double v) {
  if (!std::isfinite(v)) return 0;
  return static_cast<int>(std::clamp(std::floor(v), -32768.0, 32767.0));
}

}  // namespace

std::unique_ptr<X11InputSink> X11InputSink::open(const std::string& displayName) {
  auto connection = x11::Connection::open(displayName);
  if (!connection) return nullptr;
  return std::unique_ptr<X11InputSink>(new X11InputSink(std::move(connection)));
}

X11InputSink::X11InputSink(std::shared_ptr<x11::Connection> connection)
    : connection_(std::move(connection)), display_(connection_->display()) {
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  hasXTest_ = XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor);
  // Our own synthetic events must not be held up while another client grabs the server.
  if (hasXTest_) XTestGrabControl(display_, True);
  XDisplayKeycodes(display_, &minKeycode_, &maxKeycode_);
}

X11InputSink::~X11InputSink() {
  if (pool_) {
    for (unsigned keycode : pool_->lentKeycodes()) {
      std::vector<KeySym> none(keysymsPerKeycode_, NoSymbol);
      XChangeKeyboardMapping(display_, static_cast<int>(keycode), keysymsPerKeycode_, none.data(),
                             1);
    }
  }
  XSync(display_, False);
}

std::optional<InputPoint> X11InputSink::pointerLocation() {
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned mask = 0;
  if (!XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &rootX, &rootY, &winX,
                     &winY, &mask)) {
    return std::nullopt;
  }
  return InputPoint{static_cast<double>(rootX), static_cast<double>(rootY)};
}

void X11InputSink::movePointer(InputPoint to, std::optional<InputPoint>) {
  if (!hasXTest_) return;
  XTestFakeMotionEvent(display_, -1, pixel(to.x), pixel(to.y), CurrentTime);
}

ReportedCode X11InputSink::button(PointerButton button, bool down) {
  const unsigned b = xButton(button);
  if (hasXTest_) XTestFakeButtonEvent(display_, b, down ? True : False, CurrentTime);
  return b;
}

std::optional<ReportedCode> X11InputSink::wheel(WheelAxis axis, int steps) {
  if (steps == 0) return std::nullopt;
  const bool vertical = axis == WheelAxis::vertical;
  const unsigned b = steps > 0 ? (vertical ? kWheelUpButton : kWheelLeftButton)
                               : (vertical ? kWheelDownButton : kWheelRightButton);
  if (hasXTest_) {
    for (int i = 0; i < std::abs(steps); ++i) {
      XTestFakeButtonEvent(display_, b, True, CurrentTime);
      XTestFakeButtonEvent(display_, b, False, CurrentTime);
    }
  }
  return b;
}

std::optional<ReportedCode> X11InputSink::key(uint16_t hidUsage, bool down) {
  const auto keycode = LinuxKeyMap::xKeycode(hidUsage);
  if (!keycode) return std::nullopt;
  sendKey(*keycode, down);
  return *keycode;
}

std::optional<ReportedCode> X11InputSink::character(char32_t codePoint) {
  const auto keysym = keysymFor(codePoint);
  if (!keysym) return std::nullopt;
  const auto keycode = keycodeForKeysym(*keysym);
  if (!keycode) return std::nullopt;
  sendKey(*keycode, true);
  sendKey(*keycode, false);
  return *keycode;
}

void X11InputSink::sendKey(unsigned keycode, bool down) {
  if (!hasXTest_) return;
  if (keycode < static_cast<unsigned>(minKeycode_) || keycode > static_cast<unsigned>(maxKeycode_))
    return;
  XTestFakeKeyEvent(display_, keycode, down ? True : False, CurrentTime);
}

void X11InputSink::loadSpareKeycodes() {
  const int count = maxKeycode_ - minKeycode_ + 1;
  int perKeycode = 0;
  KeySym* map =
      XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode_), count, &perKeycode);
  std::vector<unsigned> spare;
  if (map) {
    keysymsPerKeycode_ = std::max(1, perKeycode);
    for (int i = 0; i < count; ++i) {
      const KeySym* syms = map + static_cast<std::size_t>(i) * perKeycode;
      if (std::all_of(syms, syms + perKeycode, [](KeySym s) { return s == NoSymbol; })) {
        spare.push_back(static_cast<unsigned>(minKeycode_ + i));
      }
    }
    XFree(map);
  }
  pool_.emplace(std::move(spare));
}

std::optional<unsigned> X11InputSink::keycodeForKeysym(uint32_t keysym) {
  if (!pool_) loadSpareKeycodes();
  auto assignment = pool_->assign(keysym);
  if (!assignment) return std::nullopt;
  if (assignment->remap) {
    // Every shift level and group gives the same keysym, so held modifiers cannot change it.
    std::vector<KeySym> syms(keysymsPerKeycode_, static_cast<KeySym>(keysym));
    XChangeKeyboardMapping(display_, static_cast<int>(assignment->keycode), keysymsPerKeycode_,
                           syms.data(), 1);
  }
  return assignment->keycode;
}

void X11InputSink::flush() { XFlush(display_); }

void X11InputSink::sync() { XSync(display_, False); }

void X11InputSink::resetIdleTimer() { XResetScreenSaver(display_); }

std::optional<double> X11InputSink::doubleClickInterval() {
  const std::string selection = "_XSETTINGS_S" + std::to_string(DefaultScreen(display_));
  const Atom selectionAtom = XInternAtom(display_, selection.c_str(), False);
  const Window owner = XGetSelectionOwner(display_, selectionAtom);
  if (owner == None) return std::nullopt;
  const Atom settingsAtom = XInternAtom(display_, "_XSETTINGS_SETTINGS", False);
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  // The owner may vanish between the two requests: its BadWindow is caught, not fatal.
  x11::ErrorTrap trap(display_);
  const int status = XGetWindowProperty(display_, owner, settingsAtom, 0, 1 << 16, False,
                                        settingsAtom, &type, &format, &items, &after, &data);
  if (status != Success || !trap.sync() || !data) {
    if (data) XFree(data);
    return std::nullopt;
  }
  std::optional<int32_t> ms;
  if (type == settingsAtom && format == 8) {
    ms = XSettings::integer({data, static_cast<std::size_t>(items)}, "Net/DoubleClickTime");
  }
  XFree(data);
  if (!ms || *ms <= 0 || *ms > 5000) return std::nullopt;
  return *ms / 1000.0;
}

}  // namespace ombrel
