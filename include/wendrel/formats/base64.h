#pragma once
// Base64's alphabet (RFC 4648) and its encoding, by whole groups of three
// bytes, for writers that place the text themselves (a MIME part's lines, a
// vCard's folded PHOTO).

#include <cstddef>

namespace wendrel::base64 {

inline constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Encodes `groups` whole groups of three bytes (4 characters each); returns
// the end of the text.
inline char* encodeGroups(const unsigned char* in, std::size_t groups, char* out) {
  for (std::size_t i = 0; i < groups; ++i, in += 3) {
    unsigned group = unsigned{in[0]} << 16 | unsigned{in[1]} << 8 | in[2];
    out[0] = kDigits[group >> 18];
    out[1] = kDigits[group >> 12 & 63];
    out[2] = kDigits[group >> 6 & 63];
    out[3] = kDigits[group & 63];
    out += 4;
  }
  return out;
}

// The last one or two bytes, padded with '='.
inline char* encodeTail(const unsigned char* in, std::size_t count, char* out) {
  unsigned group = unsigned{in[0]} << 16 | (count > 1 ? unsigned{in[1]} << 8 : 0u);
  *out++ = kDigits[group >> 18];
  *out++ = kDigits[group >> 12 & 63];
  *out++ = count > 1 ? kDigits[group >> 6 & 63] : '=';
  *out++ = '=';
  return out;
}

}  // namespace wendrel::base64
