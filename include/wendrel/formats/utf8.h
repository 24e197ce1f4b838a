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

// The length of text without the incomplete character a cut may have left at
// its end: a lead byte in its last three bytes whose character runs past the
// end. Anything else is left as it stands.
constexpr std::size_t withoutCutCharacter(std::string_view text) {
  for (std::size_t back = 1; back <= kLongestCharacter - 1 && back <= text.size(); ++back) {
    auto byte = static_cast<std::uint8_t>(text[text.size() - back]);
    if (!isContinuation(static_cast<char>(byte))) {
      std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
      return length > back ? text.size() - back : text.size();
    }
  }
  return text.size();
}

// The length of the well-formed character at text[at] (shortest form, no
// surrogate, nothing above U+10FFFF), or 0 when none starts there.
constexpr std::size_t characterLength(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t lead = byte(at);
  std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                                                          : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
  if (length == 0 || length > text.size() - at) return 0;
  char32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(at + k) & 0xC0) != 0x80) return 0;
    c = c << 6 | (byte(at + k) & 0x3F);
  }
  if (encodedLength(c) != length || isSurrogate(c) || c > 0x10FFFF) return 0;
  return length;
}

// True when text is well-formed UTF-8.
constexpr bool isValid(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = characterLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace wendrel::utf8
