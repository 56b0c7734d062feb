#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace ombrel {

// Wake-on-LAN: hardware addresses and the magic packet.
namespace WakeOnLAN {

// "aa:bb:cc:dd:ee:ff" or "AA-BB-CC-DD-EE-FF" (":" and "-" both separate; empty parts are
// dropped). Exactly six parts, each a hexadecimal number up to 0xFF; anything else: nothing.
std::optional<std::array<uint8_t, 6>> parseMAC(std::string_view text);

// Six 0xFF bytes, then the address sixteen times: 102 bytes.
Bytes magicPacket(const std::array<uint8_t, 6>& mac);

}  // namespace WakeOnLAN

// Sends magic packets from this host's own networks.
//
// Threading: synchronous and stateless; `wake` blocks its caller for the few sends it makes.
namespace HostWake {

inline constexpr uint16_t primaryPort = 9;
inline constexpr uint16_t secondaryPort = 7;

// 255.255.255.255 first, then the broadcast address of every IPv4 interface that is up, can
// broadcast and is not loopback, in the system's order, each once. Addresses in network byte
// order.
std::vector<uint32_t> broadcastAddresses();

// As many addresses as the log line names: a request is served for its first 32 only, so one
// message cannot make the host send an unbounded number of packets.
inline constexpr std::size_t maxAddresses = 32;

// For every valid address among the first `maxAddresses`, in order: the magic packet to each
// broadcast address, on port 9 and then port 7. Invalid addresses are skipped. Returns how many
// sends went out whole.
int wake(const std::vector<std::string>& macAddresses);

// The log line of a wake request: the addresses as a list and the count.
std::string logLine(const std::vector<std::string>& macAddresses, int sent);

}  // namespace HostWake
}  // namespace ombrel
