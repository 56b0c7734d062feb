#include "CorvaneKit/relay_endpoint.h"

#include <algorithm>
#include <cctype>

namespace ombrel {
namespace {

constexpr std::uint16_t kDefaultRelayPort = 47900;

bool isSpace(unsigned char c) { return std::isspace(c) != 0; }

std::optional<std::uint16_t> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<RelayEndpoint> RelayEndpoint::parse(std::string_view text) {
  while (!text.empty() && isSpace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && isSpace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;

  RelayEndpoint endpoint;
  if (text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    endpoint.host = std::string(text.substr(1, close - 1));
    std::string_view after = text.substr(close + 1);
    if (after.empty()) {
      endpoint.port = kDefaultRelayPort;
    } else {
      if (after.front() != ':') return std::nullopt;
      auto port = parsePort(after.substr(1));
      if (!port) return std::nullopt;
      endpoint.port = *port;
    }
  } else {
    auto colons = std::count(text.begin(), text.end(), ':');
    if (colons == 1) {
      auto colon = text.rfind(':');
      endpoint.host = std::string(text.substr(0, colon));
      auto port = parsePort(text.substr(colon + 1));
      if (!port) return std::nullopt;
      endpoint.port = *port;
    } else {
      endpoint.host = std::string(text);
      endpoint.port = kDefaultRelayPort;
    }
  }

  if (endpoint.host.empty()) return std::nullopt;
  for (unsigned char c : endpoint.host) {
    if (isSpace(c) || c == '[' || c == ']') return std::nullopt;
  }
  return endpoint;
}

}  // namespace ombrel
