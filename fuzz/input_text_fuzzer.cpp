// Typed text comes from the client: decoding, chunking and splitting into characters must
// keep every chunk whole and lose nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Ombrel_Remote_Host/input/unicode_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ombrel;
  if (size > 1 << 14) return 0;
  const std::u16string units =
      UnicodeText::utf16FromUTF8(std::string_view(reinterpret_cast<const char*>(data), size));
  std::size_t total = 0;
  for (std::u16string_view chunk : UnicodeText::chunks(units, 16)) {
    if (chunk.empty() || chunk.size() > 16) std::abort();
    total += chunk.size();
    // A chunk never ends on the first half of a pair whose second half starts the next.
    const char16_t last = chunk.back();
    const std::size_t next = total;
    if (last >= 0xD800 && last <= 0xDBFF && next < units.size() && units[next] >= 0xDC00 &&
        units[next] <= 0xDFFF) {
      std::abort();
    }
  }
  if (total != units.size()) std::abort();
  for (char32_t cp : UnicodeText::codePoints(units)) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) std::abort();
  }
  return 0;
}
