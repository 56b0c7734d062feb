#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace ombrel {

// USB HID keyboard usages to Mac virtual key codes: the key numbering clients grew up with, kept
// in the protocol library as the reference table for the 118 keys the protocol knows. Print
// screen, scroll lock and pause (0x46..0x48) and every unlisted usage have no key.
namespace MacKeyMap {

struct Entry {
  std::uint16_t hid;
  std::uint16_t virtualKey;
};

// Every entry, letters first, then digits, then the rest.
std::span<const Entry> entries();

std::optional<std::uint16_t> virtualKey(std::uint16_t hid);

}  // namespace MacKeyMap

}  // namespace ombrel
