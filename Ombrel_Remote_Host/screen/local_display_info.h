#pragma once

#include <cstdint>
#include <string>

namespace ombrel {

// One active display as the client sees it. Field for field the wire record of the message
// catalogue; kept here until that record is available to the screen layer.
struct LocalDisplayInfo {
  std::uint32_t id = 0;
  std::string name;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  double pointWidth = 0;
  double pointHeight = 0;
  double refreshRate = 0;
  bool isMain = false;

  bool operator==(const LocalDisplayInfo&) const = default;
};

}  // namespace ombrel
