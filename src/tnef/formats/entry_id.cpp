// One-off entry IDs (see entry_id.h).

#include "wendrel/formats/entry_id.h"

#include <array>
#include <cstring>

namespace wendrel::entryid {

namespace {

// MAPI's one-off provider, {A41F2B81-A3BE-1910-9D6E-00DD010F5402}, as stored.
constexpr std::array<std::uint8_t, 16> kOneOffProvider{0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                                       0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
// The wrapped entry ID's, {D3AD91C0-9D51-11CF-A4A9-00AA0047FAA4}.
constexpr std::array<std::uint8_t, 16> kWrappedProvider{0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11,
                                                        0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4};
constexpr std::uint16_t kUnicode = 0x8000;
constexpr std::size_t kHeader = 24;  // flags, provider, version, flags word

bool hasProvider(ByteView entry, const std::array<std::uint8_t, 16>& provider) {
  return entry.size() >= 20 && std::memcmp(entry.data() + 4, provider.data(), provider.size()) == 0;
}

// The string at offset up to its terminator (one zero byte, or one zero
// unit at an even distance for UTF-16LE); false when there is none.
bool takeString(ByteView entry, std::size_t& offset, bool unicode, ByteView& text) {
  if (offset >= entry.size()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(entry.data());
  std::size_t at = offset;
  if (unicode) {
    while (at + 1 < entry.size() && (bytes[at] | bytes[at + 1]) != 0) at += 2;
    if (at + 1 >= entry.size()) return false;
  } else {
    const void* zero = std::memchr(bytes + at, 0, entry.size() - at);
    if (zero == nullptr) return false;
    at = static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - bytes);
  }
  std::size_t unit = unicode ? 2 : 1;
  text = entry.sub(offset, at - offset);
  offset = at + unit;
  return true;
}

}  // namespace

Damage readOneOff(ByteView entry, OneOff& oneOff) {
  if (entry.size() < 20) return Damage::truncated;
  // A wrapped one-off: the wrapped header and a type whose kind is 0.
  if (hasProvider(entry, kWrappedProvider)) {
    if (entry.size() < 21) return Damage::truncated;
    if ((entry.byte(20) & 0x0F) != 0) return Damage::other;
    entry = entry.sub(21);
    if (entry.size() < 20) return Damage::truncated;
  }
  if (!hasProvider(entry, kOneOffProvider)) return Damage::other;
  if (entry.size() < kHeader) return Damage::truncated;
  oneOff.unicode = (entry.word(22) & kUnicode) != 0;
  std::size_t offset = kHeader;
  if (!takeString(entry, offset, oneOff.unicode, oneOff.displayName) ||
      !takeString(entry, offset, oneOff.unicode, oneOff.addressType) ||
      !takeString(entry, offset, oneOff.unicode, oneOff.address)) {
    return Damage::unterminated;
  }
  return Damage::none;
}

}  // namespace wendrel::entryid
