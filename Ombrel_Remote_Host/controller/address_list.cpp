#include "Ombrel_Remote_Host/controller/address_list.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace ombrel {

namespace {

bool startsWithAny(std::string_view name, std::initializer_list<std::string_view> prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [name](std::string_view prefix) { return name.starts_with(prefix); });
}

bool isLanInterface(std::string_view name) { return startsWithAny(name, {"en", "eth", "wl"}); }

bool takesIPv4(std::string_view name) {
  return isLanInterface(name) ||
         startsWithAny(name, {"utun", "tun", "wg", "tailscale", "br", "bridge"});
}

constexpr std::size_t maxIPv6 = 2;

}  // namespace

std::optional<std::vector<InterfaceAddress>> systemInterfaces() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::vector<InterfaceAddress> result;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || !entry->ifa_name) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    std::array<char, NI_MAXHOST> host{};
    const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (getnameinfo(entry->ifa_addr, length, host.data(), host.size(), nullptr, 0,
                    NI_NUMERICHOST) != 0) {
      continue;
    }
    result.push_back({entry->ifa_name, host.data(), family == AF_INET6});
  }
  freeifaddrs(list);
  return result;
}

LocalAddresses selectAddresses(const std::vector<InterfaceAddress>& interfaces) {
  LocalAddresses local;
  for (const auto& entry : interfaces) {
    if (!entry.ipv6) {
      if (takesIPv4(entry.name)) local.ipv4.push_back(entry.address);
      continue;
    }
    const std::string_view text = entry.address;
    if (isLanInterface(entry.name) && (text.starts_with('2') || text.starts_with('3')) &&
        text.find('%') == std::string_view::npos) {
      local.ipv6.push_back(entry.address);
    }
  }
  return local;
}

std::vector<std::string> advertisedAddresses(const LocalAddresses& local, std::uint16_t port,
                                             const std::optional<std::string>& mappedAddress) {
  std::vector<std::string> result;
  if (port == 0) return result;
  const std::string suffix = ":" + std::to_string(port);
  std::vector<std::string> ipv4 = local.ipv4;
  std::stable_partition(ipv4.begin(), ipv4.end(),
                        [](const std::string& address) { return !address.starts_with("100."); });
  for (const auto& address : ipv4) result.push_back(address + suffix);
  for (std::size_t i = 0; i < local.ipv6.size() && i < maxIPv6; ++i) {
    result.push_back("[" + local.ipv6[i] + "]" + suffix);
  }
  if (mappedAddress) result.push_back(*mappedAddress);
  return result;
}

}  // namespace ombrel
