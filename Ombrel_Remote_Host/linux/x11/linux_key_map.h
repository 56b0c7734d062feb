#pragma once

#include <cstdint>
#include <optional>

namespace ombrel {

// USB HID keyboard usages (page 7) to Linux input-event key codes, the codes the X server's
// evdev keymap is built on (X keycode = evdev code + 8). It covers the same usages the
// protocol library's MacKeyMap covers, so a key the client can send behaves the same on
// every host; print screen, scroll lock and pause have no key there and none here.
namespace LinuxKeyMap {

inline constexpr unsigned xKeycodeOffset = 8;

std::optional<uint16_t> evdevCode(uint16_t hidUsage);
std::optional<unsigned> xKeycode(uint16_t hidUsage);

// Every usage the table knows, ascending.
const uint16_t* usagesBegin();
const uint16_t* usagesEnd();

}  // namespace LinuxKeyMap
}  // namespace ombrel
