// make_json_streams DIR: writes the streams wendrel-json's tests read into
// DIR: one value of every property type, a meeting, a contact, an attached
// message, hostile texts, a damaged stream and a large attachment.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "calendar_builder.h"
#include "contact_builder.h"

namespace {

using namespace wendrel::test;

Bytes qwordBytes(std::uint64_t value) {
  Bytes bytes = dwordBytes(static_cast<std::uint32_t>(value));
  appendDword(bytes, static_cast<std::uint32_t>(value >> 32));
  return bytes;
}

template <typename Real>
Bytes realBytes(Real value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof value);
  return sizeof value == 4 ? dwordBytes(static_cast<std::uint32_t>(bits)) : qwordBytes(bits);
}

// A multi-valued fixed property's value: its count, then its slots.
Bytes fixedValues(const std::vector<Bytes>& slots) {
  Bytes value = dwordBytes(static_cast<std::uint32_t>(slots.size()));
  for (const Bytes& slot : slots) appendBytes(value, slot);
  return value;
}

// Every property type the interface reads, single and multi-valued, tagged
// and named; a recipient table, an HTML and an RTF body, an attachment.
Bytes valuesStream() {
  const Bytes clsid{0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  ItemProperties p;
  p.tagged(0x6600, 0x0002, wordBytes(0xFFFE)).integer(0x6601, -5).tagged(0x6602, 0x0004, realBytes(1.5f))
      .tagged(0x6603, 0x0005, realBytes(0.1)).tagged(0x6604, 0x0005, realBytes(std::nan("")))
      .tagged(0x6605, 0x0005, realBytes(std::numeric_limits<double>::infinity()))
      .tagged(0x6606, 0x0006, qwordBytes(123456)).tagged(0x6607, 0x0007, realBytes(45356.375))
      .tagged(0x6608, 0x000A, dwordBytes(0x80004005)).boolean(0x6609, true)
      .tagged(0x660A, 0x0014, qwordBytes((std::uint64_t{1} << 60) + 1)).time(0x0039, 1709629200)
      .tagged(0x660B, 0x0040, qwordBytes(0x7FFFFFFFFFFFFFFF)).tagged(0x660C, 0x0048, clsid)
      .text8(0x660D, "caf\xE9").text(0x0037, "Values \"quoted\" \\ back")
      .binary(0x660E, textBytes(std::string("bin\0ary", 7))).tagged(0x660F, 0x0001, {})
      .tagged(0x6610, 0x1003, fixedValues({dwordBytes(1), dwordBytes(2), dwordBytes(0xFFFFFFFF)}))
      .tagged(0x6611, 0x1040, fixedValues({filetimeBytes(0), filetimeBytes(1709629200)}))
      .tagged(0x6612, 0x1048, fixedValues({clsid}))
      .tagged(0x6613, 0x101F, MapiListBuilder::multiCountedValue({unicodeString("one"), unicodeString("two")}))
      .binaries(NamedSet::common, 0x8580, {textBytes("first"), {}})
      .integer(NamedSet::common, 0x8501, 15).named(NamedSet::publicStrings, "Keywords", kPtUnicode, unicodeString("tag"))
      .integer(0x3FDE, 1252).binary(0x1013, textBytes("<p>caf\xE9</p>"))
      .binary(0x1009, uncompressedRtfBody("{\\rtf1\\ansi Values.\\par}"));
  Bytes rows = recipientTable({recipientRow("Grace Hopper", "grace@example.org", 1)});
  StreamBuilder stream;
  stream.record(0x00089006, dwordBytes(0x00010000)).record(0x00078008, cString("IPM.Note"))
      .record(0x00038005, dateBytes(2024, 3, 5, 9, 0, 0, 2)).record(0x00069003, p.bytes())
      .record(0x00069004, rows);
  MapiListBuilder attachment;
  attachment.fixed(0x37050003, 4).string8(0x370E001E, "text/csv").string8(0x3712001E, "figures@example.org")
      .unicode(0x3707001F, "figures.csv");
  stream.record(0x00069002, Bytes(14, 0), 2).record(0x00018010, cString("FIGURES.CSV"), 2)
      .record(0x0006800F, textBytes("quarter,revenue\nQ1,1200\n"), 2).record(0x00069005, attachment.bytes(), 2);
  return stream.bytes();
}

Bytes meetingStream() {
  ItemProperties p;
  p.text(0x0037, "Weekly review").text(0x0042, "Ada Lovelace").time(0x0039, 1709571600)
      .time(NamedSet::appointment, 0x820D, 1709571600).time(NamedSet::appointment, 0x820E, 1709573400)
      .text(NamedSet::appointment, 0x8208, "Room 1").text(0x1000, "Agenda: figures.");
  return calendarStream("IPM.Appointment", p, recipientTable({recipientRow("Alan Turing", "alan@example.org", 1)}));
}

// The values stream attached to a message, as a message is attached.
Bytes embeddingStream() {
  MapiListBuilder properties;
  properties.fixed(0x37050003, 4).counted(0x3701000D, embeddedMessage(valuesStream()));
  StreamBuilder stream;
  stream.record(0x00078008, cString("IPM.Note")).record(0x00018004, cString("Forward"))
      .record(0x00069002, Bytes(14, 0), 2).record(0x00018010, cString("Untitled"), 2)
      .record(0x0006800F, Bytes(4, 0), 2).record(0x00069005, properties.bytes(), 2);
  return stream.bytes();
}

// Control characters, quotes and bytes that are not UTF-8 in every text a
// stream can name: subject, class, title, a string property, a named
// property's name, a UTF-16 string with a lone surrogate.
Bytes hostileStream() {
  const std::string nasty = std::string("bell\a esc\x1B[31m del\x7F c1\x81\x9D quote\" back\\ ") + "\xC3(\xFF";
  Bytes loneSurrogate = {0x41, 0x00, 0x00, 0xD8, 0x42, 0x00, 0x00, 0x00};
  ItemProperties p;
  p.text8(0x0E1D, nasty).tagged(0x3001, kPtUnicode, loneSurrogate)
      .named(NamedSet::publicStrings, "na\tme\x01", kPtUnicode, unicodeString("\x1B]0;title\a"));
  StreamBuilder stream;
  stream.record(0x00078008, cString("IPM.Note\x1B")).record(0x00018004, cString(nasty))
      .record(0x00069003, p.bytes()).record(0x00069002, Bytes(14, 0), 2)
      .record(0x00018010, cString("evil\x01/..\\name\x1B.txt"), 2).record(0x0006800F, textBytes("x"), 2);
  return stream.bytes();
}

// A record whose length runs past the end of the stream.
Bytes damagedStream() {
  StreamBuilder stream;
  stream.record(0x00078008, cString("IPM.Note")).recordClaiming(0x00018004, 4096, textBytes("cut"));
  return stream.bytes();
}

// 3 MiB and one byte of data: base64 in many blocks, with a tail of one byte.
Bytes largeStream() {
  Bytes data(3 * 1024 * 1024 + 1);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
  StreamBuilder stream;
  stream.record(0x00078008, cString("IPM.Note")).record(0x00069002, Bytes(14, 0), 2)
      .record(0x00018010, cString("large.bin"), 2).record(0x0006800F, data, 2);
  return stream.bytes();
}

bool save(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return file.good();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_json_streams DIR\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  const std::pair<const char*, Bytes> streams[] = {
      {"values.tnef", valuesStream()},
      {"meeting.tnef", meetingStream()},
      {"contact.tnef", contactStream("IPM.Contact", typicalContact(), samplePhoto(700))},
      {"embedding.tnef", embeddingStream()},
      {"hostile.tnef", hostileStream()},
      {"damaged.tnef", damagedStream()},
      {"large.tnef", largeStream()},
  };
  for (const auto& [name, bytes] : streams) {
    if (!save(dir + "/" + name, bytes)) {
      std::perror(name);
      return 1;
    }
  }
  return 0;
}
