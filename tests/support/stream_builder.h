#pragma once
// Builds TNEF streams byte by byte for tests, seeds and the example file.

#include <cstdint>
#include <initializer_list>
#include <optional>
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

// UTF-8 text as UTF-16LE code units, with the terminating zero unit that mail
// clients store. The text must be valid UTF-8.
inline Bytes unicodeString(std::string_view utf8) {
  Bytes bytes;
  for (std::size_t i = 0; i < utf8.size();) {
    auto lead = static_cast<std::uint8_t>(utf8[i]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) c = c << 6 | (static_cast<std::uint8_t>(utf8[i + k]) & 0x3F);
    i += length;
    if (c >= 0x10000) {
      appendWord(bytes, static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
      c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    appendWord(bytes, static_cast<std::uint16_t>(c));
  }
  appendWord(bytes, 0);
  return bytes;
}

inline Bytes padded(Bytes bytes) {
  while (bytes.size() % 4 != 0) bytes.push_back(0);
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
  MapiListBuilder& unicode(std::uint32_t tag, std::string_view utf8) { return counted(tag, unicodeString(utf8)); }

  // Any property: its tag, then body as it stands (a name, a value).
  MapiListBuilder& property(std::uint32_t tag, const Bytes& body) {
    appendDword(properties_, tag);
    appendBytes(properties_, body);
    return added();
  }

  // The property set GUID of the named properties built here.
  static Bytes guid() {
    Bytes bytes;
    for (std::uint8_t i = 0; i < 16; ++i) bytes.push_back(static_cast<std::uint8_t>(0x20 + i * 7));
    return bytes;
  }

  // The name of a named property (ID 0x8000 and above): a GUID, kind 0 and a
  // number, or kind 1 and a counted UTF-16 name.
  static Bytes namedById(std::uint32_t number) {
    Bytes name = guid();
    appendDword(name, 0);
    appendDword(name, number);
    return name;
  }
  static Bytes namedByString(std::string_view utf8) {
    Bytes name = guid();
    appendDword(name, 1);
    Bytes text = unicodeString(utf8);
    appendDword(name, static_cast<std::uint32_t>(text.size()));
    appendBytes(name, padded(text));
    return name;
  }

  // A single counted value (value count 1, length, data, padding) and the
  // values of a multi-valued counted property (a count, then each length, data
  // and padding).
  static Bytes countedValue(const Bytes& data) { return multiCountedValue({data}); }
  static Bytes multiCountedValue(const std::vector<Bytes>& values) {
    Bytes body;
    appendDword(body, static_cast<std::uint32_t>(values.size()));
    for (const Bytes& data : values) {
      appendDword(body, static_cast<std::uint32_t>(data.size()));
      appendBytes(body, padded(data));
    }
    return body;
  }

 private:
  MapiListBuilder& added() {
    ++count_;
    return *this;
  }

  Bytes properties_;
  std::uint32_t count_ = 0;
};

// The property list of an attAttachment record as mail clients write it: the
// attach method, a named property, and the long file name when there is one
// (as PT_UNICODE, or PT_STRING8 when unicode is false).
inline Bytes attachmentProperties(std::optional<std::string_view> longName, bool unicode = true) {
  MapiListBuilder list;
  Bytes hint = MapiListBuilder::namedByString("AttachmentHint");
  appendBytes(hint, MapiListBuilder::countedValue(unicodeString("inline")));
  list.fixed(0x37050003, 4).property(0x8005001F, hint);
  if (longName) unicode ? list.unicode(0x3707001F, *longName) : list.string8(0x3707001E, *longName);
  return list.fixed(0x0E200003, 4).bytes();
}

// The data of an attachment's PR_ATTACH_DATA_OBJ: the ID of the interface the
// object is stored through (a message, or an OLE storage), then the object.
inline Bytes embeddedMessage(const Bytes& stream) {
  Bytes data{0x07, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  appendBytes(data, stream);
  return data;
}
inline Bytes oleObject(const Bytes& compoundFile) {
  Bytes data{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  appendBytes(data, compoundFile);
  return data;
}

// An attachment's property list holding the objects (PT_OBJECT
// PR_ATTACH_DATA_OBJ), after the Unicode long name when there is one.
inline Bytes objectProperties(const std::vector<Bytes>& objects, std::optional<std::string_view> longName = {}) {
  MapiListBuilder list;
  list.fixed(0x37050003, 4);
  if (longName) list.unicode(0x3707001F, *longName);
  for (const Bytes& object : objects) list.counted(0x3701000D, object);
  return list.bytes();
}

}  // namespace wendrel::test
