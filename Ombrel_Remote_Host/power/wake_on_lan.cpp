#include "Ombrel_Remote_Host/power/wake_on_lan.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace ombrel {

std::optional<std::array<uint8_t, 6>> WakeOnLAN::parseMAC(std::string_view text) {
  std::array<uint8_t, 6> mac{};
  std::size_t parts = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(":-", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view part = text.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    if (parts == mac.size()) return std::nullopt;
    unsigned value = 0;
    for (char c : part) {
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return std::nullopt;
      }
      value = value * 16 + digit;
      if (value > 0xFF) return std::nullopt;
    }
    mac[parts++] = static_cast<uint8_t>(value);
  }
  if (parts != mac.size()) return std::nullopt;
  return mac;
}

Bytes WakeOnLAN::magicPacket(const std::array<uint8_t, 6>& mac) {
  Bytes packet(6, 0xFF);
  packet.reserve(6 + 16 * mac.size());
  for (int i = 0; i < 16; ++i) packet.insert(packet.end(), mac.begin(), mac.end());
  return packet;
}

std::vector<uint32_t> HostWake::broadcastAddresses() {
  std::vector<uint32_t> out{htonl(INADDR_BROADCAST)};
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    const unsigned flags = i->ifa_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK)) continue;
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!i->ifa_broadaddr || i->ifa_broadaddr->sa_family != AF_INET) continue;
    const uint32_t address =
        reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
    if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
  }
  freeifaddrs(list);
  return out;
}

int HostWake::wake(const std::vector<std::string>& macAddresses) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  int sent = 0;
  if (!macAddresses.empty()) {
    const std::vector<uint32_t> targets = broadcastAddresses();
    const std::size_t served = std::min(macAddresses.size(), maxAddresses);
    for (std::size_t i = 0; i < served; ++i) {
      const std::string& text = macAddresses[i];
      const auto mac = WakeOnLAN::parseMAC(text);
      if (!mac) continue;
      const Bytes packet = WakeOnLAN::magicPacket(*mac);
      for (uint32_t address : targets) {
        for (uint16_t port : {primaryPort, secondaryPort}) {
          sockaddr_in to{};
          to.sin_family = AF_INET;
          to.sin_port = htons(port);
          to.sin_addr.s_addr = address;
          const ssize_t n = sendto(fd, packet.data(), packet.size(), 0,
                                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
          if (n == static_cast<ssize_t>(packet.size())) ++sent;
        }
      }
    }
  }
  close(fd);
  return sent;
}

std::string HostWake::logLine(const std::vector<std::string>& macAddresses, int sent) {
  // ["aa:bb:cc:dd:ee:ff", ...]; a long request is cut short so one message cannot flood the log.
  constexpr std::size_t shown = maxAddresses;
  std::string list = "[";
  for (std::size_t i = 0; i < macAddresses.size(); ++i) {
    if (i) list += ", ";
    if (i == shown) {
      list += "... " + std::to_string(macAddresses.size() - shown) + " more";
      break;
    }
    list += '"';
    for (char c : macAddresses[i]) {
      // Only printable characters; anything else from the client is shown as '?'.
      list += (c >= 0x20 && c < 0x7F && c != '"') ? c : '?';
    }
    list += '"';
  }
  list += "]";
  return "Ombrel Remote: wake-on-LAN for " + list + " sent " + std::to_string(sent) + " packets";
}

}  // namespace ombrel
