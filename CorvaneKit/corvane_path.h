#pragma once

// The category of network path a peer address arrived over, the first input of the access
// gate (corvane_access.h).

#include <optional>
#include <string_view>

namespace ombrel::Corvane {

enum class Path : int {
  local = 0,             // the LAN, loopback, link-local and private ranges
  internet = 1,          // anything public, and any name that is not ".local"
  compatibilityVPN = 2,  // the shared address ranges that overlay networks such as Tailscale use
};

// The path with this raw value; nothing outside 0...2.
std::optional<Path> pathFromRawValue(int rawValue);

// Classifies an address text as a socket reports it (an IPv4-mapped IPv6 address counts as its
// IPv4 address). Never fails: text that is not an address is `local` when it ends in ".local"
// and `internet` otherwise.
Path path(std::string_view address);

}  // namespace ombrel::Corvane
