#include "Ombrel_Remote_Host/input/input_injector.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <type_traits>
#include <utility>
#include <variant>

#include "OmbrelKit/hid.h"
#include "Ombrel_Remote_Host/input/unicode_text.h"
#include "base/log.h"

namespace ombrel {
namespace {

using Kind = InjectedEvent::Kind;

double finiteOr(double v, double fallback) { return std::isfinite(v) ? v : fallback; }

PointerButton pointerButton(MouseButton b) {
  switch (b) {
    case MouseButton::left:
      return PointerButton::left;
    case MouseButton::right:
      return PointerButton::right;
    case MouseButton::middle:
      return PointerButton::middle;
  }
  return PointerButton::left;
}

PostedEvent::Type buttonType(MouseButton b, bool down) {
  using T = PostedEvent::Type;
  switch (b) {
    case MouseButton::left:
      return down ? T::leftMouseDown : T::leftMouseUp;
    case MouseButton::right:
      return down ? T::rightMouseDown : T::rightMouseUp;
    case MouseButton::middle:
      return down ? T::otherMouseDown : T::otherMouseUp;
  }
  return T::leftMouseUp;
}

int32_t roundedInt32(double v) {
  constexpr double lo = std::numeric_limits<int32_t>::min();
  constexpr double hi = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::clamp(std::round(finiteOr(v, 0)), lo, hi));
}

// Control characters other than line breaks and tabs have nothing to type.
bool typeable(char32_t cp) {
  if (cp == U'\n' || cp == U'\r' || cp == U'\t') return true;
  return !(cp < 0x20 || (cp >= 0x7F && cp < 0xA0));
}

}  // namespace

InputInjector::InputInjector(std::shared_ptr<InputSink> sink, InputRect displayBounds,
                             const Clock& clock, std::shared_ptr<InjectionRecord> record)
    : sink_(std::move(sink)),
      clock_(clock),
      record_(record ? std::move(record) : std::make_shared<InjectionRecord>()),
      displayBounds_(displayBounds) {
  if (auto interval = sink_->doubleClickInterval()) doubleClickInterval_ = *interval;
}

InputInjector::~InputInjector() = default;

// Dispatch -----------------------------------------------------------------------------------

void InputInjector::handle(const InputEvent& event) {
  std::visit(
      [this](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, InputEvent::MoveTo>) {
          moveTo(e.x, e.y);
        } else if constexpr (std::is_same_v<E, InputEvent::MoveBy>) {
          moveBy(e.dx, e.dy);
        } else if constexpr (std::is_same_v<E, InputEvent::Button>) {
          button(e.button, e.down);
        } else if constexpr (std::is_same_v<E, InputEvent::Scroll>) {
          scroll(e.dx, e.dy, e.phase);
        } else if constexpr (std::is_same_v<E, InputEvent::Key>) {
          key(e.hid, e.down);
        } else if constexpr (std::is_same_v<E, InputEvent::Text>) {
          text(e.text);
        } else if constexpr (std::is_same_v<E, InputEvent::Magnify>) {
          std::lock_guard lock(mutex_);
          userActivity();
        } else if constexpr (std::is_same_v<E, InputEvent::Pen>) {
          pen(e.x, e.y, e.pressure, e.tiltX, e.tiltY, e.phase);
        } else {
          static_assert(std::is_same_v<E, InputEvent::ReleaseAll>);
          releaseAll();
        }
      },
      event.value);
}

// Pointer ------------------------------------------------------------------------------------

void InputInjector::moveTo(double x, double y) {
  std::lock_guard lock(mutex_);
  userActivity();
  move(mapped(x, y), std::nullopt);
}

void InputInjector::moveBy(double dx, double dy) {
  std::lock_guard lock(mutex_);
  userActivity();
  dx = finiteOr(dx, 0);
  dy = finiteOr(dy, 0);
  const InputPoint from = cursor();
  const InputRect& b = displayBounds_;
  InputPoint p{std::clamp(from.x + dx, b.minX(), std::max(b.minX(), b.maxX() - 1)),
               std::clamp(from.y + dy, b.minY(), std::max(b.minY(), b.maxY() - 1))};
  move(p, InputPoint{std::round(dx), std::round(dy)});
}

InputPoint InputInjector::mapped(double x, double y) const {
  // Clamped to just short of 1 so that the far edges stay on this display.
  auto clamp = [](double v) {
    if (!(v > 0)) return 0.0;  // also NaN
    return v > 0.9999 ? 0.9999 : v;
  };
  const InputRect& b = displayBounds_;
  return {b.minX() + clamp(x) * b.width, b.minY() + clamp(y) * b.height};
}

InputPoint InputInjector::cursor() {
  if (requestedCursor_ && clock_.now() - lastPointerRequest_ < pointerRequestTrust) {
    return *requestedCursor_;
  }
  if (auto real = sink_->pointerLocation()) return *real;
  if (requestedCursor_) return *requestedCursor_;
  return {displayBounds_.minX(), displayBounds_.minY()};
}

void InputInjector::move(InputPoint to, std::optional<InputPoint> delta) {
  requestedCursor_ = to;
  lastPointerRequest_ = clock_.now();
  PostedEvent e{.location = to};
  if (buttonsDown_.contains(MouseButton::left)) {
    e.type = PostedEvent::Type::leftMouseDragged;
  } else if (buttonsDown_.contains(MouseButton::right)) {
    e.type = PostedEvent::Type::rightMouseDragged, e.mouseButton = 1;
  } else if (buttonsDown_.contains(MouseButton::middle)) {
    e.type = PostedEvent::Type::otherMouseDragged, e.mouseButton = 2;
  }
  if (delta) {
    e.delta = delta;
  } else if (to.y <= displayBounds_.minY() + 1) {
    // Pushing against the top edge is how a hidden menu bar or panel is revealed. X motion
    // has no delta field, so the X backend drops it; a backend whose pointer events carry
    // relative motion passes it on.
    e.delta = InputPoint{0, -8};
  }
  post(std::move(e));
}

void InputInjector::pointerAt(InputPoint p) {
  const std::pair<long, long> pixel{std::lround(std::floor(p.x)), std::lround(std::floor(p.y))};
  if (postedPixel_ == pixel) return;
  sink_->movePointer(p, std::nullopt);
  record(Kind::motion, 0);
  postedPixel_ = pixel;
}

// Buttons ------------------------------------------------------------------------------------

void InputInjector::button(MouseButton button, bool down) {
  std::lock_guard lock(mutex_);
  userActivity();
  const InputPoint at = cursor();
  int count = 1;
  if (down) {
    if (onClick) {
      onClick(at, sink_->canInject());
    } else {
      log::line(clickLogLine(at, sink_->canInject(), isScreenLocked && isScreenLocked()));
    }
    const double now = clock_.now();
    if (lastClick_.button == button && now - lastClick_.time < doubleClickInterval_ &&
        std::hypot(at.x - lastClick_.position.x, at.y - lastClick_.position.y) <
            doubleClickDistance) {
      count = lastClick_.count + 1;
    }
    lastClick_ = {.time = now, .position = at, .button = button, .count = count};
    buttonsDown_.insert(button);
  } else {
    count = lastClick_.button ? lastClick_.count : 1;
    buttonsDown_.erase(button);
  }
  postButton(button, down, at, count);
}

std::string InputInjector::clickLogLine(InputPoint at, bool accessibility, bool locked) {
  char line[160];
  std::snprintf(line, sizeof line,
                "Ombrel Remote: Remote click x=%f y=%f accessibility=%s locked=%s", at.x, at.y,
                accessibility ? "true" : "false", locked ? "true" : "false");
  return line;
}

void InputInjector::postButton(MouseButton button, bool down, InputPoint at, int clickState) {
  PostedEvent e{.type = buttonType(button, down),
                .location = at,
                .mouseButton = static_cast<int>(button),
                .clickState = clickState};
  post(std::move(e));
}

// Scrolling ----------------------------------------------------------------------------------

void InputInjector::scroll(double dx, double dy, ScrollPhase phase) {
  std::lock_guard lock(mutex_);
  userActivity();
  PostedEvent e{.type = PostedEvent::Type::scrollWheel, .location = cursor()};
  e.wheel1 = roundedInt32(dy);
  e.wheel2 = roundedInt32(dx);
  e.continuous = true;
  switch (phase) {
    case ScrollPhase::none:
      break;
    case ScrollPhase::began:
      e.scrollPhase = 1;
      break;
    case ScrollPhase::changed:
      e.scrollPhase = 2;
      break;
    case ScrollPhase::ended:
      e.scrollPhase = 4;
      break;
    case ScrollPhase::momentum:
      e.momentumPhase = 2;
      break;
  }
  const WheelAccumulator::Clicks clicks = wheel_.add(dx, dy, phase);
  post(std::move(e));
  if (clicks.up == 0 && clicks.left == 0) return;
  auto turn = [&](WheelAxis axis, int steps) {
    if (steps == 0) return;
    const auto code = sink_->wheel(axis, steps);
    if (!code) return;
    for (int i = 0; i < std::abs(steps); ++i) {
      record(Kind::buttonPress, *code, true);
      record(Kind::buttonRelease, *code, true);
    }
  };
  turn(WheelAxis::vertical, clicks.up);
  turn(WheelAxis::horizontal, clicks.left);
  sink_->flush();
}

// Keys ---------------------------------------------------------------------------------------

void InputInjector::key(uint16_t hidUsage, bool down) {
  std::lock_guard lock(mutex_);
  userActivity();
  const bool modifier = HID::isModifier(hidUsage);
  if (modifier) {
    if (down) {
      modifiersDown_.insert(hidUsage);
    } else {
      modifiersDown_.erase(hidUsage);
    }
  }
  const auto code = postKey(hidUsage, down, modifier);
  if (!code || modifier) return;
  if (down) {
    keysDown_[*code] = hidUsage;
  } else {
    keysDown_.erase(*code);
  }
}

void InputInjector::pasteShortcut() {
  constexpr uint16_t vKey = 0x19;
  std::lock_guard lock(mutex_);
  userActivity();
  modifiersDown_.insert(HID::leftControl);
  postKey(HID::leftControl, true, true);
  userActivity();
  postKey(vKey, true, false);
  userActivity();
  postKey(vKey, false, false);
  userActivity();
  modifiersDown_.erase(HID::leftControl);
  postKey(HID::leftControl, false, true);
}

std::optional<ReportedCode> InputInjector::postKey(uint16_t hidUsage, bool down, bool modifier) {
  const auto code = sink_->key(hidUsage, down);
  if (!code) return std::nullopt;
  PostedEvent e{.type = modifier ? PostedEvent::Type::flagsChanged
                                 : (down ? PostedEvent::Type::keyDown : PostedEvent::Type::keyUp),
                .hidUsage = hidUsage};
  post(std::move(e));
  record(down ? Kind::keyPress : Kind::keyRelease, *code);
  sink_->flush();
  return code;
}

uint32_t InputInjector::flagsLocked() const {
  uint32_t flags = 0;
  for (uint16_t usage : modifiersDown_) {
    switch (usage & 0x3) {
      case 0:
        flags |= ModifierFlag::control;
        break;
      case 1:
        flags |= ModifierFlag::shift;
        break;
      case 2:
        flags |= ModifierFlag::alternate;
        break;
      case 3:
        flags |= ModifierFlag::command;
        break;
    }
  }
  return flags;
}

uint32_t InputInjector::modifierFlags() const {
  std::lock_guard lock(mutex_);
  return flagsLocked();
}

// Text ---------------------------------------------------------------------------------------

void InputInjector::text(std::string_view utf8) {
  std::lock_guard lock(mutex_);
  userActivity();
  const std::u16string units = UnicodeText::utf16FromUTF8(utf8);
  if (units.empty()) return;
  // Typed text carries no modifiers: a held control would turn letters into shortcuts. The
  // desktop applies the keyboard's real state (X does), so held modifiers are let go while
  // typing.
  for (uint16_t usage : modifiersDown_) {
    if (auto code = sink_->key(usage, false)) record(Kind::keyRelease, *code);
  }
  char32_t previous = 0;
  for (std::u16string_view chunk : UnicodeText::chunks(units, textChunkUnits)) {
    for (bool down : {true, false}) {
      PostedEvent e{.type = down ? PostedEvent::Type::keyDown : PostedEvent::Type::keyUp,
                    .text = std::u16string(chunk)};
      e.flags = 0;
      post(std::move(e));
    }
    for (char32_t cp : UnicodeText::codePoints(chunk)) {
      // A CR LF pair is one line break.
      if (!(cp == U'\n' && previous == U'\r')) typeCharacter(cp);
      previous = cp;
    }
    sink_->flush();
  }
  for (uint16_t usage : modifiersDown_) {
    if (auto code = sink_->key(usage, true)) record(Kind::keyPress, *code);
  }
  sink_->flush();
}

void InputInjector::typeCharacter(char32_t cp) {
  if (!typeable(cp)) return;
  const auto code = sink_->character(cp == U'\r' ? U'\n' : cp);
  if (!code) return;
  record(Kind::keyPress, *code);
  record(Kind::keyRelease, *code);
}

// Pen ----------------------------------------------------------------------------------------

void InputInjector::pen(double x, double y, double pressure, double tiltX, double tiltY,
                        int64_t phase) {
  std::lock_guard lock(mutex_);
  userActivity();
  const InputPoint p = mapped(x, y);
  const bool ended = phase == static_cast<int64_t>(ScrollPhase::ended);
  const bool began = phase == static_cast<int64_t>(ScrollPhase::began);
  PostedEvent e{.location = p, .clickState = 1};
  if (ended) {
    buttonsDown_.erase(MouseButton::left);
    e.type = PostedEvent::Type::leftMouseUp;
  } else if (began) {
    buttonsDown_.insert(MouseButton::left);
    e.type = PostedEvent::Type::leftMouseDown;
  } else {
    e.type = buttonsDown_.contains(MouseButton::left) ? PostedEvent::Type::leftMouseDragged
                                                      : PostedEvent::Type::mouseMoved;
  }
  // Every pen event puts the pointer on its point.
  requestedCursor_ = p;
  lastPointerRequest_ = clock_.now();
  const double pr = std::min(finiteOr(pressure, 0), 1.0);
  e.tabletPoint = true;
  e.pressure = (!ended && pr >= 0) ? pr : 0;
  e.tiltX = std::clamp(finiteOr(tiltX, 0), -1.0, 1.0);
  e.tiltY = std::clamp(finiteOr(tiltY, 0), -1.0, 1.0);
  post(std::move(e));
}

// Release ------------------------------------------------------------------------------------

void InputInjector::releaseAll() {
  std::lock_guard lock(mutex_);
  userActivity();
  // One at a time, so each event's flags say what is still held after it.
  if (!buttonsDown_.empty()) {
    const InputPoint at = cursor();
    const int count = lastClick_.button ? lastClick_.count : 1;
    while (!buttonsDown_.empty()) {
      const MouseButton b = *buttonsDown_.begin();
      buttonsDown_.erase(buttonsDown_.begin());
      postButton(b, false, at, count);
    }
  }
  // The X server repeats a key that stays down, so a key the remote user still held when the
  // session ended would type on forever: let go of every held key, then of the modifiers.
  while (!keysDown_.empty()) {
    const uint16_t usage = keysDown_.begin()->second;
    keysDown_.erase(keysDown_.begin());
    postKey(usage, false, false);
  }
  while (!modifiersDown_.empty()) {
    const uint16_t usage = *modifiersDown_.begin();
    modifiersDown_.erase(modifiersDown_.begin());
    postKey(usage, false, true);
  }
}

// Posting ------------------------------------------------------------------------------------

void InputInjector::post(PostedEvent event) {
  using T = PostedEvent::Type;
  event.flags = event.text.empty() ? flagsLocked() : 0;
  event.tag = injectionTag;
  switch (event.type) {
    case T::mouseMoved:
    case T::leftMouseDragged:
    case T::rightMouseDragged:
    case T::otherMouseDragged:
      sink_->movePointer(event.location, event.delta);
      record(Kind::motion, 0);
      postedPixel_ = {std::lround(std::floor(event.location.x)),
                      std::lround(std::floor(event.location.y))};
      sink_->flush();
      break;
    case T::leftMouseDown:
    case T::leftMouseUp:
    case T::rightMouseDown:
    case T::rightMouseUp:
    case T::otherMouseDown:
    case T::otherMouseUp: {
      const bool down = event.type == T::leftMouseDown || event.type == T::rightMouseDown ||
                        event.type == T::otherMouseDown;
      pointerAt(event.location);
      const ReportedCode code =
          sink_->button(pointerButton(static_cast<MouseButton>(event.mouseButton)), down);
      record(down ? Kind::buttonPress : Kind::buttonRelease, code);
      sink_->flush();
      break;
    }
    case T::scrollWheel:
      pointerAt(event.location);
      break;
    case T::keyDown:
    case T::keyUp:
    case T::flagsChanged:
      // Keys reach the sink from postKey and text, which know the direction and usages.
      break;
  }
  if (onPost) onPost(event);
}

void InputInjector::record(Kind kind, unsigned detail, bool wheel) {
  record_->add({.kind = kind, .detail = detail, .time = clock_.now(), .wheel = wheel});
}

void InputInjector::userActivity() {
  sink_->resetIdleTimer();
  if (onUserActivity) onUserActivity();
}

// State --------------------------------------------------------------------------------------

InputRect InputInjector::displayBounds() const {
  std::lock_guard lock(mutex_);
  return displayBounds_;
}

void InputInjector::setDisplayBounds(InputRect bounds) {
  std::lock_guard lock(mutex_);
  if (bounds == displayBounds_) return;
  displayBounds_ = bounds;
  requestedCursor_.reset();
  lastClick_ = {};
}

std::optional<InputPoint> InputInjector::requestedCursor() const {
  std::lock_guard lock(mutex_);
  return requestedCursor_;
}

void InputInjector::setRequestedCursor(std::optional<InputPoint> point) {
  std::lock_guard lock(mutex_);
  requestedCursor_ = point;
}

std::set<MouseButton> InputInjector::buttonsDown() const {
  std::lock_guard lock(mutex_);
  return buttonsDown_;
}

std::set<uint16_t> InputInjector::modifiersDown() const {
  std::lock_guard lock(mutex_);
  return modifiersDown_;
}

std::set<uint16_t> InputInjector::keysDown() const {
  std::lock_guard lock(mutex_);
  std::set<uint16_t> usages;
  for (const auto& [code, usage] : keysDown_) usages.insert(usage);
  return usages;
}

void InputInjector::setCaretLocator(std::shared_ptr<CaretLocator> locator) {
  std::lock_guard lock(mutex_);
  caretLocator_ = std::move(locator);
}

std::optional<InputRect> InputInjector::caretRect() {
  std::shared_ptr<CaretLocator> locator;
  {
    std::lock_guard lock(mutex_);
    locator = caretLocator_;
  }
  if (!locator || !sink_->canInject()) return std::nullopt;
  return locator->caretRect();
}

}  // namespace ombrel
