#include "Ombrel_Remote_Host/linux/x11/edid.h"

#include <algorithm>
#include <array>

namespace ombrel {

std::optional<std::string> edidMonitorName(ByteView edid) {
  constexpr std::array<std::uint8_t, 8> header = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  if (edid.size() < 128 || !std::equal(header.begin(), header.end(), edid.begin())) {
    return std::nullopt;
  }
  // Four 18-byte descriptors follow the timing data; a display descriptor starts with 0,0,0.
  for (std::size_t at : {54u, 72u, 90u, 108u}) {
    ByteView d = edid.subspan(at, 18);
    if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != 0xFC) continue;
    std::string name;
    for (std::size_t i = 5; i < 18 && d[i] != 0x0A; ++i) {
      // Printable ASCII only; anything else would reach the client's screen as garbage.
      if (d[i] < 0x20 || d[i] > 0x7E) return std::nullopt;
      name.push_back(static_cast<char>(d[i]));
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.empty()) return std::nullopt;
    return name;
  }
  return std::nullopt;
}

}  // namespace ombrel
