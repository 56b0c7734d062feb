// NAT-PMP answers come from whatever answers on the gateway's port: the parser must survive
// anything, and what it returns must be what the bytes say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "OmbrelKit/port_mapping.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrel::PortMapping;
  if (size > maxDatagramSize) return 0;
  const ombrel::ByteView bytes(data, size);
  const auto response = NATPMP::parse(bytes);
  if (!response) return 0;
  if (size < 8 || data[0] != 0 || (data[1] & 0x80) == 0) std::abort();
  if (response->resultCode() != (data[2] << 8 | data[3])) std::abort();
  const std::uint8_t opcode = data[1] & 0x7F;
  if (NATPMP::answers(*response, opcode) != true) std::abort();
  if (const auto* address = response->externalAddress()) {
    if (opcode != NATPMP::opExternalAddress) std::abort();
    if (address->address.size() != (address->result == 0 ? 4u : 0u)) std::abort();
  } else {
    const auto* mapping = response->mapping();
    if (mapping->opcode != opcode || (opcode != NATPMP::opMapUDP && opcode != NATPMP::opMapTCP)) {
      std::abort();
    }
    if (mapping->result == 0 &&
        NATPMP::mapTCPRequest(mapping->internalPort, mapping->externalPort, mapping->lifetime) !=
            ombrel::concat(ombrel::Bytes{0, NATPMP::opMapTCP, 0, 0}, bytes.subspan(8, 8))) {
      std::abort();
    }
  }
  return 0;
}
