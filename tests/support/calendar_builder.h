#pragma once
// Builds calendar items for tests, benchmarks and fuzz seeds: MAPI property
// lists with named properties in the calendar's property sets, times as
// FILETIMEs, recipient tables, and whole streams of meetings and tasks.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stream_builder.h"

namespace wendrel::test {

enum class NamedSet { meeting, appointment, common, task, address, publicStrings };

// The set's GUID as it is stored (the first three fields little-endian).
inline Bytes setGuid(NamedSet set) {
  switch (set) {
    case NamedSet::meeting:
      return {0x90, 0xDA, 0xD8, 0x6E, 0x0B, 0x45, 0x1B, 0x10, 0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05};
    case NamedSet::appointment:
      return {0x02, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    case NamedSet::common:
      return {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    case NamedSet::task:
      return {0x03, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    case NamedSet::address:
      return {0x04, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    case NamedSet::publicStrings:
      return {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  }
  return {};
}

inline constexpr std::uint16_t kPtLong = 0x0003, kPtDouble = 0x0005, kPtBoolean = 0x000B, kPtString8 = 0x001E,
                               kPtUnicode = 0x001F, kPtSystime = 0x0040, kPtBinary = 0x0102, kMultiValued = 0x1000;

// Unix seconds as a FILETIME's bytes.
inline Bytes filetimeBytes(std::int64_t unixSeconds) {
  std::uint64_t ticks = static_cast<std::uint64_t>(unixSeconds + 11644473600) * 10000000u;
  Bytes bytes;
  appendDword(bytes, static_cast<std::uint32_t>(ticks));
  appendDword(bytes, static_cast<std::uint32_t>(ticks >> 32));
  return bytes;
}

// A property list in which named properties are numbered in their set; each
// gets a tag ID of its own from 0x8000 up, in the order added (the tags differ
// from stream to stream, so the reader must go by set and number).
class ItemProperties {
 public:
  explicit ItemProperties(std::uint16_t firstNamedId = 0x8000) : nextId_(firstNamedId) {}

  ItemProperties& named(NamedSet set, std::uint32_t number, std::uint16_t type, const Bytes& value) {
    Bytes body = setGuid(set);
    appendDword(body, 0);
    appendDword(body, number);
    appendBytes(body, encoded(type, value));
    list_.property(static_cast<std::uint32_t>(nextId_++) << 16 | type, body);
    return *this;
  }
  // A property named by a string in set.
  ItemProperties& named(NamedSet set, std::string_view name, std::uint16_t type, const Bytes& value) {
    Bytes body = setGuid(set);
    appendDword(body, 1);
    Bytes text = unicodeString(name);
    appendDword(body, static_cast<std::uint32_t>(text.size()));
    appendBytes(body, padded(text));
    appendBytes(body, encoded(type, value));
    list_.property(static_cast<std::uint32_t>(nextId_++) << 16 | type, body);
    return *this;
  }
  // Multi-valued: a count, then each counted value.
  ItemProperties& texts(NamedSet set, std::string_view name, const std::vector<std::string>& values) {
    std::vector<Bytes> units;
    for (const std::string& value : values) units.push_back(unicodeString(value));
    return named(set, name, kMultiValued | kPtUnicode, MapiListBuilder::multiCountedValue(units));
  }
  ItemProperties& binaries(NamedSet set, std::uint32_t number, const std::vector<Bytes>& values) {
    return named(set, number, kMultiValued | kPtBinary, MapiListBuilder::multiCountedValue(values));
  }
  ItemProperties& tagged(std::uint16_t id, std::uint16_t type, const Bytes& value) {
    list_.property(std::uint32_t{id} << 16 | type, encoded(type, value));
    return *this;
  }

  // The common kinds of value.
  ItemProperties& text(NamedSet set, std::uint32_t number, std::string_view utf8) {
    return named(set, number, kPtUnicode, unicodeString(utf8));
  }
  ItemProperties& text(std::uint16_t id, std::string_view utf8) { return tagged(id, kPtUnicode, unicodeString(utf8)); }
  ItemProperties& text8(std::uint16_t id, std::string_view bytes) { return tagged(id, kPtString8, cString(bytes)); }
  ItemProperties& time(NamedSet set, std::uint32_t number, std::int64_t unixSeconds) {
    return named(set, number, kPtSystime, filetimeBytes(unixSeconds));
  }
  ItemProperties& time(std::uint16_t id, std::int64_t unixSeconds) { return tagged(id, kPtSystime, filetimeBytes(unixSeconds)); }
  ItemProperties& integer(NamedSet set, std::uint32_t number, std::int32_t value) {
    return named(set, number, kPtLong, dwordBytes(static_cast<std::uint32_t>(value)));
  }
  ItemProperties& integer(std::uint16_t id, std::int32_t value) {
    return tagged(id, kPtLong, dwordBytes(static_cast<std::uint32_t>(value)));
  }
  ItemProperties& boolean(NamedSet set, std::uint32_t number, bool value) {
    return named(set, number, kPtBoolean, dwordBytes(value ? 1 : 0));
  }
  ItemProperties& boolean(std::uint16_t id, bool value) { return tagged(id, kPtBoolean, dwordBytes(value ? 1 : 0)); }
  ItemProperties& binary(NamedSet set, std::uint32_t number, const Bytes& data) {
    return named(set, number, kPtBinary, data);
  }
  ItemProperties& binary(std::uint16_t id, const Bytes& data) { return tagged(id, kPtBinary, data); }

  Bytes bytes() const { return list_.bytes(); }

 private:
  // Fixed types are their slot; counted ones a value count, length, data,
  // padding; multi-valued ones are given whole.
  static Bytes encoded(std::uint16_t type, const Bytes& value) {
    if ((type & kMultiValued) != 0) return value;
    bool counted = type == kPtString8 || type == kPtUnicode || type == kPtBinary || type == 0x000D;
    if (counted) return MapiListBuilder::countedValue(value);
    Bytes slot = value;
    while (slot.size() % 4 != 0) slot.push_back(0);
    return slot;
  }

  MapiListBuilder list_;
  std::uint16_t nextId_;
};

// An attRecipTable value: a count, then each row's property list.
inline Bytes recipientTable(const std::vector<ItemProperties>& rows) {
  Bytes table;
  appendDword(table, static_cast<std::uint32_t>(rows.size()));
  for (const ItemProperties& row : rows) appendBytes(table, row.bytes());
  return table;
}

// A recipient row as mail clients write it.
inline ItemProperties recipientRow(std::string_view name, std::string_view address, std::int32_t type,
                                   std::int32_t trackStatus = 0, std::int32_t flags = 1) {
  ItemProperties row;
  row.text(0x3001, name).text(0x3002, "SMTP").text(0x3003, address).integer(0x0C15, type);
  row.integer(0x5FFF, trackStatus).integer(0x5FFD, flags);
  return row;
}

// A whole stream: its class, then the properties, then a recipient table.
inline Bytes calendarStream(std::string_view messageClass, const ItemProperties& properties,
                            const Bytes& recipients = {}) {
  StreamBuilder stream;
  stream.record(0x00089006, dwordBytes(0x00010000)).record(0x00078008, cString(messageClass));
  stream.record(0x00069003, properties.bytes());
  if (!recipients.empty()) stream.record(0x00069004, recipients);
  return stream.bytes();
}

// A weekly meeting as Outlook sends it: its times, place, zone (US Eastern,
// a definition with one rule), a recurrence with one moved instance, and two
// attendees. For benchmarks and seeds; recurrenceValue is an
// AppointmentRecurrencePattern and zoneValue a TZDEFINITION made by the
// callers' builders.
inline Bytes weeklyMeetingStream(std::string_view messageClass, const Bytes& recurrenceValue, const Bytes& zoneValue) {
  ItemProperties p;
  p.text(0x0037, "Weekly review").text(0x0042, "Ada Lovelace").text(0x5D02, "ada@example.org")
      .time(0x0039, 1709571600)
      .time(NamedSet::appointment, 0x820D, 1709571600).time(NamedSet::appointment, 0x820E, 1709573400)
      .text(NamedSet::appointment, 0x8208, "Room 1").integer(NamedSet::appointment, 0x8205, 2)
      .binary(NamedSet::appointment, 0x8216, recurrenceValue).binary(NamedSet::appointment, 0x8260, zoneValue)
      .binary(NamedSet::appointment, 0x825E, zoneValue).text(NamedSet::appointment, 0x8234, "(UTC-05:00) Eastern")
      .boolean(NamedSet::common, 0x8503, true).integer(NamedSet::common, 0x8501, 15)
      .text(0x1000, "Agenda: figures, then questions.");
  Bytes rows = recipientTable({recipientRow("Grace Hopper", "grace@example.org", 1),
                               recipientRow("Alan Turing", "alan@example.org", 2)});
  return calendarStream(messageClass, p, rows);
}

}  // namespace wendrel::test
