#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace ombrel::base64 {

// Standard alphabet with '=' padding.
std::string encode(ByteView bytes);
// Strict decoding: the length must be a multiple of four, padding only at the end, no other
// characters (no whitespace, no URL alphabet). Anything else yields nothing.
std::optional<Bytes> decode(std::string_view text);

}  // namespace ombrel::base64
