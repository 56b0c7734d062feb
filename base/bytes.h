#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

// Owned byte buffer and a read-only view of one; the whole code base passes bytes this way.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string toString(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }
inline ByteView view(std::string_view text) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Lower-case hex, and its inverse (returns an empty buffer for odd length or a non-hex digit).
std::string hexString(ByteView bytes);
Bytes fromHex(std::string_view hex);

// Concatenation of any number of byte ranges.
template <typename... Parts>
Bytes concat(const Parts&... parts) {
  Bytes out;
  out.reserve((std::size(parts) + ...));
  (out.insert(out.end(), std::begin(parts), std::end(parts)), ...);
  return out;
}

}  // namespace ombrel
