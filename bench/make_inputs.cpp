// Writes the inputs of bench/compare.sh into a directory:
//   random.bin      256 MiB of pseudo-random bytes (the dump)
//   small.tnef      a realistic 2 KB message stream (start-up)
//   attachment.tnef one 512 MiB attachment (saving)
//   records.tnef    1,000,000 mixed records in code page 1252 (the record walk with -v)
//   titles-10k.tnef, titles-100k.tnef
//                   10,000 and 100,000 attachments of one title, data first
//                   (saving under suffixed names)
//   props-100k.tnef, props-1m.tnef
//                   one property list of 100,000 and 1,000,000 named and
//                   Unicode properties (the MAPI walk)
//   html-10k.tnef, html-100k.tnef
//                   10,000 and 100,000 HTML body properties (saving bodies)
//   messages-1k.tnef, messages-10k.tnef
//                   1,000 and 10,000 attached messages, each with an
//                   attachment of its own (decoding nested streams)
//   ole.tnef        an OLE object whose compound file holds a 100 MiB picture
//                   in its CONTENTS stream (reading compound files)
//   appointments-1k.tnef, appointments-10k.tnef
//                   1,000 and 10,000 attached weekly meetings, each with a
//                   recurrence and a time zone (writing calendar items)
//   notes-10k.tnef  the same 10,000 messages as notes, which are no calendar
//                   items: what decoding them costs without writing any
//   contacts-10k.tnef, contact-notes-10k.tnef
//                   10,000 attached contacts with a 6 KB photo each, and the
//                   same messages as notes: what writing a vCard costs
//   payload.bin     64 MiB of pseudo-random bytes (the base64 baseline)
//   mime-bare.tnef  a stream holding payload.bin as an attachment
//   mime-wrapped.eml
//                   a mail message holding that stream as application/ms-tnef
//                   (wendrel-mime)
//   small-mail/m<N>.eml, small-mail.list
//                   10,000 mail messages with a TNEF part of a few KB each, and
//                   their names one a line (wendrel-mime, one process per
//                   message against one for all)
//
//   make_inputs DIR

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "calendar_builder.h"
#include "contact_builder.h"
#include "compound_file_builder.h"
#include "recurrence_builder.h"
#include "stream_builder.h"
#include "time_zone_builder.h"

using namespace wendrel::test;

namespace {

bool writeBytes(const std::string& path, const Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool ok = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return (file != nullptr && std::fclose(file) == 0) && ok;
}

Bytes randomBytes(std::size_t size) {
  Bytes bytes(size);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (std::size_t i = 0; i < size; i += 8) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    for (std::size_t k = 0; k < 8 && i + k < size; ++k) bytes[i + k] = static_cast<std::uint8_t>(state >> (8 * k));
  }
  return bytes;
}

Bytes mapiList() {
  return MapiListBuilder()
      .fixed(0x00170003, 4)
      .string8(0x0070001E, "Quarterly figures")
      .counted(0x10090102, Bytes(24, 'r'))
      .bytes();
}

Bytes smallStream() {
  StreamBuilder stream;
  stream.record(0x00089006, dwordBytes(0x00010000))
      .record(0x00078008, cString("IPM.Microsoft Mail.Note"))
      .record(0x00018004, cString("Quarterly figures"))
      .record(0x00038005, dateBytes(2003, 3, 4, 9, 30, 0, 2))
      .record(0x0004800D, wordBytes(2))
      .record(0x00068007, {0xA1})
      .record(0x0002800C, cString(std::string(900, 'b')))
      .record(0x00069003, mapiList())
      .record(0x00018010, cString("figures.csv"), 2)
      .record(0x0006800F, Bytes(700, 'd'), 2);
  return stream.bytes();
}

Bytes attachmentStream() {
  StreamBuilder stream;
  stream.record(0x00018010, cString("attachment.bin"), 2).record(0x0006800F, randomBytes(std::size_t{512} << 20), 2);
  return stream.bytes();
}

Bytes manyRecords(std::size_t count) {
  const Bytes date = dateBytes(2003, 3, 4, 9, 30, 0, 2);
  const Bytes list = mapiList();
  StreamBuilder stream;
  stream.record(0x00069007, dwordBytes(1252));  // the code page, as mail clients write it
  for (std::size_t i = 0; i < count; ++i) {
    switch (i % 8) {
      case 0: stream.record(0x00018004, cString("Quarterly figures")); break;
      case 1: stream.record(0x00038005, date); break;
      case 2: stream.record(0x0004800D, wordBytes(2)); break;
      case 3: stream.record(0x00068007, {0xA1}); break;
      case 4: stream.record(0x000A0001, textBytes("xyz")); break;
      case 5: stream.record(0x00050001, dwordBytes(1234)); break;
      case 6: stream.record(0x00069003, list); break;
      default: stream.record(0x00078008, cString("IPM.Microsoft Mail.Note")); break;
    }
  }
  return stream.bytes();
}

// Attachments as a mail client writes them, data before title, all titled
// image001.png.
Bytes sameTitles(std::size_t count) {
  StreamBuilder stream;
  for (std::size_t i = 0; i < count; ++i) {
    stream.record(0x00069002, Bytes(14, 0), 2)
        .record(0x0006800F, Bytes(64, static_cast<std::uint8_t>(i)), 2)
        .record(0x00018010, cString("image001.png"), 2);
  }
  return stream.bytes();
}

// Named properties with Unicode values, every other one named by a string.
Bytes namedUnicodeProperties(std::size_t count) {
  const std::string kValue = "Quarterly figures, Grüße";
  Bytes byNumber = MapiListBuilder::namedById(0x8233);
  Bytes byName = MapiListBuilder::namedByString("Keywords");
  for (Bytes* name : {&byNumber, &byName}) appendBytes(*name, MapiListBuilder::countedValue(unicodeString(kValue)));
  MapiListBuilder list;
  for (std::size_t i = 0; i < count; ++i) {
    if (i % 4 == 3) {
      list.unicode(0x0070001F, kValue);
    } else {
      list.property(0x8001001F + static_cast<std::uint32_t>(i % 64) * 0x10000, i % 2 == 0 ? byNumber : byName);
    }
  }
  return StreamBuilder().record(0x00069003, list.bytes()).bytes();
}

// HTML bodies, ten to a property list, as many as count.
Bytes htmlBodies(std::size_t count) {
  const Bytes html = textBytes("<html><head><meta charset=\"utf-8\"></head><body><p>Quarterly figures</p></body></html>");
  MapiListBuilder list;
  for (int i = 0; i < 10; ++i) list.string8(0x0070001E, "Quarterly figures").counted(0x10130102, html);
  Bytes value = list.bytes();
  StreamBuilder stream;
  for (std::size_t i = 0; i < count / 10; ++i) stream.record(0x00069003, value);
  return stream.bytes();
}

// Attached messages as mail clients write them: a stand-in data record, then
// the message in the attachment's properties; each message holds a subject, a
// body and an attachment of its own.
Bytes attachedMessages(std::size_t count) {
  Bytes message = StreamBuilder()
                      .record(0x00018004, cString("Quarterly figures"))
                      .record(0x0002800C, cString("Please find the figures attached."))
                      .record(0x00069002, Bytes(14, 0), 2)
                      .record(0x00018010, cString("figures.csv"), 2)
                      .record(0x0006800F, textBytes("quarter,revenue\nQ1,1200\n"), 2)
                      .bytes();
  Bytes properties = objectProperties({embeddedMessage(message)}, "figures.msg");
  Bytes standIn = cString("This attachment is a MAPI 1.0 embedded message and is not supported by this mail system.");
  StreamBuilder stream;
  for (std::size_t i = 0; i < count; ++i) {
    stream.record(0x00069002, Bytes(14, 0), 2).record(0x0006800F, standIn, 2).record(0x00069005, properties, 2);
  }
  return stream.bytes();
}

// A picture pasted into a mail, as Outlook sends it: an attachment with no
// data record whose properties hold an OLE object.
Bytes oleObjectStream() {
  Bytes picture = randomBytes(std::size_t{100} << 20);
  picture[0] = 'B', picture[1] = 'M';
  Bytes file = buildCompoundFile({{"\x01Ole", Bytes(20, 0)}, {"CONTENTS", picture}}).bytes;
  StreamBuilder stream;
  stream.record(0x00069002, Bytes(14, 0), 2).record(0x00018010, cString("Untitled Attachment"), 2)
      .record(0x00069005, objectProperties({oleObject(file)}), 2);
  return stream.bytes();
}

// Attached meetings (each a whole stream in its attachment's properties).
Bytes attachedMeetings(std::size_t count, std::string_view messageClass) {
  ExceptionFields moved;
  moved.original = minutesOn(2024, 3, 11, 720);
  moved.start = minutesOn(2024, 3, 12, 720);
  moved.end = minutesOn(2024, 3, 12, 750);
  AppointmentFields recur = withExceptions({moved});
  PatternFields weekly = weeklyOn(0x02, 1);  // on Mondays, with the exception's dates
  weekly.deleted = recur.pattern.deleted;
  weekly.modified = recur.pattern.modified;
  recur.pattern = weekly;
  recur.startTimeOffset = 720;
  recur.endTimeOffset = 750;
  wendrel::timezone::Rule eastern{2007, 0, 300, 0, -60, relativeDate(11, 0, 1, 2), relativeDate(3, 0, 2, 2)};
  Bytes meeting = weeklyMeetingStream(messageClass, appointmentBytes(recur),
                                      timeZoneDefinition(u"Eastern Standard Time", {eastern}));
  Bytes properties = objectProperties({embeddedMessage(meeting)});
  StreamBuilder stream;
  for (std::size_t i = 0; i < count; ++i) stream.record(0x00069002, Bytes(14, 0), 2).record(0x00069005, properties, 2);
  return stream.bytes();
}

// Attached contacts, each with its photo.
Bytes attachedContacts(std::size_t count, std::string_view messageClass) {
  Bytes properties = objectProperties({embeddedMessage(contactStream(messageClass, typicalContact(), samplePhoto(6000)))});
  StreamBuilder stream;
  for (std::size_t i = 0; i < count; ++i) stream.record(0x00069002, Bytes(14, 0), 2).record(0x00069005, properties, 2);
  return stream.bytes();
}

// A mail message with the stream as its TNEF part, in base64 lines of 76.
Bytes wrappedStream(const Bytes& stream) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = "From: a@example.org\r\nSubject: a big attachment\r\nMIME-Version: 1.0\r\n"
                     "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nSee it.\r\n"
                     "--b\r\nContent-Type: application/ms-tnef\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  text.reserve(text.size() + stream.size() / 57 * 78 + 200);
  for (std::size_t i = 0; i < stream.size(); i += 3) {
    std::uint32_t group = std::uint32_t{stream[i]} << 16;
    if (i + 1 < stream.size()) group |= std::uint32_t{stream[i + 1]} << 8;
    if (i + 2 < stream.size()) group |= stream[i + 2];
    text += kDigits[group >> 18];
    text += kDigits[group >> 12 & 63];
    text += i + 1 < stream.size() ? kDigits[group >> 6 & 63] : '=';
    text += i + 2 < stream.size() ? kDigits[group & 63] : '=';
    if (i / 3 % 19 == 18) text += "\r\n";
  }
  text += "\r\n--b--\r\n";
  return Bytes(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  bool ok = writeBytes(dir + "/random.bin", randomBytes(std::size_t{256} << 20)) &&
            writeBytes(dir + "/small.tnef", smallStream()) &&
            writeBytes(dir + "/attachment.tnef", attachmentStream()) &&
            writeBytes(dir + "/records.tnef", manyRecords(1000000)) &&
            writeBytes(dir + "/titles-10k.tnef", sameTitles(10000)) &&
            writeBytes(dir + "/titles-100k.tnef", sameTitles(100000)) &&
            writeBytes(dir + "/props-100k.tnef", namedUnicodeProperties(100000)) &&
            writeBytes(dir + "/props-1m.tnef", namedUnicodeProperties(1000000)) &&
            writeBytes(dir + "/html-10k.tnef", htmlBodies(10000)) &&
            writeBytes(dir + "/html-100k.tnef", htmlBodies(100000)) &&
            writeBytes(dir + "/messages-1k.tnef", attachedMessages(1000)) &&
            writeBytes(dir + "/messages-10k.tnef", attachedMessages(10000)) &&
            writeBytes(dir + "/ole.tnef", oleObjectStream()) &&
            writeBytes(dir + "/appointments-1k.tnef", attachedMeetings(1000, "IPM.Appointment")) &&
            writeBytes(dir + "/appointments-10k.tnef", attachedMeetings(10000, "IPM.Appointment")) &&
            writeBytes(dir + "/notes-10k.tnef", attachedMeetings(10000, "IPM.Note")) &&
            writeBytes(dir + "/contacts-10k.tnef", attachedContacts(10000, "IPM.Contact")) &&
            writeBytes(dir + "/contact-notes-10k.tnef", attachedContacts(10000, "IPM.Note"));
  Bytes payload = randomBytes(std::size_t{64} << 20);
  Bytes bare = StreamBuilder().record(0x00018010, cString("payload.bin"), 2).record(0x0006800F, payload, 2).bytes();
  ok = ok && writeBytes(dir + "/payload.bin", payload) && writeBytes(dir + "/mime-bare.tnef", bare) &&
       writeBytes(dir + "/mime-wrapped.eml", wrappedStream(bare));
  ok = ok && mkdir((dir + "/small-mail").c_str(), 0755) == 0;
  std::string list;
  for (int i = 0; ok && i < 10000; ++i) {
    std::string name = std::to_string(i);  // (built in steps: "m" + ... trips a false -Wrestrict in g++ 12)
    name.insert(name.begin(), 'm');
    name += ".eml";
    Bytes stream = StreamBuilder().record(0x00018004, cString("Message " + std::to_string(i))).bytes();
    Bytes small = smallStream();
    stream.insert(stream.end(), small.begin() + 6, small.end());
    ok = writeBytes(dir + "/small-mail/" + name, wrappedStream(stream));
    list += name + "\n";
  }
  ok = ok && writeBytes(dir + "/small-mail.list", Bytes(list.begin(), list.end()));
  if (!ok) std::perror("make_inputs");
  return ok ? 0 : 1;
}
