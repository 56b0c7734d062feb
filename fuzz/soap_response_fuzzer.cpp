// What a router answers to a GET or a SOAP POST, read until it closes: the HTTP reader and the
// SOAP reply must survive anything and never grow a body past what arrived.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include "OmbrelKit/port_mapping.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrel::PortMapping;
  if (size > maxHTTPResponseSize + 16) return 0;
  const auto response = parseHTTPResponse(ombrel::ByteView(data, size));
  if (!response) return 0;
  if (size > maxHTTPResponseSize || response->body.size() > size) std::abort();
  const auto reply = UPnP::soapReply("AddPortMapping", *response);
  if (std::holds_alternative<std::string>(reply) != (response->status == 200)) std::abort();
  if (const auto* fault = std::get_if<UPnP::SOAPFault>(&reply)) {
    if (!fault->description().starts_with("AddPortMapping failed")) std::abort();
  }
  return 0;
}
