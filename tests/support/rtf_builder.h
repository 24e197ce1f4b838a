#pragma once
// Builds compressed-RTF values for tests and benchmarks: LZFu tokens written
// one by one, a greedy compressor for whole texts, the 16-byte header with the
// right COMPSIZE and CRC, and header fields overridden to damage a value.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stream_builder.h"

namespace wendrel::test {

// Written out here again rather than taken from the library, so that a slip in
// either copy shows in the tests.
inline constexpr std::string_view kRtfDictionary =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern \\fscript "
    "\\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0\\blue0\r\n"
    "\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
inline constexpr std::uint32_t kRtfRing = 4096;
inline constexpr std::uint32_t kMela = 0x414C454D;
inline constexpr std::uint32_t kLzfu = 0x75465A4C;
inline constexpr unsigned kLongestMatch = 17;

// The CRC bit by bit: reflected polynomial 0xEDB88320, from 0, no final inversion.
inline std::uint32_t rtfCrc(const Bytes& data) {
  std::uint32_t crc = 0;
  for (std::uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return crc;
}

// LZFu data: a control byte before each eight tokens, its bits from the lowest
// saying literal (0) or reference (1). Follows the dictionary's write position
// so that references can be given by distance and the end mark placed.
class LzfuTokens {
 public:
  LzfuTokens& literal(std::uint8_t byte) {
    token(false);
    data_.push_back(byte);
    return advance(1);
  }

  LzfuTokens& literals(std::string_view text) {
    for (char c : text) literal(static_cast<std::uint8_t>(c));
    return *this;
  }

  // length bytes from dictionary slot offset; length from 2 to 17.
  LzfuTokens& reference(std::uint32_t offset, unsigned length) {
    referenceWord(offset, length - 2);
    return advance(length);
  }

  // A reference distance bytes back from the write position (1 to 4095).
  LzfuTokens& back(unsigned distance, unsigned length) {
    return reference((write_ + kRtfRing - distance) % kRtfRing, length);
  }

  // A reference to the write position itself; lengthBits are the low four bits.
  LzfuTokens& endMark(unsigned lengthBits = 0) {
    referenceWord(write_, lengthBits);
    return *this;
  }

  // The first byte of a reference, the data ending inside it.
  LzfuTokens& halfReference(std::uint32_t offset) {
    token(true);
    data_.push_back(static_cast<std::uint8_t>(offset >> 4));
    return *this;
  }

  LzfuTokens& raw(const Bytes& bytes) {
    appendBytes(data_, bytes);
    return *this;
  }

  std::uint32_t writePosition() const { return write_; }
  std::size_t produced() const { return produced_; }
  const Bytes& bytes() const { return data_; }

 private:
  void token(bool isReference) {
    if (bit_ == 8) {
      control_ = data_.size();
      data_.push_back(0);
      bit_ = 0;
    }
    if (isReference) data_[control_] = static_cast<std::uint8_t>(data_[control_] | 1u << bit_);
    ++bit_;
  }

  void referenceWord(std::uint32_t offset, unsigned lengthBits) {
    token(true);
    std::uint32_t word = offset << 4 | (lengthBits & 15);
    data_.push_back(static_cast<std::uint8_t>(word >> 8));
    data_.push_back(static_cast<std::uint8_t>(word));
  }

  LzfuTokens& advance(unsigned count) {
    write_ = (write_ + count) % kRtfRing;
    produced_ += count;
    return *this;
  }

  Bytes data_;
  std::size_t control_ = 0;
  unsigned bit_ = 8;
  std::size_t produced_ = 0;  // bytes the tokens so far yield
  std::uint32_t write_ = static_cast<std::uint32_t>(kRtfDictionary.size());
};

// Greedy LZ77 over the text as the decoder will see it: the ring laid out
// straight (3889 zero bytes, then the initial dictionary) followed by the text,
// so a match is any earlier run at most 4095 bytes back, overlaps included.
// Candidates come from a chain per three-byte hash, at most chainDepth deep.
inline LzfuTokens compressGreedy(std::string_view text, unsigned chainDepth = 64) {
  std::string all(kRtfRing - kRtfDictionary.size(), '\0');
  all.append(kRtfDictionary).append(text);
  constexpr std::size_t kNone = SIZE_MAX;
  auto hashAt = [&](std::size_t at) {
    auto byte = [&](std::size_t i) { return std::uint32_t{static_cast<std::uint8_t>(all[i])}; };
    return ((byte(at) << 16 | byte(at + 1) << 8 | byte(at + 2)) * 2654435761u) >> 17;
  };
  std::vector<std::size_t> head(1u << 15, kNone), previous(all.size(), kNone);
  auto insert = [&](std::size_t at) {
    if (at + 3 > all.size()) return;
    previous[at] = head[hashAt(at)];
    head[hashAt(at)] = at;
  };
  auto longestMatch = [&](std::size_t at, unsigned& distance) {
    unsigned best = 0;
    std::size_t most = std::min<std::size_t>(kLongestMatch, all.size() - at);
    std::size_t candidate = at + 3 <= all.size() ? head[hashAt(at)] : kNone;
    for (unsigned step = 0; step < chainDepth && candidate != kNone && at - candidate < kRtfRing; ++step) {
      unsigned length = 0;
      while (length < most && all[candidate + length] == all[at + length]) ++length;
      if (length > best) {
        best = length;
        distance = static_cast<unsigned>(at - candidate);
      }
      candidate = previous[candidate];
    }
    return best;
  };
  for (std::size_t at = 0; at < kRtfRing; ++at) insert(at);
  LzfuTokens tokens;
  for (std::size_t at = kRtfRing; at < all.size();) {
    unsigned distance = 0;
    unsigned length = longestMatch(at, distance);
    if (length < 2) {
      length = 1;
      tokens.literal(static_cast<std::uint8_t>(all[at]));
    } else {
      tokens.back(distance, length);
    }
    for (std::size_t end = at + length; at < end; ++at) insert(at);
  }
  return tokens.endMark();
}

// A whole value. COMPSIZE and CRC default to the right ones (CRC 0 when
// stored); set them to damage the value.
struct RtfValue {
  Bytes data;
  std::uint32_t rawSize = 0;
  std::uint32_t type = kLzfu;
  std::optional<std::uint32_t> compSize = std::nullopt;
  std::optional<std::uint32_t> crc = std::nullopt;

  Bytes bytes() const {
    Bytes value;
    appendDword(value, compSize.value_or(static_cast<std::uint32_t>(data.size() + 12)));
    appendDword(value, rawSize);
    appendDword(value, type);
    appendDword(value, crc.value_or(type == kLzfu ? rtfCrc(data) : 0));
    appendBytes(value, data);
    return value;
  }
};

inline Bytes compressedRtf(std::string_view text, unsigned chainDepth = 64) {
  return RtfValue{compressGreedy(text, chainDepth).bytes(), static_cast<std::uint32_t>(text.size())}.bytes();
}

// Text shaped like a mail body in RTF, exactly size bytes (at least 2): words
// from a small vocabulary between control words, groups and line breaks.
inline std::string rtfLikeText(std::size_t size, std::uint32_t seed = 2463534242u) {
  constexpr std::string_view kWords[] = {
      "the",   "meeting", "quarterly", "figures", "please", "find",    "attached", "regards", "tomorrow",
      "report", "budget", "we",        "will",    "discuss", "and",    "of",       "to",      "in",
      "for",   "Thanks,", "Kind",      "office",  "schedule", "draft", "review",   "number",  "March"};
  constexpr std::string_view kControls[] = {"\\par\r\n", "{\\b ", "}", "\\f1 ", "\\fs20 ", "\\tab ",
                                            "\\'e9",     "\\cf2 ", "\\pard\\plain ", "\\line "};
  std::string text =
      "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\froman Times New Roman;}}\r\n";
  std::uint32_t state = seed;
  auto next = [&state] {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    return state;
  };
  while (text.size() < size) {
    std::uint32_t pick = next();
    if (pick % 5 == 0) text.append(kControls[pick / 5 % std::size(kControls)]);
    else text.append(kWords[pick / 5 % std::size(kWords)]).push_back(' ');
  }
  text.resize(size - 1);
  return text + "}";
}

inline Bytes firstBytes(const Bytes& bytes, std::size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(count, bytes.size())));
}

}  // namespace wendrel::test
