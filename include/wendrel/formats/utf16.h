#pragma once
// UTF-16LE text, as MAPI stores Unicode strings, turned into UTF-8.

#include <cstddef>
#include <cstdint>

#include "wendrel/bytes.h"
#include "wendrel/formats/utf8.h"

namespace wendrel::utf16 {

constexpr bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The character whose first code unit is unit i of text (of units units), and
// how many units it takes; a surrogate without its partner is U+FFFD.
inline char32_t decode(ByteView text, std::size_t i, std::size_t units, std::size_t& taken) {
  char32_t unit = text.word(2 * i);
  taken = 1;
  if (isHighSurrogate(unit) && i + 1 < units && isLowSurrogate(text.word(2 * i + 2))) {
    taken = 2;
    return 0x10000 + ((unit - 0xD800) << 10) + (text.word(2 * i + 2) - 0xDC00);
  }
  return utf8::isSurrogate(unit) ? utf8::kReplacementCharacter : unit;
}

// The text up to its first zero unit (an odd last byte is no unit) as UTF-8,
// handed to write in blocks; false as soon as write returns false.
bool toUtf8Blocks(ByteView text, BlockSink write, void* context);

}  // namespace wendrel::utf16
