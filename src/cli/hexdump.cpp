// The -d dump. Rows are formatted from a byte-to-two-digits table straight into
// the output buffer, a whole 32-byte row at a time.

#include <array>
#include <cstring>

#include "wendrel/cli.h"
#include "wendrel/output.h"

namespace wendrel::cli {

namespace {

constexpr std::size_t kRowBytes = 32;
constexpr std::size_t kGroupBytes = 4;
constexpr std::size_t kRowChars = 1 + kRowBytes / kGroupBytes * (1 + 2 * kGroupBytes);  // 73

constexpr std::array<char, 512> makeDigitPairs() {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (std::size_t i = 0; i < 256; ++i) {
    pairs[2 * i] = kDigits[i >> 4];
    pairs[2 * i + 1] = kDigits[i & 0xF];
  }
  return pairs;
}
constexpr std::array<char, 512> kDigitPairs = makeDigitPairs();

// Formats bytes [0, count) of a row that starts at a multiple of 32; returns the end.
char* formatRow(char* p, const std::uint8_t* bytes, std::size_t count) {
  *p++ = '\n';
  for (std::size_t i = 0; i < count; ++i) {
    if (i % kGroupBytes == 0) *p++ = ' ';
    std::memcpy(p, &kDigitPairs[2 * std::size_t{bytes[i]}], 2);
    p += 2;
  }
  return p;
}

}  // namespace

void writeHexDump(std::span<const std::uint8_t> bytes) {
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    std::size_t count = std::min(kRowBytes, bytes.size() - offset);
    out::commit(formatRow(out::reserve(kRowChars), bytes.data() + offset, count));
    offset += count;
  }
  out::ch('\n');
}

}  // namespace wendrel::cli
