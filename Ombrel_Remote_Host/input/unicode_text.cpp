#include "Ombrel_Remote_Host/input/unicode_text.h"

#include <algorithm>
#include <cstdint>

namespace ombrel::UnicodeText {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void appendUTF16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

std::u16string utf16FromUTF8(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<uint8_t>(utf8[i]);
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= utf8.size() || (static_cast<uint8_t>(utf8[j]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<uint8_t>(utf8[j]) & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // Resume at the first byte that was not a valid continuation.
      out.push_back(kReplacement);
      i = j;
      continue;
    }
    appendUTF16(out, cp);
    i = j;
  }
  return out;
}

std::vector<std::u16string_view> chunks(std::u16string_view text, std::size_t maxUnits) {
  std::vector<std::u16string_view> out;
  maxUnits = std::max<std::size_t>(2, maxUnits);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t length = std::min(maxUnits, text.size() - start);
    const std::size_t end = start + length;
    if (end < text.size() && isHigh(text[end - 1]) && isLow(text[end])) --length;
    out.push_back(text.substr(start, length));
    start += length;
  }
  return out;
}

std::u32string codePoints(std::u16string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (isHigh(u) && i + 1 < text.size() && isLow(text[i + 1])) {
      out.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (isHigh(u) || isLow(u)) {
      out.push_back(kReplacement);
    } else {
      out.push_back(u);
    }
  }
  return out;
}

}  // namespace ombrel::UnicodeText
