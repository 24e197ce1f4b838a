// Writes the fuzzers' seed corpus: small streams that reach every attribute
// handler, every MAPI layout (named, Unicode and multi-valued ones included),
// compressed-RTF bodies, attachment naming and saving, the ways a stream can
// end early or lie about its lengths, and time zone blobs. Files and
// directories named after the output directory are copied in as well (for a
// directory, every *.tnef inside it; missing ones are skipped).
//
//   make_seeds <output-directory> [stream-file-or-directory...]

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "compound_file_builder.h"
#include "rtf_builder.h"
#include "stream_builder.h"
#include "time_zone_builder.h"
#include "calendar_builder.h"
#include "contact_builder.h"
#include "recurrence_builder.h"
#include "wendrel/decoder.h"
#include "wendrel/tnef.h"

using namespace wendrel;
using namespace wendrel::test;
namespace fs = std::filesystem;

namespace {

Bytes date() { return dateBytes(2003, 3, 4, 9, 30, 0, 2); }

// Every named attribute once, with a value of the kind it expects.
Bytes everyAttribute() {
  StreamBuilder stream;
  for (std::uint32_t id : {attNull, attFrom, attSubject, attMessageID, attParentID, attConversationID,
                           attAttachTitle, attBody, attDateStart, attDateEnd, attDateSent, attDateRecd,
                           attAttachCreateDate, attAttachModifyDate, attDateModified, attRequestRes,
                           attPriority, attAidOwner, attOwner, attSentFor, attDelegate, attMessageStatus,
                           attAttachData, attAttachMetaFile, attAttachTransportFilename, attAttachRenddata,
                           attMAPIProps, attRecipTable, attAttachment, attOemCodepage,
                           attOriginalMessageClass, attMessageClass, attTnefVersion}) {
    switch (attributeType(id)) {
      case atpDate: stream.record(id, date()); break;
      case atpShort: stream.record(id, wordBytes(2)); break;
      case atpDword: stream.record(id, dwordBytes(0x00010000)); break;
      case atpByte: stream.record(id, id == attMessageStatus ? Bytes{0xA1} : Bytes(8, 0x5A), 2); break;
      default: stream.record(id, cString("text")); break;
    }
  }
  return stream.bytes();
}

// Unlisted IDs of every type code, and one beyond the last.
Bytes genericTypes() {
  StreamBuilder stream;
  for (std::uint32_t type = 0; type <= 9; ++type) stream.record(type << 16 | 0x7777, type == 3 ? date() : cString("g"));
  return stream.bytes();
}

Bytes mapiLayouts() {
  return MapiListBuilder()
      .fixed(0x00170003, 4)
      .fixed(0x00010002, 4)
      .fixed(0x0002000B, 4)
      .fixed(0x0E060040, 8)
      .fixed(0x00030005, 8)
      .fixed(0x00040014, 8)
      .tagOnly(0x00010001)
      .tagOnly(0x0070101B)
      .string8(0x003D001E, "RE: ")
      .string8(0x0070001E, "Topic")
      .string8(0x0C1E001E, "SMTP")
      .string8(0x0C1F001E, "a@example.org")
      .string8(0x1008001E, "sync")
      .string8(0x0037001E, "other")
      .counted(0x0FFF0102, {1, 2, 3})
      .counted(0x10090102, uncompressedRtfBody("{\\rtf1 hello}"))
      .bytes();
}

// Named, Unicode, object, class-ID and multi-valued properties.
Bytes mapiModernLayouts() {
  Bytes named = MapiListBuilder::namedByString("Keywords");
  appendBytes(named, MapiListBuilder::countedValue(unicodeString("named")));
  Bytes numbered = MapiListBuilder::namedById(0x8233);
  appendBytes(numbered, dwordBytes(7));
  Bytes multiFixed = dwordBytes(2);
  appendBytes(multiFixed, Bytes(8, 3));
  return MapiListBuilder()
      .unicode(0x0070001F, "Тема 😀")
      .unicode(0x0C1F001F, "a@example.org")
      .property(0x8002001F, named)
      .property(0x80010003, numbered)
      .property(0x3701000D, MapiListBuilder::countedValue(Bytes(20, 'o')))
      .property(0x00300048, Bytes(16, 0xC1))
      .property(0x10001003, multiFixed)
      .property(0x1004101F, MapiListBuilder::multiCountedValue({unicodeString("a"), unicodeString("bc")}))
      .property(0x10051102, MapiListBuilder::multiCountedValue({{1, 2, 3}, {}}))
      .string8(0x0070001E, "after")
      .bytes();
}

// Attachments as mail clients write them: data before title, 8.3 titles with
// the long name in the attachment's own properties, repeated titles.
Bytes realisticAttachments() {
  StreamBuilder stream;
  for (int i = 0; i < 3; ++i) {
    stream.record(attAttachRenddata, Bytes(14, 0), 2)
        .record(attAttachData, textBytes("image bytes"), 2)
        .record(attAttachTitle, cString("IMAGE0~1.PNG"), 2)
        .record(attAttachment, attachmentProperties("image001.png"), 2);
  }
  stream.record(attAttachRenddata, Bytes(14, 0), 2)
      .record(attAttachData, textBytes("text"), 2)
      .record(attAttachTitle, cString("plain.txt"), 2)
      .record(attAttachment, attachmentProperties("lang.txt", false), 2)
      .record(attMAPIProps, MapiListBuilder().counted(0x10090102, Bytes(5, 'r')).bytes())
      .record(attAttachTitle, cString("tnef_0_5.rtf"), 2)
      .record(attAttachData, textBytes("clash"), 2);
  return stream.bytes();
}

Bytes attachments() {
  return StreamBuilder()
      .record(attAttachData, textBytes("before any title"), 2)
      .record(attAttachRenddata, Bytes(14, 0), 2)
      .record(attAttachTitle, cString("report.txt"), 2)
      .record(attAttachData, textBytes("quarter,revenue\n"), 2)
      .record(attAttachTitle, cString("../dir\\C:\\name.bin"), 2)
      .record(attAttachData, Bytes(64, 0xEE), 2)
      .bytes();
}

Bytes twoRtfRecords() {
  Bytes list = MapiListBuilder().counted(0x10090102, uncompressedRtfBody("{\\rtf1 hello}")).counted(0x10090102, {}).bytes();
  return StreamBuilder().record(attMAPIProps, list).record(attMAPIProps, list).bytes();
}

// Compressed-RTF bodies: sound ones (compressed with runs, stored) and one
// of each kind of damage.
std::vector<std::pair<std::string, Bytes>> rtfBodies() {
  std::string text = rtfLikeText(3000);
  Bytes tokens = compressGreedy(text).bytes();
  Bytes cut(tokens.begin(), tokens.end() - 3);
  Bytes runs = LzfuTokens().literals("{\\rtf1 ").reference(0, 6).literal('x').back(1, 17).back(3, 12).endMark().bytes();
  return {
      {"compressed", RtfValue{tokens, static_cast<std::uint32_t>(text.size())}.bytes()},
      {"runs", RtfValue{runs, 42}.bytes()},
      {"stored", uncompressedRtfBody("{\\rtf1 stored}")},
      {"bad-crc", RtfValue{tokens, static_cast<std::uint32_t>(text.size()), kLzfu, std::nullopt, 1}.bytes()},
      {"cut", RtfValue{cut, static_cast<std::uint32_t>(text.size())}.bytes()},
      {"too-few-bytes", RtfValue{tokens, static_cast<std::uint32_t>(text.size() + 1)}.bytes()},
      {"unknown-type", RtfValue{tokens, 10, 0x12345678}.bytes()},
      {"compsize-past-the-end", RtfValue{tokens, 10, kLzfu, 0xFFFFFFF0}.bytes()},
  };
}

// 8-bit text in code pages of each kind: single-byte, one that holds letters
// back, double-byte with '\' as a trail byte, UTF-8, one that does not open.
Bytes codePages() {
  StreamBuilder stream;
  for (auto [codePage, text] : {std::pair<std::uint32_t, std::string_view>{1252, "Gr\xFC\xDF" "e"},
                                {1255, "\xF9\xEC\xE5\xED"}, {932, "\x95\x5C.txt"}, {65001, "a\xC3(\xE6\x96"},
                                {936, "\xC4\xE3"}, {500, "\xC1"}}) {
    stream.record(attOemCodepage, dwordBytes(codePage))
        .record(attSubject, cString(text))
        .record(attBody, cString(text))
        .record(attMAPIProps, MapiListBuilder().string8(0x0070001E, text).string8(0x1000001E, text).bytes())
        .record(attAttachTitle, cString(text), 2)
        .record(attAttachData, textBytes("x"), 2);
  }
  return stream.bytes();
}

// HTML and plain-text bodies of every type.
Bytes htmlAndTextBodies() {
  Bytes html = textBytes("<html><body>hi</body></html>");
  return StreamBuilder()
      .record(attBody, cString("plain"))
      .record(attMAPIProps, MapiListBuilder()
                                .counted(0x10130102, html)
                                .string8(0x1013001E, "<p>8-bit</p>")
                                .unicode(0x1013001F, "<p>Грüße</p>")
                                .string8(0x1000001E, "text")
                                .unicode(0x1000001F, "Текст")
                                .bytes())
      .bytes();
}

// A message attached to a message attached to the stream, with stand-in data
// records and attachments of their own.
Bytes attachedMessages() {
  Bytes inner = StreamBuilder().record(attSubject, cString("inner")).record(attAttachTitle, cString("a.txt"), 2)
                    .record(attAttachData, textBytes("inner"), 2).bytes();
  Bytes standIn = cString("This attachment is a MAPI 1.0 embedded message and is not supported by this mail system.");
  Bytes middle = StreamBuilder().record(attSubject, cString("middle")).record(attAttachRenddata, Bytes(14, 0), 2)
                     .record(attAttachData, standIn, 2)
                     .record(attAttachment, objectProperties({embeddedMessage(inner)}, "inner.msg"), 2).bytes();
  return StreamBuilder().record(attSubject, cString("outer")).record(attAttachRenddata, Bytes(14, 0), 2)
      .record(attAttachData, standIn, 2)
      .record(attAttachment, objectProperties({embeddedMessage(middle), embeddedMessage(inner)}, "middle.msg"), 2)
      .record(attAttachTitle, cString("a.txt"), 2).record(attAttachData, textBytes("outer"), 2).bytes();
}

// Compound files: CONTENTS in the mini stream and in sectors of both sizes,
// and none.
std::vector<std::pair<std::string, Bytes>> compoundFiles() {
  Bytes png = textBytes("\x89PNG\r\n\x1A\n");
  png.resize(9000, 0x42);
  Bytes small = textBytes("BM");
  small.resize(300, 7);
  return {
      {"mini", buildCompoundFile({{"\x01Ole", Bytes(20, 1)}, {"CONTENTS", small}}).bytes},
      {"sectors", buildCompoundFile({{"\x01" "CompObj", Bytes(90, 2)}, {"CONTENTS", png, true}}).bytes},
      {"v4", buildCompoundFile({{"CONTENTS", png}, {"\x01Ole", Bytes(20, 1)}}, 4).bytes},
      {"no-contents", buildCompoundFile({{"Package", small}}).bytes},
  };
}

Bytes oleObjects() {
  StreamBuilder stream;
  for (const auto& [name, file] : compoundFiles()) {
    if (file.size() > 65536) continue;
    stream.record(attAttachRenddata, Bytes(14, 0), 2).record(attAttachTitle, cString("Untitled Attachment"), 2)
        .record(attAttachment, objectProperties({oleObject(file)}, name == "mini" ? std::optional<std::string_view>{} : name), 2);
  }
  return stream.bytes();
}

// RTF documents that encapsulate HTML and text, for the de-encapsulator on
// its own and, stored as bodies, for the walk that saves them.
std::vector<std::pair<std::string, std::string>> encapsulatedRtf() {
  return {
      {"html", "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}"
               "{\\f1\\fmodern\\fcharset128 MS Gothic;}{\\f2\\fnil\\cpg1251 Cyr;}}\r\n"
               "{\\*\\htmltag19 <html>}{\\*\\htmltag34 <head>}{\\*\\htmltag241 <style>\\par p \\{x:y\\}}"
               "\\htmlrtf {\\f1 \\'82a}\\htmlrtf0 {\\*\\htmltag50 <p>}Gr\\'fc\\'dfe \\f1\\'82\\'a0\\f2\\'cf "
               "\\uc2\\u8364\\'80\\'80\\u-10179?\\u-8704?{\\field{\\*\\fldinst HYPERLINK x}{\\fldrslt link}}"
               "\\lquote\\emdash\\~\\tab\\par{\\*\\htmltag58 </p>}{\\*\\htmltag27 </html>}}"},
      {"text", "{\\rtf1\\ansi\\fromtext \\pard Line one\\par\r\nLine \\u8364? two\\line {\\pict\\wmetafile8 0102}\\}\\\\}"},
      {"late", "{\\rtf1{\\a}{\\b}{\\c}{\\d}{\\e}\\fromhtml1 x}"},
      {"htmlrtf", "{\\rtf1\\ansi\\fromhtml1 {\\fonttbl{\\f1\\fcharset204 C;}}\\htmlrtf{\\*\\htmltag84 <b>}"
                  "{{\\*\\htmltag1 <i>}}\\f1{\\htmlrtf0 {\\*\\htmltag84 <p>}\\'e0}\\htmlrtf0 x}"},
  };
}

// Time zone blobs of both kinds: northern, southern, without daylight saving,
// with absolute dates, and a definition of a later minor version.
std::vector<std::pair<std::string, Bytes>> timeZones() {
  wendrel::timezone::Rule eastern{2007, timezone::kRuleEffective, 300, 0, -60, relativeDate(11, 0, 1, 2), relativeDate(3, 0, 2, 2)};
  wendrel::timezone::Rule easternBefore{2006, 0, 300, 0, -60, relativeDate(10, 0, 5, 2), relativeDate(4, 0, 1, 2)};
  wendrel::timezone::Rule australia{0, 0, -600, 0, -60, relativeDate(4, 0, 1, 3), relativeDate(10, 0, 1, 2)};
  wendrel::timezone::Rule season{2014, 0, -120, 0, -60, absoluteDate(2014, 9, 25, 23), absoluteDate(2014, 5, 15, 0)};
  wendrel::timezone::Rule fixed{2015, 0, -120, 0, 0, {}, {}};
  TimeZoneLayout later;
  later.minor = 2;
  later.headerExtra = {1, 2};
  later.ruleMinor = 2;
  later.ruleExtra = {3, 4};
  return {
      {"struct-australia", timeZoneStruct(australia)},
      {"struct-india", timeZoneStruct({0, 0, -330, 0, 0, {}, {}})},
      {"definition-eastern", timeZoneDefinition(u"Eastern Standard Time", {easternBefore, eastern})},
      {"definition-egypt", timeZoneDefinition(u"Egypt Standard Time", {season, fixed})},
      {"definition-later-minor", timeZoneDefinition(u"Eastern Standard Time", {easternBefore, eastern}, later)},
  };
}

// Recurrence patterns of each kind, with exceptions that override texts.
std::vector<std::pair<std::string, Bytes>> recurrences() {
  test::ExceptionFields moved;
  moved.original = test::minutesOn(2024, 3, 11, 720);
  moved.start = test::minutesOn(2024, 3, 12, 780);
  moved.end = test::minutesOn(2024, 3, 12, 810);
  moved.flags = test::kOverrideSubject | test::kOverrideLocation | test::kOverrideBusyStatus;
  moved.subject = moved.wideSubject = "moved";
  moved.location = moved.wideLocation = "Hall";
  test::AppointmentFields weekly = test::withExceptions({moved});
  test::PatternFields mondays = test::weeklyOn(test::kMonday, 1);
  mondays.deleted = weekly.pattern.deleted;
  mondays.deleted.push_back(test::minutesOn(2024, 3, 18));
  mondays.modified = weekly.pattern.modified;
  weekly.pattern = mondays;
  weekly.startTimeOffset = 720;
  weekly.endTimeOffset = 750;
  auto series = [](test::PatternFields pattern) {
    test::AppointmentFields a;
    a.pattern = pattern;
    return test::appointmentBytes(a);
  };
  return {
      {"weekly-exceptions", test::appointmentBytes(weekly)},
      {"daily-count", series(test::endingAfter(test::dailyEvery(2 * test::kDay), 5))},
      {"monthly-last-weekday",
       series(test::monthly(test::kMonthNthPattern, {test::kWeekDays, 5}, 1, test::minutesOn(2024, 3, 29)))},
      {"month-end-until", series(test::endingOn(test::monthly(test::kMonthEndPattern, {31}, 1, test::minutesOn(2024, 3, 31)),
                                                test::minutesOn(2025, 3, 31)))},
      {"yearly", series(test::monthly(test::kMonthPattern, {25}, 12, test::minutesOn(2024, 12, 25), test::kYearly))},
  };
}

// Calendar items: a meeting request with a recurrence, a zone and
// attendees, its reply and cancellation, an all-day appointment, a task and
// a task request that carries one.
std::vector<std::pair<std::string, Bytes>> calendarItems() {
  wendrel::timezone::Rule eastern{2007, 0, 300, 0, -60, relativeDate(11, 0, 1, 2), relativeDate(3, 0, 2, 2)};
  Bytes zone = timeZoneDefinition(u"Eastern Standard Time", {eastern});
  Bytes recurrence = recurrences().front().second;
  test::ItemProperties task;
  task.text(0x0037, "Paint the shed").integer(test::NamedSet::task, 0x8101, 1)
      .time(test::NamedSet::task, 0x8104, 1709510400).time(test::NamedSet::task, 0x8105, 1709856000)
      .binary(test::NamedSet::task, 0x8116, test::patternBytes(test::endingAfter(test::weeklyOn(test::kMonday, 1), 4)));
  Bytes taskStream = test::calendarStream("IPM.Task", task);
  test::ItemProperties allDay;
  allDay.text(0x0037, "Holiday").boolean(test::NamedSet::appointment, 0x8215, true)
      .time(test::NamedSet::appointment, 0x820D, 1709528400).time(test::NamedSet::appointment, 0x820E, 1709614800)
      .binary(test::NamedSet::appointment, 0x825E, zone);
  Bytes withTask = StreamBuilder().record(attMessageClass, cString("IPM.TaskRequest"))
                       .record(attAttachRenddata, Bytes(14, 0), 2)
                       .record(attAttachment, objectProperties({embeddedMessage(taskStream)}), 2).bytes();
  return {
      {"meeting-request", test::weeklyMeetingStream("IPM.Schedule.Meeting.Request", recurrence, zone)},
      {"meeting-reply", test::weeklyMeetingStream("IPM.Schedule.Meeting.Resp.Tent", recurrence, zone)},
      {"meeting-cancel", test::weeklyMeetingStream("IPM.Microsoft Schedule.MtgCncl", recurrence, zone)},
      {"all-day", test::calendarStream("IPM.Appointment", allDay)},
      {"task", taskStream},
      {"task-request", withTask},
  };
}

// Names in no code page (windows-1252 unless UTF-8), in EBCDIC, and with
// control characters, each saved.
Bytes uncodedNames() {
  StreamBuilder stream;
  for (std::string_view title : {"caf\xE9 \x81\x80.txt", "caf\xC3\xA9.txt", "a\x1B[31mb\x07\x7F.txt", "x\x9F>\".\x07"}) {
    stream.record(attAttachTitle, cString(title), 2).record(attAttachData, textBytes("x"), 2);
  }
  stream.record(attOemCodepage, dwordBytes(500)).record(attAttachTitle, cString("\xC1\xC2.txt"), 2)
      .record(attAttachData, textBytes("y"), 2).record(attMAPIProps, MapiListBuilder().string8(0x1000001E, "\xE9t\xE9").bytes());
  return stream.bytes();
}

Bytes shortValues() {
  return StreamBuilder()
      .record(attDateSent, {0xD3, 0x07, 0x03})
      .record(attPriority, {0x02})
      .record(attMessageStatus, {})
      .record(attTnefVersion, {0x01})
      .record(attSubject, Bytes(300, 's'))
      .record(attMAPIProps, {1, 0})
      .bytes();
}

Bytes withTail(Bytes bytes, const Bytes& tail) {
  appendBytes(bytes, tail);
  return bytes;
}

int made = 0;

void write(const fs::path& path, const Bytes& bytes) {
  ++made;
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: make_seeds <output-directory> [stream-file-or-directory...]\n", stderr);
    return 2;
  }
  fs::path dir = argv[1];
  fs::create_directories(dir);
  Bytes subject = StreamBuilder().record(attSubject, cString("Hello")).bytes();
  write(dir / "every-attribute.tnef", everyAttribute());
  write(dir / "generic-types.tnef", genericTypes());
  write(dir / "mapi-layouts.tnef", StreamBuilder().record(attMAPIProps, mapiLayouts()).bytes());
  write(dir / "attachments.tnef", attachments());
  write(dir / "mapi-modern-layouts.tnef", StreamBuilder().record(attMAPIProps, mapiModernLayouts()).bytes());
  write(dir / "realistic-attachments.tnef", realisticAttachments());
  write(dir / "two-rtf-records.tnef", twoRtfRecords());
  // Each body on its own (the verbose target also takes an input as a body)
  // and all in one property list.
  MapiListBuilder bodies;
  for (const auto& [name, body] : rtfBodies()) {
    write(dir / ("rtf-" + name + ".bin"), body);
    bodies.counted(0x10090102, body);
  }
  write(dir / "rtf-bodies.tnef", StreamBuilder().record(attMAPIProps, bodies.bytes()).bytes());
  write(dir / "short-values.tnef", shortValues());
  write(dir / "uncoded-names.tnef", uncodedNames());
  write(dir / "code-pages.tnef", codePages());
  write(dir / "bodies.tnef", htmlAndTextBodies());
  write(dir / "attached-messages.tnef", attachedMessages());
  write(dir / "ole-objects.tnef", oleObjects());
  MapiListBuilder encapsulated;
  for (const auto& [name, rtf] : encapsulatedRtf()) {
    write(dir / ("rtf-" + name + ".rtf"), textBytes(rtf));
    encapsulated.counted(0x10090102, uncompressedRtfBody(rtf));
  }
  write(dir / "encapsulated-bodies.tnef", StreamBuilder().record(attMAPIProps, encapsulated.bytes()).bytes());
  for (const auto& [name, file] : compoundFiles()) {
    if (file.size() <= 65536) write(dir / ("compound-" + name + ".bin"), file);
  }
  for (const auto& [name, blob] : timeZones()) write(dir / ("tz-" + name + ".bin"), blob);
  for (const auto& [name, blob] : recurrences()) write(dir / ("recurrence-" + name + ".bin"), blob);
  for (const auto& [name, stream] : calendarItems()) write(dir / ("calendar-" + name + ".tnef"), stream);
  write(dir / "bad-signature.tnef", StreamBuilder(0x0001, 0xDEADBEEF).record(attSubject, cString("x")).bytes());
  write(dir / "header-only.tnef", StreamBuilder().bytes());
  write(dir / "record-cut.tnef", Bytes(subject.begin(), subject.end() - 3));
  write(dir / "record-length-huge.tnef", withTail(subject, {1, 4, 0x80, 1, 0, 0xF5, 0xFF, 0xFF, 0xFF, 'x', 0, 0}));
  write(dir / "mapi-count-huge.tnef",
        StreamBuilder().record(attMAPIProps, MapiListBuilder().tagOnly(0x00010001).bytesWithCount(0xFFFFFFFF)).bytes());
  write(dir / "mapi-length-huge.tnef",
        StreamBuilder()
            .record(attMAPIProps, MapiListBuilder().countedClaiming(0x0070001E, 0xFFFFFFF4, textBytes("ab")).bytes())
            .bytes());

  // Mail messages for the MIME target: TNEF as application/ms-tnef, as
  // octet-stream, in a forwarded message, and none at all.
  std::string note = [&] {
    Bytes meeting = calendarItems().front().second;
    return std::string(meeting.begin(), meeting.end());
  }();
  auto base64 = [](const std::string& bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
      std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
      if (i + 1 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
      if (i + 2 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 2]);
      text += kDigits[group >> 18];
      text += kDigits[group >> 12 & 63];
      text += i + 1 < bytes.size() ? kDigits[group >> 6 & 63] : '=';
      text += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
      if (i / 3 % 19 == 18) text += "\r\n";
    }
    return text + "\r\n";
  };
  auto message = [&](const std::string& type, bool forwarded) {
    std::string part = "Content-Type: " + type + "; name=winmail.dat\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(note);
    if (forwarded) part = "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\nContent-Type: multipart/mixed; boundary=i\r\n\r\n--i\r\n" + part + "--i--\r\n";
    std::string text = "From: a@example.org\r\nSubject: fwd\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=o\r\n\r\n"
                       "--o\r\nContent-Type: text/plain\r\n\r\nhello\r\n--o\r\n" + part + "--o--\r\n";
    return Bytes(text.begin(), text.end());
  };
  write(dir / "mime-ms-tnef.eml", message("application/ms-tnef", false));
  write(dir / "mime-octet-stream.eml", message("application/octet-stream", false));
  write(dir / "mime-forwarded.eml", message("application/vnd.ms-tnef", true));
  write(dir / "mime-plain.eml", textBytes("From: a@example.org\r\nSubject: plain\r\n\r\nno TNEF here\r\n"));
  // Reports, a recall and S/MIME: what becomes a report or the entity carried.
  ItemProperties report;
  report.text(0x0049, "Figures").text(0x0074, "grace@example.org").time(0x0032, 1709629200).text(0x1046, "<1@example.org>")
      .text(0x6820, "relay.example.org").text(0x0C1A, "Grace").text(0x5D01, "grace@example.org");
  ItemProperties failed = recipientRow("Alan", "alan@example.org", 1);
  failed.integer(0x0C20, 511).integer(0x0C05, 48).text(0x0C1B, "<mx #5.1.1 smtp;550 no such user>").text(0x0C21, "mx");
  Bytes reportRows = recipientTable({failed});
  for (const char* reportClass : {"REPORT.IPM.Note.IPNRN", "REPORT.IPM.Note.IPNNRN", "REPORT.IPM.Note.NDR",
                                  "REPORT.IPM.Note.Delayed.DR", "IPM.Outlook.Recall"}) {
    write(dir / ("report-" + std::string(reportClass) + ".tnef"), calendarStream(reportClass, report, reportRows));
  }
  std::string entity = "MIME-Version: 1.0\r\nContent-Type: multipart/signed; protocol=\"application/pkcs7-signature\";\r\n"
                       "\tmicalg=sha-256; boundary=\"s\"\r\n\r\n--s\r\nContent-Type: text/plain\r\n\r\nsigned\r\n"
                       "--s\r\nContent-Type: application/pkcs7-signature\r\n\r\nMIIB\r\n--s--\r\n";
  for (const auto& [secureClass, data] : {std::pair{"IPM.Note.SMIME.MultipartSigned", entity},
                                          std::pair{"IPM.Note.SMIME", std::string("\x30\x80\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x03")}}) {
    Bytes secure = StreamBuilder().record(attMessageClass, cString(secureClass)).record(attSubject, cString("Secure"))
                       .record(0x00069002, Bytes(14, 0), 2).record(attAttachTitle, cString("smime.p7m"), 2)
                       .record(attAttachData, textBytes(data), 2).bytes();
    write(dir / ("smime-" + std::string(secureClass) + ".tnef"), secure);
  }
  // A contact with a photo, and a list whose members are one-off entry IDs
  // (Unicode, 8-bit, wrapped, and one cut short).
  write(dir / "contact.tnef", contactStream("IPM.Contact", typicalContact(), samplePhoto(16)));
  Bytes cut = oneOff("Alan", "SMTP", "alan@example.org");
  cut.resize(cut.size() - 5);
  ItemProperties list;
  list.text(0x3001, "Team").binaries(NamedSet::address, 0x8054,
                                     {oneOff("Ada", "SMTP", "ada@example.org"), oneOff("Zo\xEB", "SMTP", "zoe@example.org", false),
                                      wrappedOneOff(oneOff("Grace", "SMTP", "grace@example.org")), cut});
  write(dir / "distribution-list.tnef", contactStream("IPM.DistList", list));
  // The line ends and the envelope a message keeps as they came.
  auto lf = [](Bytes text) {
    Bytes result;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') result.push_back(text[i]);
    }
    return result;
  };
  write(dir / "mime-lf.eml", lf(message("application/ms-tnef", true)));
  Bytes mbox = textBytes("From a@example.org Tue Dec 10 10:00:00 2024\r\n");
  appendBytes(mbox, message("application/ms-tnef", false));
  write(dir / "mime-mbox.eml", mbox);
  Bytes prologue = textBytes("From: a@example.org\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=o\r\n\r\n"
                             "This is a multi-part message in MIME format.\r\n\r\n--o\r\nContent-Type: application/ms-tnef\r\n"
                             "Content-Transfer-Encoding: base64\r\n\r\n");
  appendBytes(prologue, textBytes(base64(note) + "--o--\r\nan epilogue\r\n"));
  write(dir / "mime-prologue.eml", prologue);

  int copied = 0;
  for (int i = 2; i < argc; ++i) {
    std::error_code error;
    fs::path source = argv[i];
    if (fs::is_regular_file(source, error)) {
      fs::copy_file(source, dir / source.filename(), fs::copy_options::overwrite_existing);
      ++copied;
    } else if (fs::is_directory(source, error)) {
      for (const fs::directory_entry& entry : fs::directory_iterator(source)) {
        if (entry.path().extension() != ".tnef") continue;
        fs::copy_file(entry.path(), dir / entry.path().filename(), fs::copy_options::overwrite_existing);
        ++copied;
      }
    }
  }
  std::printf("make_seeds: %d streams made, %d copied into %s\n", made, copied, dir.c_str());
  return 0;
}
