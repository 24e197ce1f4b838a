// Texts from the input made safe for a line of standard error (see mime.h).

#include <cstdint>
#include <string>
#include <string_view>

#include "wendrel/formats/utf8.h"
#include "wendrel/mime.h"

namespace wendrel::mime {

std::string printable(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string result;
  result.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = utf8::characterLength(text, at);
    auto byte = static_cast<std::uint8_t>(text[at]);
    bool control = byte < 0x20 || byte == 0x7F || (length == 2 && byte == 0xC2 && static_cast<std::uint8_t>(text[at + 1]) < 0xA0);
    if (length != 0 && !control) {
      result.append(text.substr(at, length));
      at += length;
      continue;
    }
    // Each byte of it: a control character's, or one that starts none.
    for (std::size_t end = at + (length != 0 ? length : 1); at < end; ++at) {
      auto b = static_cast<std::uint8_t>(text[at]);
      result += "\\x";
      result += kDigits[b >> 4];
      result += kDigits[b & 15];
    }
  }
  return result;
}

}  // namespace wendrel::mime
