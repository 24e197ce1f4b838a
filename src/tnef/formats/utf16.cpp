// UTF-16LE to UTF-8 in blocks, for texts of any length.

#include "wendrel/formats/utf16.h"

namespace wendrel::utf16 {

bool toUtf8Blocks(ByteView text, BlockSink write, void* context) {
  constexpr std::size_t kBlock = 64 * 1024;
  char block[kBlock];
  char* p = block;
  auto handOver = [&] {
    bool written = p == block || write(ByteView(reinterpret_cast<const std::uint8_t*>(block),
                                                static_cast<std::size_t>(p - block)), context);
    p = block;
    return written;
  };
  std::size_t units = text.size() / 2;
  for (std::size_t i = 0, taken = 0; i < units && text.word(2 * i) != 0; i += taken) {
    if (block + kBlock - p < static_cast<std::ptrdiff_t>(utf8::kLongestCharacter) && !handOver()) return false;
    p = utf8::encode(p, decode(text, i, units, taken));
  }
  return handOver();
}

}  // namespace wendrel::utf16
