#pragma once
// UTF-16LE text, as MAPI stores Unicode strings, turned into UTF-8.

#include <cstddef>
#include <cstdint>

#include "wendrel/bytes.h"
#include "wendrel/formats/utf8.h"

namespace wendrel::utf16 {

constexpr bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
// The character a high and a low surrogate stand for together.
constexpr char32_t combine(char32_t high, char32_t low) { return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00); }

// The character whose first code unit is unit i of text (of units units, at
// most its size / 2; i below units), and how many units it takes; a surrogate
// without its partner is U+FFFD. Both units read lie below units, so they are
// read straight, without a check per byte.
inline char32_t decode(ByteView text, std::size_t i, std::size_t units, std::size_t& taken) {
  const std::uint8_t* p = text.data() + 2 * i;
  char32_t unit = p[0] | char32_t{p[1]} << 8;
  taken = 1;
  if (isHighSurrogate(unit) && i + 1 < units) {
    char32_t next = p[2] | char32_t{p[3]} << 8;
    if (isLowSurrogate(next)) {
      taken = 2;
      return combine(unit, next);
    }
  }
  return utf8::isSurrogate(unit) ? utf8::kReplacementCharacter : unit;
}

// The text up to its first zero unit (an odd last byte is no unit) as UTF-8,
// handed to write in blocks; false as soon as write returns false.
bool toUtf8Blocks(ByteView text, BlockSink write, void* context);

}  // namespace wendrel::utf16
