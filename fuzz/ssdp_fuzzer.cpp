// Anything on the LAN may answer an SSDP search. A location is only ever an http URL on the
// responder's own local address, and splitURL's parts keep their promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "OmbrelKit/port_mapping.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrel::PortMapping;
  if (size > 2 * maxDatagramSize) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view responder = "192.168.1.1";
  if (const auto url = UPnP::location(text, responder)) {
    const auto parts = UPnP::splitURL(*url);
    if (!parts || parts->host != responder || size > maxDatagramSize) std::abort();
  }
  if (const auto parts = UPnP::splitURL(text)) {
    if (!parseIPv4(parts->host) || parts->port == 0 || !parts->path.starts_with('/')) {
      std::abort();
    }
    for (char c : parts->path) {
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') std::abort();
    }
  }
  if (const auto address = parseIPv4(text)) {
    if (parseIPv4(formatIPv4(*address)) != address) std::abort();
    if (isLocalIPv4(text) && isPublicIPv4(text)) std::abort();
  }
  return 0;
}
