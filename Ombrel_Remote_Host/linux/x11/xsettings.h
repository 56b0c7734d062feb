#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ombrel::XSettings {

// The integer setting `name` in the contents of an _XSETTINGS_SETTINGS property (the
// XSETTINGS manager's published settings). Nothing when the setting is absent, is not an
// integer, or the data is malformed: it is written by another client and read defensively.
std::optional<int32_t> integer(std::span<const uint8_t> data, std::string_view name);

}  // namespace ombrel::XSettings
