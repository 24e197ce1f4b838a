// Micro-benchmarks of the hot paths: the dump's row kernels, the record walk
// with and without -v, the value formatters, the compressed-RTF decoder and
// the de-encapsulation of HTML and text from RTF. Output goes to /dev/null.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>

#include "calendar_builder.h"
#include "contact_builder.h"
#include "recurrence_builder.h"
#include "rtf_builder.h"
#include "stream_builder.h"
#include "time_zone_builder.h"
#include "wendrel/calendar.h"
#include "wendrel/contacts.h"
#include "wendrel/decoder.h"
#include "wendrel/message.h"
#include "wendrel/cli.h"
#include "wendrel/output.h"
#include "wendrel/formats/compressed_rtf.h"
#include "wendrel/formats/encapsulated_rtf.h"
#include "wendrel/tnef.h"

using namespace wendrel;
using test::Bytes;

namespace {

Bytes pseudoRandom(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = 2463534242u;
  for (auto& byte : bytes) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    byte = static_cast<std::uint8_t>(state);
  }
  return bytes;
}

void dumpRows(benchmark::State& state, const cli::RowFormatter& formatter) {
  constexpr std::size_t kRows = 1024;
  Bytes bytes = pseudoRandom(kRows * 32);
  std::vector<char> text(kRows * cli::kRowChars + cli::kRowSlack);
  for (auto _ : state) {
    benchmark::DoNotOptimize(formatter.format(text.data(), bytes.data(), kRows));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

Bytes mixedStream(std::size_t records) {
  test::StreamBuilder stream;
  Bytes list = test::MapiListBuilder().fixed(0x00170003, 4).string8(0x0070001E, "Topic").counted(0x10090102, Bytes(8, 'r')).bytes();
  for (std::size_t i = 0; i < records; ++i) {
    switch (i % 6) {
      case 0: stream.record(attSubject, test::cString("Quarterly figures")); break;
      case 1: stream.record(attDateSent, test::dateBytes(2003, 3, 4, 9, 30, 0, 2)); break;
      case 2: stream.record(attPriority, test::wordBytes(2)); break;
      case 3: stream.record(attMessageStatus, {0xA1}); break;
      case 4: stream.record(0x000A0001, test::textBytes("xyz")); break;
      default: stream.record(attMAPIProps, list); break;
    }
  }
  return stream.bytes();
}

void walk(benchmark::State& state, int verboseFlag) {
  Bytes stream = mixedStream(10000);
  decoder().verbose = verboseFlag;
  for (auto _ : state) {
    resetDecoderState();
    decodeStream(stream);
  }
  out::flush();
  decoder().verbose = 0;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 10000));
}

// Long lists of named properties with Unicode values, as -v prints them.
void namedUnicodeWalk(benchmark::State& state) {
  constexpr std::size_t kProperties = 10000;
  Bytes byNumber = test::MapiListBuilder::namedById(0x8233);
  Bytes byName = test::MapiListBuilder::namedByString("Keywords");
  Bytes value = test::MapiListBuilder::countedValue(test::unicodeString("Quarterly figures, Grüße"));
  for (Bytes* name : {&byNumber, &byName}) name->insert(name->end(), value.begin(), value.end());
  test::MapiListBuilder list;
  for (std::size_t i = 0; i < kProperties; ++i) {
    if (i % 4 == 3) {
      list.unicode(0x0070001F, "Quarterly figures, Grüße");
    } else {
      list.property(0x8001001F + static_cast<std::uint32_t>(i % 64) * 0x10000, i % 2 == 0 ? byNumber : byName);
    }
  }
  Bytes stream = test::StreamBuilder().record(attMAPIProps, list.bytes()).bytes();
  decoder().verbose = 1;
  for (auto _ : state) {
    resetDecoderState();
    decodeStream(stream);
  }
  out::flush();
  decoder().verbose = 0;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kProperties));
}

void BM_FormatDate(benchmark::State& state) {
  Bytes date = test::dateBytes(2003, 3, 4, 9, 30, 0, 2);
  for (auto _ : state) benchmark::DoNotOptimize(formatDate(ByteView(date.data(), date.size())).size());
}

void BM_MessageStatusText(benchmark::State& state) {
  std::uint8_t flags = 0;
  for (auto _ : state) benchmark::DoNotOptimize(messageStatusText(flags++).size());
}

void BM_CopyStringValue(benchmark::State& state) {
  Bytes text = test::cString("IPM.Microsoft Mail.Note");
  for (auto _ : state) benchmark::DoNotOptimize(copyStringValue(ByteView(text.data(), text.size())).size());
}

void BM_AttributeName(benchmark::State& state) {
  std::uint32_t ids[] = {attSubject, attDateSent, attMAPIProps, attTnefVersion, 0x000A0001};
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(attributeName(ids[i++ % 5]).size());
}

// ---- Compressed RTF: values of about 4 MiB of RTF each ----

constexpr std::size_t kRtfOutput = 4 << 20;

test::LzfuTokens literalTokens() {
  test::LzfuTokens tokens;
  for (std::uint8_t byte : pseudoRandom(kRtfOutput)) tokens.literal(byte);
  return tokens.endMark();
}

// References 17 long that overlap what they produce, distance cycling 1 to maxDistance.
test::LzfuTokens runTokens(unsigned maxDistance) {
  test::LzfuTokens tokens;
  tokens.literals("abcdefgh");
  for (unsigned i = 0; tokens.produced() < kRtfOutput; ++i) tokens.back(1 + i % maxDistance, test::kLongestMatch);
  return tokens.endMark();
}

// Literals and references of any length and distance at random: no branch predicts.
test::LzfuTokens randomTokens() {
  test::LzfuTokens tokens;
  std::uint32_t state = 2463534242u;
  while (tokens.produced() < kRtfOutput) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    if ((state & 1) != 0) {
      tokens.back(1 + (state >> 1) % 4095, 2 + (state >> 13) % 16);
    } else {
      tokens.literal(static_cast<std::uint8_t>(state >> 8));
    }
  }
  return tokens.endMark();
}

Bytes rtfValue(const test::LzfuTokens& tokens) {
  return test::RtfValue{tokens.bytes(), static_cast<std::uint32_t>(tokens.produced())}.bytes();
}

bool discardBlock(ByteView block, void*) {
  benchmark::DoNotOptimize(block.data());
  return true;
}

enum class RtfPass { both, inspect, expand };

// Bytes per second of RTF produced, with the check, the expansion or both.
void rtfDecode(benchmark::State& state, const Bytes& value, RtfPass pass) {
  ByteView bytes(value.data(), value.size());
  CompressedRtf inspected = inspectCompressedRtf(bytes);
  if (inspected.damage != RtfDamage::none) return state.SkipWithError("damaged value");
  for (auto _ : state) {
    CompressedRtf rtf = pass != RtfPass::expand ? inspectCompressedRtf(bytes) : inspected;
    benchmark::DoNotOptimize(rtf.damage);
    if (pass != RtfPass::inspect) benchmark::DoNotOptimize(expandCompressedRtf(rtf, discardBlock, nullptr));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * inspected.rawSize));
}

constexpr std::pair<const char*, Bytes (*)()> kRtfCases[] = {
    {"rtfText", [] { return rtfValue(test::compressGreedy(test::rtfLikeText(kRtfOutput), 16)); }},
    {"literals", [] { return rtfValue(literalTokens()); }},
    {"run1", [] { return rtfValue(runTokens(1)); }},
    {"runs1to16", [] { return rtfValue(runTokens(16)); }},
    {"randomTokens", [] { return rtfValue(randomTokens()); }},
};

// Built on first use, so that runs filtered to other benchmarks do not wait for them.
const Bytes& rtfCaseValue(std::size_t index) {
  static std::vector<std::optional<Bytes>> values(std::size(kRtfCases));
  if (!values[index]) values[index] = kRtfCases[index].second();
  return *values[index];
}

void registerRtfBenchmarks() {
  for (std::size_t i = 0; i < std::size(kRtfCases); ++i) {
    std::string name = kRtfCases[i].first;
    for (auto [label, pass] : {std::pair{"RtfDecode/", RtfPass::both}, std::pair{"RtfInspect/", RtfPass::inspect},
                               std::pair{"RtfExpand/", RtfPass::expand}}) {
      benchmark::RegisterBenchmark((label + name).c_str(), [i, pass = pass](benchmark::State& state) {
        rtfDecode(state, rtfCaseValue(i), pass);
      });
    }
  }
}

// ---- De-encapsulation: bodies of about 4 MiB of RTF as Outlook writes them ----

constexpr std::size_t kEncapsulatedSize = 4 << 20;

// Words of a message, a few with umlauts escaped as \'hh in cp1252.
std::string messageWords(std::uint32_t& state, std::size_t count) {
  static constexpr const char* kWords[] = {"the", "quarterly", "figures", "are", "attached", "Gr\\'fc\\'dfe",
                                           "meeting", "on", "Tuesday", "M\\'fcnchen", "please", "review", "and",
                                           "reply", "by", "Friday", "budget", "\\'c4nderung", "team", "thanks"};
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    text += kWords[state % std::size(kWords)];
    text += ' ';
  }
  return text;
}

// Mostly htmltag groups of ASCII HTML, the text between them, and the
// \htmlrtf runs Outlook puts around it.
std::string encapsulatedHtml() {
  std::string rtf =
      "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl\r\n{\\f0\\fswiss\\fcharset0 Arial;}\r\n"
      "{\\f1\\fmodern Courier New;}\r\n{\\f2\\fnil\\fcharset2 Symbol;}}\r\n"
      "{\\colortbl\\red0\\green0\\blue0;\\red0\\green0\\blue255;}\r\n\\uc1\\pard\\plain\\deftab360 \\f0\\fs24 \r\n"
      "{\\*\\htmltag19 <html>}{\\*\\htmltag34 <head>}{\\*\\htmltag241 <style>}\r\n"
      "{\\*\\htmltag241 <!--\\par /* Font Definitions */\\par @font-face\\par \\tab \\{font-family:Calibri;\\par "
      "\\tab panose-1:2 15 5 2 2 2 4 3 2 4;\\}\\par p.MsoNormal\\par \\tab \\{margin:0cm;\\par \\tab "
      "font-size:11.0pt;\\}\\par -->}\r\n{\\*\\htmltag249 </style>}{\\*\\htmltag41 </head>}\r\n"
      "{\\*\\htmltag50 <body lang=DE link=blue vlink=purple>}\\htmlrtf \\lang1031 \\htmlrtf0 \r\n";
  std::uint32_t state = 2463534242u;
  while (rtf.size() < kEncapsulatedSize) {
    rtf += "{\\*\\htmltag64 <p class=MsoNormal>}\\htmlrtf {\\htmlrtf0 \r\n"
           "{\\*\\htmltag148 <span style='font-size:11.0pt;font-family:\"Calibri\",\"sans-serif\";color:#1F497D'>}"
           "\\htmlrtf {\\htmlrtf0 ";
    rtf += messageWords(state, 24);
    rtf += "\r\n{\\*\\htmltag84 <a href=\"http://www.example.com/reports/q3.html\">}\\htmlrtf {\\field{\\*\\fldinst"
           "{HYPERLINK \"http://www.example.com/reports/q3.html\"}}{\\fldrslt\\cf1\\ul \\htmlrtf0 the report"
           "\\htmlrtf }\\htmlrtf0 \\htmlrtf }\\htmlrtf0 {\\*\\htmltag92 </a>}";
    rtf += messageWords(state, 8);
    rtf += "\\htmlrtf }\\htmlrtf0 {\\*\\htmltag156 </span>}\\htmlrtf }\\htmlrtf0 \\htmlrtf\\par}\\htmlrtf0\r\n"
           "{\\*\\htmltag72 </p>}\r\n";
  }
  return rtf + "{\\*\\htmltag58 </body>}{\\*\\htmltag27 </html>}}";
}

// Lines of text, as Outlook writes a plain-text body.
std::string encapsulatedText() {
  std::string rtf =
      "{\\rtf1\\ansi\\ansicpg1252\\fromtext \\fbidis \\deff0{\\fonttbl\r\n{\\f0\\fswiss\\fcharset0 Arial;}\r\n"
      "{\\f1\\fmodern Courier New;}}\r\n{\\colortbl\\red0\\green0\\blue0;}\r\n\\uc1\\pard\\plain\\deftab360 "
      "\\f0\\fs20 ";
  std::uint32_t state = 2463534242u;
  while (rtf.size() < kEncapsulatedSize) rtf += messageWords(state, 12) + "\\par\r\n";
  return rtf + "}";
}

// A picture of hex digits, skipped whole, amid a little text.
std::string encapsulatedPicture() {
  std::string rtf = "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fcharset0 Arial;}}"
                    "{\\*\\htmltag84 <img src=\"cid:image001.png\">}\\htmlrtf {\\pict\\pngblip\r\n";
  Bytes noise = pseudoRandom(kEncapsulatedSize / 2);
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < noise.size(); ++i) {
    rtf += kHex[noise[i] >> 4];
    rtf += kHex[noise[i] & 15];
    if (i % 64 == 63) rtf += "\r\n";
  }
  return rtf + "}\\htmlrtf0 }";
}

bool discardHtml(ByteView block, void*) {
  benchmark::DoNotOptimize(block.data());
  return true;
}

// Bytes per second of RTF in, fed in the blocks the decompressor hands out.
void deencapsulate(benchmark::State& state, const std::string& rtf) {
  ByteView bytes(reinterpret_cast<const std::uint8_t*>(rtf.data()), rtf.size());
  EncapsulationProbe probe;
  probe.feed(bytes);
  if (probe.result() == RtfEncapsulation::none) return state.SkipWithError("not encapsulated");
  for (auto _ : state) {
    RtfDeencapsulator reader(probe.result(), discardHtml, nullptr);
    for (std::size_t at = 0; at < bytes.size(); at += kRtfBlockSize) reader.feed(bytes.sub(at, kRtfBlockSize));
    benchmark::DoNotOptimize(reader.finish());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rtf.size()));
}

constexpr std::pair<const char*, std::string (*)()> kEncapsulatedCases[] = {
    {"EncapsulatedRtf/html", encapsulatedHtml},
    {"EncapsulatedRtf/text", encapsulatedText},
    {"EncapsulatedRtf/picture", encapsulatedPicture},
};

void registerDeencapsulationBenchmarks() {
  for (std::size_t i = 0; i < std::size(kEncapsulatedCases); ++i) {
    benchmark::RegisterBenchmark(kEncapsulatedCases[i].first, [i](benchmark::State& state) {
      static std::vector<std::string> bodies(std::size(kEncapsulatedCases));  // built on first use
      if (bodies[i].empty()) bodies[i] = kEncapsulatedCases[i].second();
      deencapsulate(state, bodies[i]);
    });
  }
}

// One weekly meeting with a recurrence, an exception, a zone and two
// attendees, written as iCalendar to nothing: what an item costs beyond
// decoding its message.
void calendarItem(benchmark::State& state) {
  test::ExceptionFields moved;
  moved.original = test::minutesOn(2024, 3, 11, 720);
  moved.start = test::minutesOn(2024, 3, 12, 720);
  moved.end = test::minutesOn(2024, 3, 12, 750);
  test::AppointmentFields recur = test::withExceptions({moved});
  test::PatternFields weekly = test::weeklyOn(0x02, 1);  // on Mondays, with the exception's dates
  weekly.deleted = recur.pattern.deleted;
  weekly.modified = recur.pattern.modified;
  recur.pattern = weekly;
  recur.startTimeOffset = 720;
  wendrel::timezone::Rule eastern{2007, 0, 300, 0, -60, test::relativeDate(11, 0, 1, 2), test::relativeDate(3, 0, 2, 2)};
  Bytes stream = test::weeklyMeetingStream("IPM.Schedule.Meeting.Request", test::appointmentBytes(recur),
                                           test::timeZoneDefinition(u"Eastern Standard Time", {eastern}));
  decoder().keepWholeMessages = true;
  decodeStream(stream);
  decoder().keepWholeMessages = false;
  MessageRecord* message = takeDecodedMessage();
  CalendarItem item = calendarItemOf(*message);
  std::size_t written = 0;
  auto count = [](ByteView block, void* total) {
    *static_cast<std::size_t*>(total) += block.size();
    return true;
  };
  for (auto _ : state) benchmark::DoNotOptimize(writeCalendarItem(*message, item, "Weekly review.ics", count, &written));
  state.SetItemsProcessed(state.iterations());
  freeMessage(message);
}

enum class CardBench { photo, noPhoto, list };

// A full contact with and without a 6 KB photo (what Outlook keeps of a
// contact's picture), and a list of 50 one-off members,
// each written as vCard to nothing: what a card costs beyond decoding its
// message.
Bytes contactBenchStream(CardBench kind) {
  if (kind == CardBench::list) {
    std::vector<Bytes> members;
    for (int i = 0; i < 50; ++i) {
      std::string number = std::to_string(i);
      members.push_back(test::oneOff("Member " + number, "SMTP", "member" + number + "@example.org"));
    }
    test::ItemProperties p;
    p.text(0x3001, "Everyone").binaries(test::NamedSet::address, 0x8054, members);
    return test::contactStream("IPM.DistList", p);
  }
  return test::contactStream("IPM.Contact", test::typicalContact(),
                             kind == CardBench::photo ? test::samplePhoto(6000) : Bytes());
}

void contactCard(benchmark::State& state, CardBench bench) {
  decoder().keepWholeMessages = true;
  decodeStream(contactBenchStream(bench));
  decoder().keepWholeMessages = false;
  MessageRecord* message = takeDecodedMessage();
  ContactKind kind = contactKindOf(*message);
  std::size_t written = 0;
  auto count = [](ByteView block, void* total) {
    *static_cast<std::size_t*>(total) += block.size();
    return true;
  };
  for (auto _ : state) benchmark::DoNotOptimize(writeContact(*message, kind, "Zoë Ångström.vcf", count, &written));
  state.SetItemsProcessed(state.iterations());
  freeMessage(message);
}

}  // namespace

int main(int argc, char** argv) {
  std::FILE* null = std::fopen("/dev/null", "w");
  if (null == nullptr) return 1;
  out::setTarget(null);
  for (const cli::RowFormatter& formatter : cli::rowFormatters()) {
    if (!cli::rowFormatterUsable(formatter)) continue;
    benchmark::RegisterBenchmark((std::string("DumpRows/") + formatter.name).c_str(),
                                 [&formatter](benchmark::State& state) { dumpRows(state, formatter); });
  }
  benchmark::RegisterBenchmark("Walk/plain", [](benchmark::State& state) { walk(state, 0); });
  benchmark::RegisterBenchmark("Walk/verbose", [](benchmark::State& state) { walk(state, 1); });
  benchmark::RegisterBenchmark("Walk/namedUnicodeProperties", namedUnicodeWalk);
  benchmark::RegisterBenchmark("FormatDate", BM_FormatDate);
  benchmark::RegisterBenchmark("MessageStatusText", BM_MessageStatusText);
  benchmark::RegisterBenchmark("CopyStringValue", BM_CopyStringValue);
  benchmark::RegisterBenchmark("AttributeName", BM_AttributeName);
  registerRtfBenchmarks();
  registerDeencapsulationBenchmarks();
  benchmark::RegisterBenchmark("Calendar/weeklyMeeting", calendarItem);
  benchmark::RegisterBenchmark("Contact/withPhoto", [](benchmark::State& state) { contactCard(state, CardBench::photo); });
  benchmark::RegisterBenchmark("Contact/noPhoto", [](benchmark::State& state) { contactCard(state, CardBench::noPhoto); });
  benchmark::RegisterBenchmark("Contact/listOf50", [](benchmark::State& state) { contactCard(state, CardBench::list); });
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
