// A router's description is served by anything that answered SSDP. Reading it must stay
// linear and bounded, and a control point found in it always sits on the description's host.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "OmbrelKit/port_mapping.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrel::PortMapping;
  if (size > UPnP::maxDocumentSize + 16) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::string_view name : {"serviceType", "controlURL", "errorCode"}) {
    if (const auto value = UPnP::tag(text, name)) {
      if (value->size() > size) std::abort();
    }
  }
  const UPnP::URLParts location{"192.168.1.1", 5000, "/rootDesc.xml"};
  if (const auto router = UPnP::router(text, location)) {
    if (router->host != location.host || router->port == 0 ||
        !router->controlPath.starts_with('/') ||
        !router->service.starts_with(UPnP::servicePrefix)) {
      std::abort();
    }
    const auto name = std::string_view(router->service).substr(UPnP::servicePrefix.size());
    if (std::find(UPnP::wanServices.begin(), UPnP::wanServices.end(), name) ==
        UPnP::wanServices.end()) {
      std::abort();
    }
  }
  return 0;
}
