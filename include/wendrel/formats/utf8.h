#pragma once
// UTF-8 as every decoder here writes it: one character at a time, and cuts
// that never split a character.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace wendrel::utf8 {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;
inline constexpr std::size_t kLongestCharacter = 4;

constexpr bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
constexpr bool isContinuation(char byte) { return (static_cast<std::uint8_t>(byte) & 0xC0) == 0x80; }

constexpr std::size_t encodedLength(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Writes c (a scalar value: not a surrogate, at most U+10FFFF) at p and
// returns the end.
inline char* encode(char* p, char32_t c) {
  static constexpr std::uint8_t kLead[] = {0, 0x00, 0xC0, 0xE0, 0xF0};
  std::size_t length = encodedLength(c);
  for (std::size_t k = length; k-- > 1; c >>= 6) p[k] = static_cast<char>(0x80 | (c & 0x3F));
  p[0] = static_cast<char>(kLead[length] | c);
  return p + length;
}

// The longest prefix of text of at most limit bytes that ends between two
// characters: the cut moves back over continuation bytes, at most the three
// one character has (text that is not UTF-8 is cut where it stands).
constexpr std::size_t cutLength(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t cut = limit;
  while (cut > 0 && limit - cut < kLongestCharacter - 1 && isContinuation(text[cut])) --cut;
  return isContinuation(text[cut]) ? limit : cut;
}

}  // namespace wendrel::utf8
