#pragma once

#include <cstdint>
#include <optional>

namespace ombrel {

// USB HID keyboard-page usages as clients send them in InputEvent::Key.
namespace HID {

inline constexpr std::uint16_t a = 0x04;
inline constexpr std::uint16_t returnKey = 0x28;
inline constexpr std::uint16_t escape = 0x29;
inline constexpr std::uint16_t backspace = 0x2A;
inline constexpr std::uint16_t tab = 0x2B;
inline constexpr std::uint16_t space = 0x2C;
inline constexpr std::uint16_t capsLock = 0x39;
inline constexpr std::uint16_t f1 = 0x3A;
inline constexpr std::uint16_t insert = 0x49;
inline constexpr std::uint16_t home = 0x4A;
inline constexpr std::uint16_t pageUp = 0x4B;
inline constexpr std::uint16_t deleteForward = 0x4C;
inline constexpr std::uint16_t end = 0x4D;
inline constexpr std::uint16_t pageDown = 0x4E;
inline constexpr std::uint16_t right = 0x4F;
inline constexpr std::uint16_t left = 0x50;
inline constexpr std::uint16_t down = 0x51;
inline constexpr std::uint16_t up = 0x52;
inline constexpr std::uint16_t leftControl = 0xE0;
inline constexpr std::uint16_t leftShift = 0xE1;
inline constexpr std::uint16_t leftAlt = 0xE2;
inline constexpr std::uint16_t leftGUI = 0xE3;
inline constexpr std::uint16_t rightControl = 0xE4;
inline constexpr std::uint16_t rightShift = 0xE5;
inline constexpr std::uint16_t rightAlt = 0xE6;
inline constexpr std::uint16_t rightGUI = 0xE7;
inline constexpr std::uint16_t volumeUp = 0x80;
inline constexpr std::uint16_t volumeDown = 0x81;
inline constexpr std::uint16_t mute = 0x7F;

// F1..F12 are 0x3A..0x45, F13..F24 are 0x68..0x73; nothing outside 1..24, where the plain
// formula would name unrelated keys (n = 0 would be caps lock).
std::optional<std::uint16_t> fKey(int n);

// The eight modifier keys, 0xE0..0xE7.
constexpr bool isModifier(std::uint16_t usage) { return (usage & 0xFFF8) == 0xE0; }

struct Stroke {
  std::uint16_t usage;
  bool shift;  // the character needs shift on a US layout
  bool operator==(const Stroke&) const = default;
};

// The key that types `c` on a US layout: letters (capitals with shift), digits, punctuation,
// space, tab, and newline or carriage return as return. Anything else has no usage.
std::optional<Stroke> fromCharacter(char32_t c);

}  // namespace HID

}  // namespace ombrel
