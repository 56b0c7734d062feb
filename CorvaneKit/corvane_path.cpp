#include "CorvaneKit/corvane_path.h"

#include <array>
#include <cstdint>
#include <string>

namespace ombrel::Corvane {
namespace {

std::optional<std::array<int, 4>> ipv4Octets(std::string_view text) {
  std::array<int, 4> octets{};
  size_t index = 0;
  for (;;) {
    size_t dot = text.find('.');
    std::string_view part = text.substr(0, dot);
    if (index == 4 || part.empty()) return std::nullopt;
    int value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
      if (value > 255) return std::nullopt;
    }
    octets[index++] = value;
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  if (index != 4) return std::nullopt;
  return octets;
}

Path ipv4Path(const std::array<int, 4>& o) {
  if (o[0] == 10 || o[0] == 127 || (o[0] == 169 && o[1] == 254) ||
      (o[0] == 172 && o[1] >= 16 && o[1] <= 31) || (o[0] == 192 && o[1] == 168)) {
    return Path::local;
  }
  if (o[0] == 100 && o[1] >= 64 && o[1] <= 127) return Path::compatibilityVPN;
  return Path::internet;
}

}  // namespace

std::optional<Path> pathFromRawValue(int rawValue) {
  if (rawValue < 0 || rawValue > 2) return std::nullopt;
  return static_cast<Path>(rawValue);
}

Path path(std::string_view address) {
  std::string text(address);
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string_view rest = text;
  while (rest.starts_with("::ffff:")) rest.remove_prefix(7);

  if (auto octets = ipv4Octets(rest)) return ipv4Path(*octets);
  if (rest.starts_with("fd7a:115c:a1e0:")) return Path::compatibilityVPN;
  if (rest == "::1" || rest.starts_with("fe80:")) return Path::local;
  if (rest.find(':') != std::string_view::npos &&
      (rest.starts_with("fc") || rest.starts_with("fd")))
    return Path::local;
  return rest.ends_with(".local") ? Path::local : Path::internet;
}

}  // namespace ombrel::Corvane
