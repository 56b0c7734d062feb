#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json_fwd.hpp>

namespace ombrel {

// Raw values are the JSON integers.
enum class MouseButton : std::int64_t { left = 0, right = 1, middle = 2 };
enum class ScrollPhase : std::int64_t { none = 0, began = 1, changed = 2, ended = 3, momentum = 4 };

std::optional<MouseButton> mouseButton(std::int64_t raw);
std::optional<ScrollPhase> scrollPhase(std::int64_t raw);

void readValue(const nlohmann::json& in, MouseButton& out);
nlohmann::json writeValue(MouseButton button);
void readValue(const nlohmann::json& in, ScrollPhase& out);
nlohmann::json writeValue(ScrollPhase phase);

// The cases of InputEvent; defined outside it so that they are complete (and default
// constructible) where the variant needs them.
namespace InputEventCase {

struct MoveTo {
  double x = 0;
  double y = 0;
  bool operator==(const MoveTo&) const = default;
};
struct MoveBy {
  double dx = 0;
  double dy = 0;
  bool operator==(const MoveBy&) const = default;
};
struct Button {
  MouseButton button = MouseButton::left;  // "_0"
  bool down = false;
  bool operator==(const Button&) const = default;
};
struct Scroll {
  double dx = 0;
  double dy = 0;
  ScrollPhase phase = ScrollPhase::none;
  bool operator==(const Scroll&) const = default;
};
struct Key {
  std::uint16_t hid = 0;  // USB HID usage (keyboard page)
  bool down = false;
  bool operator==(const Key&) const = default;
};
struct Text {
  std::string text;  // "_0"
  bool operator==(const Text&) const = default;
};
struct Magnify {
  double amount = 0;  // "_0"
  bool operator==(const Magnify&) const = default;
};
struct Pen {
  double x = 0;
  double y = 0;
  double pressure = 0;
  double tiltX = 0;
  double tiltY = 0;
  std::int64_t phase = 0;
  bool operator==(const Pen&) const = default;
};
struct ReleaseAll {
  bool operator==(const ReleaseAll&) const = default;
};

}  // namespace InputEventCase

// One input action of the remote user. JSON: an object with exactly one key, the case name,
// whose value holds the case's fields ("_0" for an unlabeled one), e.g.
//   {"button":{"_0":0,"down":true}}   {"text":{"_0":"hi"}}   {"releaseAll":{}}
// Coordinates of moveTo and pen are normalized to the streamed display (0..1).
struct InputEvent {
  using MoveTo = InputEventCase::MoveTo;
  using MoveBy = InputEventCase::MoveBy;
  using Button = InputEventCase::Button;
  using Scroll = InputEventCase::Scroll;
  using Key = InputEventCase::Key;
  using Text = InputEventCase::Text;
  using Magnify = InputEventCase::Magnify;
  using Pen = InputEventCase::Pen;
  using ReleaseAll = InputEventCase::ReleaseAll;

  using Case = std::variant<MoveTo, MoveBy, Button, Scroll, Key, Text, Magnify, Pen, ReleaseAll>;

  Case value;

  bool operator==(const InputEvent&) const = default;
};

// Decoding fails with NVError::invalid("Invalid number of keys found, expected one.") for an
// object with zero or several keys, and with NVError::invalid for an unknown case name.
void toJSON(nlohmann::json& out, const InputEvent& value);
void fromJSON(const nlohmann::json& in, InputEvent& value);

}  // namespace ombrel
