#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace ombrel {

// One display of the host as the client sees it in hostHello, streamStarted and the AI channel.
struct DisplayInfo {
  std::uint32_t id = 0;  // the platform's display identifier
  std::string name;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  double pointWidth = 0;
  double pointHeight = 0;
  double refreshRate = 0;  // Hz
  bool isMain = false;

  bool operator==(const DisplayInfo&) const = default;
};

void toJSON(nlohmann::json& out, const DisplayInfo& value);
void fromJSON(const nlohmann::json& in, DisplayInfo& value);

}  // namespace ombrel
