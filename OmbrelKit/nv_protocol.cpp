#include "OmbrelKit/nv_protocol.h"

#include <algorithm>
#include <cctype>

#include "CorvaneKit/relay_endpoint.h"

namespace ombrel {
namespace {

bool isSpace(unsigned char c) { return std::isspace(c) != 0; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isSpace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && isSpace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

}  // namespace

const std::vector<std::string>& NVProtocol::builtInRelays() {
  static const std::vector<std::string> relays;
  return relays;
}

std::vector<std::string> NVProtocol::relays(std::string_view configured) {
  std::string_view trimmed = trim(configured);
  std::string lower(trimmed);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "off") return {};
  if (trimmed.empty()) return builtInRelays();
  std::vector<std::string> out;
  std::string piece;
  for (char c : trimmed) {
    if (c == ',' || c == ';' || c == ' ') {
      if (!piece.empty()) out.push_back(std::move(piece));
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  if (!piece.empty()) out.push_back(std::move(piece));
  return out;
}

std::vector<std::string> NVProtocol::stunServers(std::string_view configured) {
  std::vector<std::string> out;
  for (const auto& entry : relays(configured)) {
    auto endpoint = RelayEndpoint::parse(entry);
    if (!endpoint) continue;
    if (endpoint->host.find(':') != std::string::npos) {
      out.push_back("stun:[" + endpoint->host + "]:3478");
    } else {
      out.push_back("stun:" + endpoint->host + ":3478");
    }
  }
  return out;
}

std::string Frame::lengthErrorText(std::uint64_t length) {
  return "frame length " + std::to_string(length);
}

}  // namespace ombrel
