#pragma once

// The host's own addresses: the LAN IPv4 addresses the owner sees, and the "address:port" list
// advertised to authorized clients in the hello.
//
// Interface classes (Linux names): LAN "en", "eth", "wl"; tunnels "utun", "tun", "wg",
// "tailscale"; bridges "br", "bridge".
// - IPv4 is taken from every class.
// - IPv6 is taken from the LAN class only, global unicast (text begins with "2" or "3") and
//   without a scope suffix, so link-local and unique-local addresses are never advertised.
//
// Advertised list (empty while the listener has no port): the IPv4 addresses with 100.x (the
// shared range overlay networks use) after all others, then at most two IPv6 addresses in
// brackets, each with ":port"; then the router's external address when a mapping is active.
//
// Threading: plain functions; `systemInterfaces` reads the kernel's list and may be called from
// any thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ombrel {

struct InterfaceAddress {
  std::string name;     // interface name, "eth0"
  std::string address;  // numeric text, "192.168.1.20" or "2001:db8::5"
  bool ipv6 = false;

  bool operator==(const InterfaceAddress&) const = default;
};

// The addresses of interfaces that are up and not loopback; nothing when the list cannot be
// read.
using InterfaceWalk = std::function<std::optional<std::vector<InterfaceAddress>>()>;
std::optional<std::vector<InterfaceAddress>> systemInterfaces();

struct LocalAddresses {
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;

  bool operator==(const LocalAddresses&) const = default;
};

LocalAddresses selectAddresses(const std::vector<InterfaceAddress>& interfaces);

std::vector<std::string> advertisedAddresses(const LocalAddresses& local, std::uint16_t port,
                                             const std::optional<std::string>& mappedAddress);

}  // namespace ombrel
