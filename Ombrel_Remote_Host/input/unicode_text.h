#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::UnicodeText {

// UTF-8 to UTF-16; malformed sequences become U+FFFD, so nothing after them is lost.
std::u16string utf16FromUTF8(std::string_view utf8);

// Consecutive pieces of at most `maxUnits` code units. A piece never ends between the two
// halves of a surrogate pair: a character split across two typed pieces would arrive as two
// broken halves, so such a piece ends one unit early.
std::vector<std::u16string_view> chunks(std::u16string_view text, std::size_t maxUnits);

// The code points of a UTF-16 text; lone surrogates become U+FFFD.
std::u32string codePoints(std::u16string_view text);

}  // namespace ombrel::UnicodeText
