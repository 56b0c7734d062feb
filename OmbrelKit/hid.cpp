#include "OmbrelKit/hid.h"

#include <string_view>

namespace ombrel::HID {
namespace {

// Each punctuation key's unshifted and shifted character, US layout.
struct PunctuationKey {
  std::uint16_t usage;
  char plain;
  char shifted;
};

constexpr PunctuationKey kPunctuation[] = {
    {0x2D, '-', '_'},  {0x2E, '=', '+'}, {0x2F, '[', '{'},  {0x30, ']', '}'},
    {0x31, '\\', '|'}, {0x33, ';', ':'}, {0x34, '\'', '"'}, {0x35, '`', '~'},
    {0x36, ',', '<'},  {0x37, '.', '>'}, {0x38, '/', '?'},
};

// Shifted digits 1..9, 0 (usages 0x1E..0x27).
constexpr std::string_view kShiftedDigits = "!@#$%^&*()";

}  // namespace

std::optional<std::uint16_t> fKey(int n) {
  if (n < 1 || n > 24) return std::nullopt;
  if (n <= 12) return static_cast<std::uint16_t>(0x3A + n - 1);
  return static_cast<std::uint16_t>(0x68 + n - 13);
}

std::optional<Stroke> fromCharacter(char32_t c) {
  if (c == '\n' || c == '\r') return Stroke{returnKey, false};
  if (c == '\t') return Stroke{tab, false};
  if (c == ' ') return Stroke{space, false};
  if (c >= 'a' && c <= 'z') return Stroke{static_cast<std::uint16_t>(a + (c - 'a')), false};
  if (c >= 'A' && c <= 'Z') return Stroke{static_cast<std::uint16_t>(a + (c - 'A')), true};
  if (c >= '1' && c <= '9') return Stroke{static_cast<std::uint16_t>(0x1E + (c - '1')), false};
  if (c == '0') return Stroke{0x27, false};
  if (c >= 0x80) return std::nullopt;
  auto digit = kShiftedDigits.find(static_cast<char>(c));
  if (digit != std::string_view::npos)
    return Stroke{static_cast<std::uint16_t>(0x1E + digit), true};
  for (const auto& key : kPunctuation) {
    if (c == static_cast<char32_t>(key.plain)) return Stroke{key.usage, false};
    if (c == static_cast<char32_t>(key.shifted)) return Stroke{key.usage, true};
  }
  return std::nullopt;
}

}  // namespace ombrel::HID
