#pragma once
// Builds TNEF streams byte by byte for tests, seeds and the example file.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace wendrel::test {

using Bytes = std::vector<std::uint8_t>;

inline void appendWord(Bytes& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void appendDword(Bytes& bytes, std::uint32_t value) {
  appendWord(bytes, static_cast<std::uint16_t>(value));
  appendWord(bytes, static_cast<std::uint16_t>(value >> 16));
}

inline void appendBytes(Bytes& bytes, const Bytes& more) {
  for (std::uint8_t byte : more) bytes.push_back(byte);
}

inline Bytes textBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Text as mail clients store it: with its terminating NUL.
inline Bytes cString(std::string_view text) {
  Bytes bytes = textBytes(text);
  bytes.push_back(0);
  return bytes;
}

inline Bytes wordBytes(std::uint16_t value) {
  Bytes bytes;
  appendWord(bytes, value);
  return bytes;
}

inline Bytes dwordBytes(std::uint32_t value) {
  Bytes bytes;
  appendDword(bytes, value);
  return bytes;
}

inline Bytes dateBytes(std::uint16_t year, std::uint16_t month, std::uint16_t day, std::uint16_t hour,
                       std::uint16_t minute, std::uint16_t second, std::uint16_t dayOfWeek) {
  Bytes bytes;
  for (std::uint16_t field : {year, month, day, hour, minute, second, dayOfWeek}) appendWord(bytes, field);
  return bytes;
}

// A compressed-RTF body in its uncompressed ("MELA") form: compressed size,
// raw size, magic, CRC (0), then the RTF text itself.
inline Bytes uncompressedRtfBody(std::string_view rtf) {
  Bytes body;
  appendDword(body, static_cast<std::uint32_t>(rtf.size() + 12));
  appendDword(body, static_cast<std::uint32_t>(rtf.size()));
  appendDword(body, 0x414C454D);
  appendDword(body, 0);
  appendBytes(body, textBytes(rtf));
  return body;
}

// The format's checksum: the sum of the value bytes, modulo 65536.
inline std::uint16_t checksumOf(const Bytes& value) {
  std::uint32_t sum = 0;
  for (std::uint8_t byte : value) sum += byte;
  return static_cast<std::uint16_t>(sum);
}

class StreamBuilder {
 public:
  explicit StreamBuilder(std::uint16_t attachKey = 0x1234, std::uint32_t signature = 0x223E9F78) {
    appendDword(bytes_, signature);
    appendWord(bytes_, attachKey);
  }

  StreamBuilder& record(std::uint32_t id, const Bytes& value, std::uint8_t level = 1) {
    return recordWithChecksum(id, value, checksumOf(value), level);
  }

  StreamBuilder& recordWithChecksum(std::uint32_t id, const Bytes& value, std::uint16_t checksum,
                                    std::uint8_t level = 1) {
    bytes_.push_back(level);
    appendDword(bytes_, id);
    appendDword(bytes_, static_cast<std::uint32_t>(value.size()));
    appendBytes(bytes_, value);
    appendWord(bytes_, checksum);
    return *this;
  }

  // A record whose length field says declaredLength but holds value as it is.
  StreamBuilder& recordClaiming(std::uint32_t id, std::uint32_t declaredLength, const Bytes& value) {
    bytes_.push_back(1);
    appendDword(bytes_, id);
    appendDword(bytes_, declaredLength);
    appendBytes(bytes_, value);
    return *this;
  }

  StreamBuilder& raw(const Bytes& more) {
    appendBytes(bytes_, more);
    return *this;
  }

  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// The value of an attMAPIProps record: a count, then tagged properties.
class MapiListBuilder {
 public:
  // The count defaults to the number of properties added.
  Bytes bytes() const { return bytesWithCount(count_); }

  Bytes bytesWithCount(std::uint32_t count) const {
    Bytes bytes;
    bytes.reserve(4 + properties_.size());
    appendDword(bytes, count);
    appendBytes(bytes, properties_);
    return bytes;
  }

  // A tag followed by slotSize bytes of value (the padded slot of a fixed type).
  MapiListBuilder& fixed(std::uint32_t tag, std::size_t slotSize) {
    appendDword(properties_, tag);
    for (std::size_t i = 0; i < slotSize; ++i) properties_.push_back(0xAB);
    return added();
  }

  // A tag with nothing after it (types the walk steps over by the tag alone).
  MapiListBuilder& tagOnly(std::uint32_t tag) {
    appendDword(properties_, tag);
    return added();
  }

  // A counted value: tag, value count 1, length, data, padding to 4.
  MapiListBuilder& counted(std::uint32_t tag, const Bytes& data, bool pad = true) {
    return countedClaiming(tag, static_cast<std::uint32_t>(data.size()), data, pad);
  }

  MapiListBuilder& countedClaiming(std::uint32_t tag, std::uint32_t length, const Bytes& data, bool pad = true) {
    appendDword(properties_, tag);
    appendDword(properties_, 1);
    appendDword(properties_, length);
    appendBytes(properties_, data);
    while (pad && properties_.size() % 4 != 0) properties_.push_back(0);
    return added();
  }

  MapiListBuilder& string8(std::uint32_t tag, std::string_view text) { return counted(tag, cString(text)); }

 private:
  MapiListBuilder& added() {
    ++count_;
    return *this;
  }

  Bytes properties_;
  std::uint32_t count_ = 0;
};

}  // namespace wendrel::test
