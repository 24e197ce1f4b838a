// Global object IDs of meetings, turned into iCalendar UIDs.

#include "wendrel/formats/global_object_id.h"

#include <array>
#include <cstring>
#include <string_view>

namespace wendrel::goid {

namespace {
constexpr std::string_view kVcalMarker = "vCal-Uid";
constexpr std::size_t kSizeOffset = 36;
}  // namespace

std::optional<ByteView> vcalUid(ByteView id) {
  constexpr std::size_t kMarkerVersionSize = 4;  // the dword 1 after the marker
  ByteView data = id.sub(kDataOffset, id.dword(kSizeOffset));
  if (data.size() < kVcalMarker.size() + kMarkerVersionSize ||
      std::memcmp(data.data(), kVcalMarker.data(), kVcalMarker.size()) != 0) {
    return std::nullopt;
  }
  ByteView text = data.sub(kVcalMarker.size() + kMarkerVersionSize);
  const void* nul = text.empty() ? nullptr : std::memchr(text.data(), '\0', text.size());
  if (nul != nullptr) text = text.sub(0, static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - text.data()));
  return text;
}

namespace {

// Hexadecimal of bytes, with the bytes from zeroAt on (zeroCount of them)
// written as zeros.
bool hexBlocks(ByteView bytes, std::size_t zeroAt, std::size_t zeroCount, BlockSink write, void* context) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<std::uint8_t, 1024> block;
  std::size_t used = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::uint8_t byte = i >= zeroAt && i - zeroAt < zeroCount ? 0 : bytes.data()[i];
    block[used++] = static_cast<std::uint8_t>(kDigits[byte >> 4]);
    block[used++] = static_cast<std::uint8_t>(kDigits[byte & 0xF]);
    if (used == block.size()) {
      if (!write(ByteView(block.data(), used), context)) return false;
      used = 0;
    }
  }
  return used == 0 || write(ByteView(block.data(), used), context);
}

}  // namespace

bool writeInstanceFreeHex(ByteView id, BlockSink write, void* context) {
  return hexBlocks(id, kInstanceDateOffset, kInstanceDateSize, write, context);
}

bool writeHex(ByteView bytes, BlockSink write, void* context) { return hexBlocks(bytes, 0, 0, write, context); }

}  // namespace wendrel::goid
