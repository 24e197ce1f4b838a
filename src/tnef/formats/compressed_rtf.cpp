// Compressed-RTF bodies: the header checks, the CRC, the token scan that finds
// the end mark without producing anything, and the block-wise expansion.

#include "wendrel/formats/compressed_rtf.h"

#include <array>
#include <bit>
#include <cstring>

namespace wendrel {

namespace {

constexpr std::size_t kHeaderSize = 16;
constexpr std::uint32_t kCountedHeader = 12;  // RAWSIZE, COMPTYPE and CRC are part of COMPSIZE

// ---- The CRC, eight bytes a step (a table per byte position) ----

using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables makeCrcTables() {
  CrcTables tables{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t crc = n;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    tables[0][n] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t n = 0; n < 256; ++n) tables[k][n] = (tables[k - 1][n] >> 8) ^ tables[0][tables[k - 1][n] & 0xFF];
  }
  return tables;
}
constexpr CrcTables kCrcTables = makeCrcTables();

std::uint32_t crcOfEight(std::uint32_t crc, std::uint32_t low, std::uint32_t high) {
  const CrcTables& t = kCrcTables;
  crc ^= low;
  return t[7][crc & 0xFF] ^ t[6][crc >> 8 & 0xFF] ^ t[5][crc >> 16 & 0xFF] ^ t[4][crc >> 24] ^
         t[3][high & 0xFF] ^ t[2][high >> 8 & 0xFF] ^ t[1][high >> 16 & 0xFF] ^ t[0][high >> 24];
}

// ---- The dictionary ----

constexpr std::string_view kInitialDictionary =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern \\fscript "
    "\\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0\\blue0\r\n"
    "\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kInitialDictionary.size() == 207);

constexpr std::size_t kDictionarySize = 4096;
constexpr std::size_t kDictionaryMask = kDictionarySize - 1;
constexpr std::size_t kFirstWrite = kInitialDictionary.size();
constexpr std::size_t kGroupTokens = 8;
constexpr std::size_t kLongestGroup = 1 + kGroupTokens * 2;  // control byte and eight references
constexpr std::size_t kLongestReference = 15 + 2;

// A reference is two big-endian bytes: a 12-bit dictionary offset, then the length less 2.
std::uint32_t referenceAt(ByteView data, std::size_t at) {
  return std::uint32_t{data.byte(at)} << 8 | data.byte(at + 1);
}
std::size_t referenceOffset(std::uint32_t reference) { return reference >> 4; }
std::size_t referenceLength(std::uint32_t reference) { return (reference & 15) + 2; }

// ---- The check pass: where the dictionary is written next is all the state
// that finding the end mark needs, so nothing is produced. ----

struct TokenScan {
  RtfDamage damage = RtfDamage::none;
  std::size_t at = 0;             // next data byte
  std::uint64_t produced = 0;     // bytes before the end mark; 64 bits never overflow here
  std::size_t write = kFirstWrite;
};

// Steps over one token whose bytes are there; true when it is the end mark.
bool scanToken(ByteView data, TokenScan& scan, std::uint32_t isReference) {
  std::uint32_t reference = referenceAt(data, scan.at);
  if (isReference != 0 && referenceOffset(reference) == scan.write) return true;
  std::size_t length = isReference != 0 ? referenceLength(reference) : 1;
  scan.at += 1 + isReference;
  scan.produced += length;
  scan.write = (scan.write + length) & kDictionaryMask;
  return false;
}

// A group followed by room for eight references: no token can run short, so
// only the references need a look. A literal yields one byte and takes one.
bool scanWholeGroup(ByteView data, TokenScan& scan) {
  std::uint32_t references = data.byte(scan.at);
  std::size_t tokens = scan.at + 1;
  std::size_t seen = 0;    // references before the current one
  std::size_t copied = 0;  // bytes they yield
  for (; references != 0; references &= references - 1, ++seen) {
    std::size_t token = static_cast<std::size_t>(std::countr_zero(references));
    std::size_t before = token - seen + copied;  // bytes this group yields before the reference
    std::uint32_t reference = referenceAt(data, tokens + token + seen);
    if (referenceOffset(reference) == ((scan.write + before) & kDictionaryMask)) {
      scan.produced += before;
      return true;
    }
    copied += referenceLength(reference);
  }
  std::size_t yielded = kGroupTokens - seen + copied;
  scan.at = tokens + kGroupTokens + seen;
  scan.produced += yielded;
  scan.write = (scan.write + yielded) & kDictionaryMask;
  return false;
}

// The last groups, where the data may end inside a group or a reference.
RtfDamage scanLastGroups(ByteView data, TokenScan& scan) {
  while (scan.at < data.size()) {
    std::uint32_t control = data.byte(scan.at++);
    for (std::size_t bit = 0; bit < kGroupTokens; ++bit) {
      std::uint32_t isReference = control >> bit & 1;
      if (!data.contains(scan.at, 1 + isReference)) return RtfDamage::truncated;
      if (scanToken(data, scan, isReference)) return RtfDamage::none;
    }
  }
  return RtfDamage::noEndMark;
}

TokenScan scanTokens(ByteView data) {
  TokenScan scan;
  while (data.size() - scan.at >= kLongestGroup) {
    if (scanWholeGroup(data, scan)) return scan;
  }
  scan.damage = scanLastGroups(data, scan);
  return scan;
}

// ---- The write pass ----

// Copies in whole 8-byte pieces, so up to 24 bytes land past the copy's start.
constexpr std::size_t kPiece = 8;
constexpr std::size_t kCopyReach = 3 * kPiece;
static_assert(kCopyReach >= kLongestReference);

void copyPiece(std::uint8_t* to, const std::uint8_t* from) { std::memcpy(to, from, kPiece); }

// For a run that repeats every d < 8 bytes: d times the smallest count that
// reaches 8, a distance at which whole pieces copy the same repeat.
constexpr std::array<std::size_t, kPiece> kRepeatStep{0, 8, 8, 9, 8, 10, 12, 14};

constexpr std::array<std::array<std::uint8_t, kPiece>, kPiece> makeCycles() {
  std::array<std::array<std::uint8_t, kPiece>, kPiece> cycles{};
  for (std::size_t d = 1; d < kPiece; ++d) {
    for (std::size_t k = 0; k < kPiece; ++k) cycles[d][k] = static_cast<std::uint8_t>(k % d);
  }
  return cycles;
}
constexpr auto kCycles = makeCycles();

// Writes the bytes of a reference distance back (1 to 4095) at to, as the byte
// by byte copy would, and up to kCopyReach bytes of scratch after them.
void copyReference(std::uint8_t* to, std::size_t distance) {
  if (distance >= kPiece) {
    // Each piece reads only bytes written before it, even when the copy overlaps.
    copyPiece(to, to - distance);
    copyPiece(to + kPiece, to + kPiece - distance);
    copyPiece(to + 2 * kPiece, to + 2 * kPiece - distance);
    return;
  }
  if (distance == 1) {  // the commonest run, one byte repeated: no byte stores for pieces to read
    std::memset(to, to[-1], kCopyReach);
    return;
  }
  const std::uint8_t* from = to - distance;
  for (std::size_t k = 0; k < kPiece; ++k) to[k] = from[kCycles[distance][k]];
  std::size_t step = kRepeatStep[distance];
  copyPiece(to + kPiece, to + kPiece - step);
  copyPiece(to + 2 * kPiece, to + 2 * kPiece - step);
}

// The last 4096 bytes written to the dictionary, laid out straight rather than
// as a ring, followed by the block being filled. Index i holds dictionary slot
// i mod 4096, so a reference reaches (i - offset) mod 4096 bytes back.
class Window {
 public:
  Window() {
    std::memset(bytes_.data() + kHistoryStart, 0, kDictionarySize - kFirstWrite);
    std::memcpy(bytes_.data() + kDictionarySize, kInitialDictionary.data(), kFirstWrite);
  }

  std::size_t pending() const { return end_ - kBlockStart; }
  ByteView block(std::size_t size) const { return ByteView(bytes_.data() + kBlockStart, size); }

  // Drops the first kRtfBlockSize bytes of the block, keeping the dictionary.
  void dropBlock() {
    std::memmove(bytes_.data() + kHistoryStart, bytes_.data() + kHistoryStart + kRtfBlockSize,
                 end_ - kRtfBlockSize - kHistoryStart);
    end_ -= kRtfBlockSize;
  }

  // Decodes the group at data[at]; true at the end mark. Reads past the data
  // see zeros, which keeps a value that inspection did not pass harmless.
  bool group(ByteView data, std::size_t& at) {
    // Positions in locals: the byte stores could alias the members and references.
    std::size_t next = at;
    std::size_t end = end_;
    std::uint32_t control = data.byte(next++);
    bool ended = control == 0 ? copyLiterals(data, next, end) : decodeTokens(control, data, next, end);
    at = next;
    end_ = end;
    return ended;
  }

 private:
  bool copyLiterals(ByteView data, std::size_t& at, std::size_t& end) {
    for (std::size_t k = 0; k < kGroupTokens; ++k) bytes_[end + k] = data.byte(at + k);
    at += kGroupTokens;
    end += kGroupTokens;
    return false;
  }

  bool decodeTokens(std::uint32_t control, ByteView data, std::size_t& at, std::size_t& end) {
    for (std::size_t bit = 0; bit < kGroupTokens; ++bit) {
      if ((control >> bit & 1) == 0) {
        bytes_[end++] = data.byte(at++);
        continue;
      }
      std::uint32_t reference = referenceAt(data, at);
      at += 2;
      std::size_t distance = (end - referenceOffset(reference)) & kDictionaryMask;
      if (distance == 0) return true;
      copyReference(bytes_.data() + end, distance);
      end += referenceLength(reference);
    }
    return false;
  }

  static constexpr std::size_t kBlockStart = kDictionarySize + kFirstWrite;  // slot kFirstWrite
  static constexpr std::size_t kHistoryStart = kBlockStart - kDictionarySize;
  // A group starts below the block's end and adds at most eight references.
  static constexpr std::size_t kSize =
      kBlockStart + kRtfBlockSize + kGroupTokens * kLongestReference + kCopyReach;
  static_assert(kRtfBlockSize % kDictionarySize == 0, "dropping a block keeps index and slot in step");
  static_assert(kRtfBlockSize >= kDictionarySize + kGroupTokens * kLongestReference, "the kept bytes fit");

  std::array<std::uint8_t, kSize> bytes_;  // only [kHistoryStart, end_) is ever read
  std::size_t end_ = kBlockStart;
};

bool expandStored(const CompressedRtf& rtf, BlockSink write, void* context) {
  if (rtf.data.size() < rtf.rawSize) return false;
  return rtf.rawSize == 0 || write(rtf.data.sub(0, rtf.rawSize), context);
}

bool expandTokens(const CompressedRtf& rtf, BlockSink write, void* context) {
  Window window;
  std::uint64_t left = rtf.rawSize;
  std::size_t at = 0;
  while (left > 0) {
    if (at >= rtf.data.size()) return false;
    bool ended = window.group(rtf.data, at);
    if (window.pending() >= kRtfBlockSize && left > kRtfBlockSize) {
      if (!write(window.block(kRtfBlockSize), context)) return false;
      left -= kRtfBlockSize;
      window.dropBlock();
    }
    if (window.pending() >= left) return write(window.block(static_cast<std::size_t>(left)), context);
    if (ended) return false;
  }
  return true;
}

constexpr std::array<std::string_view, 9> kDamageNames{
    "none",      "tooShort",  "badCompSize", "unknownType",   "badCrc",
    "noEndMark", "truncated", "tooFewBytes", "storedTooShort",
};
static_assert(kDamageNames.size() == static_cast<std::size_t>(RtfDamage::storedTooShort) + 1);

CompressedRtf damaged(CompressedRtf rtf, RtfDamage damage) {
  rtf.damage = damage;
  return rtf;
}

}  // namespace

std::string_view rtfDamageName(RtfDamage damage) {
  auto index = static_cast<std::size_t>(damage);
  return index < kDamageNames.size() ? kDamageNames[index] : "unknown";
}

std::uint32_t compressedRtfCrc(ByteView data) {
  std::uint32_t crc = 0;
  std::size_t at = 0;
  for (; data.size() - at >= 8; at += 8) crc = crcOfEight(crc, data.dword(at), data.dword(at + 4));
  for (; at < data.size(); ++at) crc = kCrcTables[0][(crc ^ data.byte(at)) & 0xFF] ^ crc >> 8;
  return crc;
}

CompressedRtf inspectCompressedRtf(ByteView value) {
  CompressedRtf rtf;
  if (value.size() < kHeaderSize) return damaged(rtf, RtfDamage::tooShort);
  std::uint32_t compSize = value.dword(0);
  rtf.rawSize = value.dword(4);
  std::uint32_t type = value.dword(8);
  rtf.stored = type == kRtfStored;
  // COMPSIZE counts from the end of its own field: the value must hold 4 + COMPSIZE bytes.
  if (compSize < kCountedHeader || compSize - kCountedHeader > value.size() - kHeaderSize) {
    return damaged(rtf, RtfDamage::badCompSize);
  }
  rtf.data = value.sub(kHeaderSize, compSize - kCountedHeader);
  if (rtf.stored) return rtf.rawSize > rtf.data.size() ? damaged(rtf, RtfDamage::storedTooShort) : rtf;
  if (type != kRtfCompressed) return damaged(rtf, RtfDamage::unknownType);
  if (compressedRtfCrc(rtf.data) != value.dword(12)) return damaged(rtf, RtfDamage::badCrc);
  TokenScan scan = scanTokens(rtf.data);
  if (scan.damage != RtfDamage::none) return damaged(rtf, scan.damage);
  if (scan.produced < rtf.rawSize) return damaged(rtf, RtfDamage::tooFewBytes);
  return rtf;
}

bool expandCompressedRtf(const CompressedRtf& rtf, BlockSink write, void* context) {
  if (rtf.damage != RtfDamage::none) return false;
  return rtf.stored ? expandStored(rtf, write, context) : expandTokens(rtf, write, context);
}

}  // namespace wendrel
