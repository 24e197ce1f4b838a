#pragma once
// Message bodies in the compressed-RTF form (the PR_RTF_COMPRESSED property).
//
// A value is a 16-byte header of four little-endian dwords, COMPSIZE (bytes
// after this field), RAWSIZE (bytes of RTF), COMPTYPE and CRC, then
// COMPSIZE - 12 bytes of data: the RTF itself ("MELA", stored) or LZ77 tokens
// over a 4096-byte dictionary that starts with common RTF text ("LZFu").
//
// Decoding is in two passes so that memory stays fixed whatever the header
// claims: inspectCompressedRtf() checks the header, the CRC and the whole token
// stream without producing anything, and expandCompressedRtf() then writes the
// RTF of a sound value through a fixed block buffer.

#include <cstdint>
#include <string_view>

#include "wendrel/bytes.h"

namespace wendrel {

enum class RtfDamage : std::uint8_t {
  none,
  tooShort,        // fewer than 16 bytes: no whole header
  badCompSize,     // COMPSIZE below 12, or the data it claims reaches past the value
  unknownType,     // COMPTYPE is neither "MELA" nor "LZFu"
  badCrc,          // LZFu: the data's CRC differs from the header's
  noEndMark,       // LZFu: the data ends after a whole group, before the end mark
  truncated,       // LZFu: the data ends inside a group or inside a reference
  tooFewBytes,     // LZFu: the end mark comes before RAWSIZE bytes
  storedTooShort,  // MELA: RAWSIZE exceeds the data
};

// The enumerator's name ("badCrc"), for messages and test reports.
std::string_view rtfDamageName(RtfDamage damage);

struct CompressedRtf {
  RtfDamage damage = RtfDamage::none;  // none: sound
  bool stored = false;                 // MELA (stored as it is), else LZFu (compressed)
  std::uint32_t rawSize = 0;
  ByteView data;  // the COMPSIZE - 12 bytes after the header
};

inline constexpr std::uint32_t kRtfStored = 0x414C454D;      // "MELA"
inline constexpr std::uint32_t kRtfCompressed = 0x75465A4C;  // "LZFu"

// Checks the header and, for LZFu, the CRC and every token up to the end mark.
CompressedRtf inspectCompressedRtf(ByteView value);

// CRC-32 with the reflected polynomial 0xEDB88320, from 0, with no final inversion.
std::uint32_t compressedRtfCrc(ByteView data);

// Hands the rawSize bytes of RTF of a sound value (damage == none) to write.
// Returns true when all were handed over; false as soon as write returns false,
// at once for a damaged value, and when the data runs out first (only a value
// that did not come from inspectCompressedRtf can). A stored body comes as one
// piece, a compressed one in blocks of at most kRtfBlockSize bytes. Nothing is
// allocated: the work space, about 70 KiB, is on the stack.
inline constexpr std::size_t kRtfBlockSize = 64 * 1024;
bool expandCompressedRtf(const CompressedRtf& rtf, BlockSink write, void* context);

}  // namespace wendrel
