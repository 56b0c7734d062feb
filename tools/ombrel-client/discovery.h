#pragma once

// Finds hosts on the local network: an Avahi browse of "_nerovalde._tcp" that resolves every
// service it sees until `timeout` seconds have passed.

#include <cstdint>
#include <string>
#include <vector>

namespace ombrel {

struct DiscoveredHost {
  std::string name;
  std::string address;
  std::uint16_t port = 0;
  std::string hostID;  // the TXT record's "id"
};

// Throws std::runtime_error when the Avahi daemon cannot be reached.
std::vector<DiscoveredHost> discoverHosts(double timeout);

}  // namespace ombrel
