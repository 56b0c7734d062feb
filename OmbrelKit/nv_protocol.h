#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

// Constants both sides of the protocol agree on.
namespace NVProtocol {

inline constexpr int version = 2;
inline constexpr std::int64_t maxMessageSize = 67'108'864;     // 64 MiB
inline constexpr std::int64_t maxClipboardImage = 16'777'216;  // 16 MiB
inline constexpr std::string_view bonjourType = "_nerovalde._tcp";
inline constexpr std::uint16_t defaultPort = 47800;
inline constexpr std::uint16_t defaultRelayPort = 47900;
inline constexpr std::string_view handshakeMagic = "NVS2";

// Relay servers used when the user configured none.
const std::vector<std::string>& builtInRelays();

// The relay address list of the user's relay setting: "off" (any case) means none, empty means
// the built-in list, anything else is split at commas, semicolons and spaces.
std::vector<std::string> relays(std::string_view configured);

// "stun:host:3478" for every relay entry that parses; IPv6 hosts in brackets.
std::vector<std::string> stunServers(std::string_view configured);

}  // namespace NVProtocol

namespace HandshakeLimits {
// Largest frame payload accepted while the handshake runs.
inline constexpr std::uint32_t maxFrame = 256;
}  // namespace HandshakeLimits

namespace Frame {
// The reader's error text for a header announcing `length` (zero or over the limit).
std::string lengthErrorText(std::uint64_t length);
// Header plus type byte plus AEAD tag: the wire overhead of one session message.
inline constexpr std::int64_t sealedOverhead = 21;
}  // namespace Frame

}  // namespace ombrel
