#include "base/base64.h"

#include <array>

namespace ombrel::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeTable() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr auto kTable = makeTable();

}  // namespace

std::string encode(ByteView bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.push_back(kAlphabet[v >> 6 & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  std::size_t left = bytes.size() - i;
  if (left == 1) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.append("==");
  } else if (left == 2) {
    std::uint32_t v = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(kAlphabet[v >> 18 & 63]);
    out.push_back(kAlphabet[v >> 12 & 63]);
    out.push_back(kAlphabet[v >> 6 & 63]);
    out.push_back('=');
  }
  return out;
}

std::optional<Bytes> decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int pad = 0;
    if (last) {
      if (text[i + 3] == '=') ++pad;
      if (pad && text[i + 2] == '=') ++pad;
    }
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      if (k >= 4 - pad) {
        v <<= 6;
        continue;
      }
      int8_t d = kTable[static_cast<unsigned char>(text[i + k])];
      if (d < 0) return std::nullopt;
      v = v << 6 | static_cast<std::uint32_t>(d);
    }
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

}  // namespace ombrel::base64
