#pragma once
// Builders of what contacts and distribution lists hold: one-off entry IDs
// (plain and wrapped, as a list's members are kept) and a contact with every
// common field, for the tests, the benchmarks and the fuzz seeds.

#include <string_view>

#include "calendar_builder.h"

namespace wendrel::test {

// A one-off entry ID: flags, the one-off provider's UID, version, flags
// (0x8000: UTF-16LE strings), then display name, address type and address.
inline Bytes oneOff(std::string_view name, std::string_view type, std::string_view address, bool unicode = true) {
  Bytes id{0, 0, 0, 0, 0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19, 0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
  appendWord(id, 0);
  appendWord(id, unicode ? 0x8001 : 0x0001);
  for (std::string_view text : {name, type, address}) appendBytes(id, unicode ? unicodeString(text) : cString(text));
  return id;
}

// The same inside a wrapped entry ID whose type says one-off.
inline Bytes wrappedOneOff(const Bytes& entry) {
  Bytes id{0, 0, 0, 0, 0xC0, 0x91, 0xAD, 0xD3, 0x51, 0x9D, 0xCF, 0x11, 0xA4, 0xA9, 0x00, 0xAA, 0x00, 0x47, 0xFA, 0xA4, 0x00};
  appendBytes(id, entry);
  return id;
}

// A message stream of the class with the properties and, when there is one,
// the photo as the attachment marked as the contact's picture.
inline Bytes contactStream(std::string_view messageClass, const ItemProperties& properties, const Bytes& photo = {}) {
  StreamBuilder stream;
  stream.record(0x00089006, dwordBytes(0x00010000)).record(0x00078008, cString(messageClass))
      .record(0x00069003, properties.bytes());
  if (!photo.empty()) {
    stream.record(0x00069002, Bytes(14, 0), 2).record(0x00018010, cString("ContactPicture.jpg"), 2)
        .record(0x0006800F, photo, 2)
        .record(0x00069005, MapiListBuilder().fixed(0x37050003, 4).counted(0x7FFF000B, dwordBytes(1)).bytes(), 2);
  }
  return stream.bytes();
}

// A contact as people keep them: names, company, e-mail, phones, two
// addresses, a web page, a birthday, a note and categories.
inline ItemProperties typicalContact() {
  ItemProperties p;
  p.text(0x3001, "Zoë Ångström").text(0x3A11, "Ångström").text(0x3A06, "Zoë").text(0x3A16, "Example Ltd")
      .text(0x3A17, "Chief").text(NamedSet::address, 0x8083, "zoe@example.org").text(NamedSet::address, 0x8082, "SMTP")
      .text(0x3A08, "+1 555 0100").text(0x3A09, "+1 555 0101").text(0x3A1C, "+1 555 0102").text(0x3A5D, "1 Home Road")
      .text(0x3A59, "Springfield").text(0x3A5C, "IL").text(0x3A5B, "62701").text(0x3A5A, "USA")
      .text(NamedSet::address, 0x8045, "2 Work Street").text(NamedSet::address, 0x8046, "Boulder")
      .text(0x3A51, "https://example.org/work").time(0x3A42, 640130400).text(0x1000, "Met at the fair; likes tea.")
      .texts(NamedSet::publicStrings, "Keywords", {"Friends", "Work"});
  return p;
}

// A JPEG-like picture of the size given (its first bytes say JPEG).
inline Bytes samplePhoto(std::size_t size) {
  Bytes photo{0xFF, 0xD8, 0xFF, 0xE0};
  for (std::size_t i = photo.size(); i < size; ++i) photo.push_back(static_cast<std::uint8_t>(i * 31));
  return photo;
}

}  // namespace wendrel::test
