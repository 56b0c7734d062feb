#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ombrel {

// A relay server address typed by the user: "host", "host:port", "[v6]", "[v6]:port" or a bare
// IPv6 literal. The port defaults to 47900.
struct RelayEndpoint {
  std::string host;
  std::uint16_t port = 47900;

  static std::optional<RelayEndpoint> parse(std::string_view text);

  bool operator==(const RelayEndpoint&) const = default;
};

}  // namespace ombrel
