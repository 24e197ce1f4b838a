// The MAPI property list inside attMAPIProps: counts, layouts, labels,
// compressed-RTF bodies and lists that end before they should.

#include <gtest/gtest.h>

#include "wendrel/decoder.h"
#include "process.h"
#include "rtf_builder.h"

namespace wendrel::test {
namespace {

constexpr std::uint32_t kMapiProps = 0x00069003;
constexpr std::uint32_t kCompressedRtf = 0x10090102;
const std::string kTruncated = "Truncated MAPI property list\n";

std::string listed(const std::string& lines) { return kGoodHeader + ("MAPI Properties\n" + lines); }

RunResult decodeList(const Bytes& list, const std::vector<std::string>& flags = {}) {
  return decode(StreamBuilder().record(kMapiProps, list).bytes(), flags);
}

Bytes plus(Bytes bytes, const Bytes& more) {
  appendBytes(bytes, more);
  return bytes;
}

struct Case {
  std::string name;
  Bytes list;
  std::string lines;    // after "MAPI Properties"
  std::string err = "";
};

// The -v header block of the attMAPIProps record that carries list.
std::string recordHeader(const Bytes& list) {
  char checksum[8];
  std::snprintf(checksum, sizeof checksum, "%04x", checksumOf(list));
  return "Attribute: attMAPIProps, (00069003)\n\tComponent:\tMessage\n\tType:\t\tatpByte\n\tSize:\t\t" +
         std::to_string(list.size()) + "\n\tChecksum:\t" + checksum + "\n";
}

void expectCases(const std::vector<Case>& cases, const std::vector<std::string>& flags = {}) {
  bool verbose = !flags.empty() && flags[0] == "-v";
  for (const Case& c : cases) {
    RunResult result = decodeList(c.list, flags);
    std::string header = verbose ? recordHeader(c.list) : "";
    EXPECT_EQ(result.out, kGoodHeader + header + "MAPI Properties\n" + c.lines) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
    EXPECT_EQ(result.status, 0) << c.name;
  }
}

TEST(MapiList, CountsAndStringLabels) {
  expectCases({
      {"empty list", MapiListBuilder().bytes(), "\tNumber of Properties: 0\n"},
      {"labels",
       MapiListBuilder()
           .string8(0x003D001E, "RE: ")
           .string8(0x0070001E, "Topic")
           .string8(0x0C1E001E, "SMTP")
           .string8(0x0C1F001E, "a@b.example")
           .string8(0x1008001E, "Hello there")
           .string8(0x0037001E, "other")
           .bytes(),
       "\tNumber of Properties: 6\n\tSubject Prefix: RE: \n\tConversation Topic: Topic\n"
       "\tSender Address Type: SMTP\n\tSender Email Address: a@b.example\n\tRTF Sync body tag: Hello there\n"
       "\tUnknown String: other\n"},
      {"empty, long and NUL-split strings",
       MapiListBuilder()
           .counted(0x0070001E, {})
           .counted(0x0070001E, Bytes(300, 's'))
           .counted(0x0070001E, {'a', 'b', 0, 'c'})
           .string8(0x003D001E, "after")
           .bytes(),
       "\tNumber of Properties: 4\n\tConversation Topic: \n\tConversation Topic: " + std::string(255, 's') +
           "\n\tConversation Topic: ab\n\tSubject Prefix: after\n"},
      {"count with the top bit set",
       MapiListBuilder().bytesWithCount(0x80000000), "\tNumber of Properties: 2147483648\n", kTruncated},
  });
}

TEST(MapiList, EachLayoutStepsToTheNextTag) {
  expectCases(
      {
          {"fixed 4-byte slots",
           MapiListBuilder()
               .fixed(0x00010002, 4)
               .fixed(0x00020003, 4)
               .fixed(0x00030004, 4)
               .fixed(0x0004000A, 4)
               .fixed(0x0005000B, 4)
               .string8(0x0070001E, "four")
               .bytes(),
           "\tNumber of Properties: 6\n\tProperty: 00010002 (PT_I2)\n\tProperty: 00020003 (PT_LONG)\n"
           "\tProperty: 00030004 (PT_R4)\n\tProperty: 0004000a (PT_ERROR)\n\tProperty: 0005000b (PT_BOOLEAN)\n"
           "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: four\n"},
          {"fixed 8-byte slots",
           MapiListBuilder()
               .fixed(0x00010005, 8)
               .fixed(0x00020006, 8)
               .fixed(0x00030007, 8)
               .fixed(0x00040014, 8)
               .fixed(0x00050040, 8)
               .string8(0x0070001E, "eight")
               .bytes(),
           "\tNumber of Properties: 6\n\tProperty: 00010005 (PT_DOUBLE)\n\tProperty: 00020006 (PT_CURRENCY)\n"
           "\tProperty: 00030007 (PT_APPTIME)\n\tProperty: 00040014 (PT_I8)\n\tProperty: 00050040 (PT_SYSTIME)\n"
           "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: eight\n"},
          {"types without a value",
           MapiListBuilder()
               .tagOnly(0x00040000)
               .tagOnly(0x00050001)
               .tagOnly(0x00061001)
               .string8(0x0070001E, "bare")
               .bytes(),
           "\tNumber of Properties: 4\n\tProperty: 00040000 (unknown)\n\tProperty: 00050001 (unknown)\n"
           "\tProperty: 00061001 (unknown)\n\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: bare\n"},
          {"binary values of every padding",
           MapiListBuilder()
               .counted(0x0FFF0102, {})
               .counted(0x0FFF0102, {1})
               .counted(0x0FFF0102, {1, 2, 3, 4})
               .counted(0x0FFF0102, {1, 2, 3, 4, 5})
               .string8(0x0070001E, "bin")
               .bytes(),
           "\tNumber of Properties: 5\n\tProperty: 0fff0102 (PT_BINARY)\n\tProperty: 0fff0102 (PT_BINARY)\n"
           "\tProperty: 0fff0102 (PT_BINARY)\n\tProperty: 0fff0102 (PT_BINARY)\n"
           "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: bin\n"},
          {"named properties: by number, by name, and a name without a value",
           MapiListBuilder()
               .property(0x80010003, plus(MapiListBuilder::namedById(0x8233), {1, 2, 3, 4}))
               .property(0x8002001F, plus(MapiListBuilder::namedByString("Keywords"),
                                          MapiListBuilder::countedValue(unicodeString("named text"))))
               .property(0x80030001, MapiListBuilder::namedByString("abc"))
               .string8(0x0070001E, "after")
               .bytes(),
           "\tNumber of Properties: 4\n\tProperty: 80010003 (PT_LONG)\n\tProperty: 8002001f (PT_UNICODE)\n"
           "\tUnknown String: named text\n\tProperty: 80030001 (unknown)\n\tProperty: 0070001e (PT_STRING8)\n"
           "\tConversation Topic: after\n"},
          {"Unicode strings take the labels of their property IDs",
           MapiListBuilder()
               .unicode(0x003D001F, "RE: ")
               .unicode(0x0070001F, "Тема")
               .unicode(0x0C1E001F, "SMTP")
               .unicode(0x0C1F001F, "a@b.example")
               .unicode(0x1008001F, "sync")
               .unicode(0x0037001F, "")
               .bytes(),
           "\tNumber of Properties: 6\n\tProperty: 003d001f (PT_UNICODE)\n\tSubject Prefix: RE: \n"
           "\tProperty: 0070001f (PT_UNICODE)\n\tConversation Topic: Тема\n"
           "\tProperty: 0c1e001f (PT_UNICODE)\n\tSender Address Type: SMTP\n"
           "\tProperty: 0c1f001f (PT_UNICODE)\n\tSender Email Address: a@b.example\n"
           "\tProperty: 1008001f (PT_UNICODE)\n\tRTF Sync body tag: sync\n"
           "\tProperty: 0037001f (PT_UNICODE)\n\tUnknown String: \n"},
          {"objects and class IDs",
           MapiListBuilder()
               .property(0x3701000D, MapiListBuilder::countedValue(Bytes(21, 'o')))
               .property(0x00300048, Bytes(16, 0xC1))
               .string8(0x0070001E, "after")
               .bytes(),
           "\tNumber of Properties: 3\n\tProperty: 3701000d (PT_OBJECT)\n\tProperty: 00300048 (unknown)\n"
           "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: after\n"},
          {"multi-valued fixed slots",
           MapiListBuilder()
               .property(0x10001003, plus(dwordBytes(3), Bytes(12, 7)))
               .property(0x10011014, plus(dwordBytes(2), Bytes(16, 7)))
               .property(0x10021048, plus(dwordBytes(1), Bytes(16, 7)))
               .property(0x10031002, plus(dwordBytes(2), Bytes(8, 7)))
               .property(0x10041003, dwordBytes(0))
               .string8(0x0070001E, "after")
               .bytes(),
           "\tNumber of Properties: 6\n\tProperty: 10001003 (unknown)\n\tProperty: 10011014 (unknown)\n"
           "\tProperty: 10021048 (unknown)\n\tProperty: 10031002 (unknown)\n\tProperty: 10041003 (unknown)\n"
           "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: after\n"},
          {"multi-valued counted values are walked over, not printed",
           MapiListBuilder()
               .property(0x1004101E, MapiListBuilder::multiCountedValue({cString("ab"), cString("cdef")}))
               .property(0x1005101F, MapiListBuilder::multiCountedValue({unicodeString("x"), unicodeString("")}))
               .property(0x10061102, MapiListBuilder::multiCountedValue({{1, 2, 3}, {}}))
               .property(0x1007100D, MapiListBuilder::multiCountedValue({Bytes(20, 'o')}))
               .property(0x8008101F, plus(MapiListBuilder::namedById(1), MapiListBuilder::multiCountedValue({})))
               .string8(0x0070001E, "after")
               .bytes(),
           "\tNumber of Properties: 6\n\tProperty: 1004101e (unknown)\n\tProperty: 1005101f (unknown)\n"
           "\tProperty: 10061102 (unknown)\n\tProperty: 1007100d (unknown)\n\tProperty: 8008101f (unknown)\n"
           "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: after\n"},
      },
      {"-v"});
}

TEST(MapiList, WithoutVerboseOnlyStringsAndRtfShow) {
  expectCases({{"mixed",
                MapiListBuilder()
                    .fixed(0x00010002, 4)
                    .unicode(0x0070001F, "Topic")
                    .counted(0x0FFF0102, {9, 9})
                    .counted(kCompressedRtf, {1, 2, 3})
                    .string8(0x0C1E001E, "EX")
                    .bytes(),
                "\tNumber of Properties: 5\n\tConversation Topic: Topic\n\tContains Compressed RTF MAPI property\n"
                "\tSender Address Type: EX\n"}});
}

TEST(MapiList, PropertiesThatDoNotFitEndTheWalk) {
  Bytes one = MapiListBuilder().string8(0x0070001E, "kept").bytes();
  auto withCount = [](Bytes list, std::uint32_t count) {
    Bytes counted = dwordBytes(count);
    counted.insert(counted.end(), list.begin() + 4, list.end());
    return counted;
  };
  const std::string kept = "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: kept\n";
  expectCases(
      {
          {"no count", {}, "", kTruncated},
          {"three bytes of count", {1, 0, 0}, "", kTruncated},
          {"count beyond the properties", withCount(one, 2), "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"count of 0xFFFFFFFF over properties without a value",
           MapiListBuilder().tagOnly(0x00010001).tagOnly(0x00020000).bytesWithCount(0xFFFFFFFF),
           "\tNumber of Properties: 4294967295\n\tProperty: 00010001 (unknown)\n"
           "\tProperty: 00020000 (unknown)\n",
           kTruncated},
          {"half a tag", plus(withCount(one, 2), {0x1E, 0x00}), "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"4-byte slot one short", plus(withCount(one, 2), {0x03, 0, 0x20, 0, 1, 2, 3}),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"8-byte slot one short", plus(withCount(one, 2), {0x40, 0, 0x20, 0, 1, 2, 3, 4, 5, 6, 7}),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"counted header cut", plus(withCount(one, 2), {0x1E, 0, 0x70, 0, 1, 0, 0, 0, 5, 0, 0}),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"counted data one short",
           plus(withCount(one, 2), {0x1E, 0, 0x70, 0, 1, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd'}),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"data ends at the end, padding missing",
           plus(withCount(one, 2), {0x1E, 0, 0x70, 0, 1, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'}),
           "\tNumber of Properties: 2\n" + kept +
               "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: abcde\n"},
          {"padding missing, then the count goes on",
           plus(withCount(one, 3), {0x1E, 0, 0x70, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'z'}),
           "\tNumber of Properties: 3\n" + kept + "\tProperty: 0070001e (PT_STRING8)\n\tConversation Topic: z\n",
           kTruncated},
          {"named: GUID cut short", plus(withCount(one, 2), plus(dwordBytes(0x80010003), Bytes(10, 1))),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"named: number missing",
           plus(withCount(one, 2), plus(dwordBytes(0x80010003), plus(MapiListBuilder::guid(), dwordBytes(0)))),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"named: name longer than the list",
           plus(withCount(one, 2), plus(dwordBytes(0x80010001), plus(MapiListBuilder::guid(), {1, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 'n'}))),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"named: name fits, its padding and value do not",
           plus(withCount(one, 2), plus(dwordBytes(0x80010003), plus(MapiListBuilder::guid(), {1, 0, 0, 0, 2, 0, 0, 0, 'n', 0}))),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"named without a value: the name's padding may be missing at the end",
           plus(withCount(one, 2), plus(dwordBytes(0x80010001), plus(MapiListBuilder::guid(), {1, 0, 0, 0, 2, 0, 0, 0, 'n', 0}))),
           "\tNumber of Properties: 2\n" + kept + "\tProperty: 80010001 (unknown)\n"},
          {"multi-valued: count of fixed slots beyond the list",
           plus(withCount(one, 2), plus(dwordBytes(0x10001003), plus(dwordBytes(0xFFFFFFFF), Bytes(8, 1)))),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"multi-valued: 2^30 class IDs (2^34 bytes)",
           plus(withCount(one, 2), plus(dwordBytes(0x10001048), plus(dwordBytes(0x40000000), Bytes(32, 1)))),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"multi-valued: count of counted values beyond the list",
           plus(withCount(one, 2), plus(dwordBytes(0x1000101E), plus(dwordBytes(0xFFFFFFFF), Bytes(16, 0)))),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"multi-valued: a value longer than the list",
           plus(withCount(one, 2), plus(dwordBytes(0x10001102), {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2})),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
          {"multi-valued: the last value's padding may be missing at the end",
           plus(withCount(one, 2), plus(dwordBytes(0x10001102), {2, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 8})),
           "\tNumber of Properties: 2\n" + kept + "\tProperty: 10001102 (unknown)\n"},
          {"Unicode value longer than the list",
           plus(withCount(one, 2), plus(dwordBytes(0x0070001F), {1, 0, 0, 0, 9, 0, 0, 0, 'a', 0, 'b', 0})),
           "\tNumber of Properties: 2\n" + kept, kTruncated},
      },
      {"-v"});
  for (std::uint32_t length : {0x7FFFFFF0u, 0x80000000u, 0xFFFFFFF4u, 0xFFFFFFFFu}) {
    expectCases({{"huge counted length",
                  MapiListBuilder().countedClaiming(0x0070001E, length, textBytes("short")).bytes(),
                  "\tNumber of Properties: 1\n", kTruncated}},
                {"-v"});
  }
}

std::string hex(std::size_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%zx", value);
  return text;
}

// Bodies are saved as RTF; damaged ones as they stand, after a line that
// says so. Names count every body of the stream and carry its stored length.
TEST(MapiList, CompressedRtfAnnouncedOrSavedAndNumberedAcrossTheStream) {
  Bytes compressed = compressedRtf("{\\rtf1 first {\\b body}}");
  Bytes stored = uncompressedRtfBody("{\\rtf1 stored}");
  Bytes first = MapiListBuilder().counted(kCompressedRtf, compressed).bytes();
  Bytes second = MapiListBuilder().counted(kCompressedRtf, stored).counted(kCompressedRtf, {}).bytes();
  // A body that does not fit is not counted: the next one still gets number 3.
  Bytes broken = MapiListBuilder().countedClaiming(kCompressedRtf, 0x1000, stored).bytes();
  Bytes stream = StreamBuilder()
                     .record(kMapiProps, first)
                     .record(kMapiProps, second)
                     .record(kMapiProps, broken)
                     .record(kMapiProps, MapiListBuilder().counted(kCompressedRtf, {7}).bytes())
                     .bytes();

  RunResult announced = decode(stream);
  const std::string contains = "\tContains Compressed RTF MAPI property\n";
  EXPECT_EQ(announced.out, kGoodHeader + ("MAPI Properties\n\tNumber of Properties: 1\n" + contains +
                                          "MAPI Properties\n\tNumber of Properties: 2\n" + contains + contains +
                                          "MAPI Properties\n\tNumber of Properties: 1\n" +
                                          "MAPI Properties\n\tNumber of Properties: 1\n" + contains));
  EXPECT_EQ(announced.err, kTruncated);

  TempDir dir;
  writeFile(dir / "in.tnef", stream);
  RunOptions options;
  options.workingDirectory = dir.path();
  RunResult saved = runWendrel({"-s", "in.tnef"}, options);
  std::string names[] = {"tnef_0_" + hex(compressed.size()) + ".rtf", "tnef_1_" + hex(stored.size()) + ".rtf",
                         "tnef_2_0.rtf", "tnef_3_1.rtf"};
  EXPECT_EQ(saved.out, kGoodHeader + ("MAPI Properties\n\tNumber of Properties: 1\n"
                                      "\tSaving Compressed RTF to " + names[0] + "\n"
                                      "MAPI Properties\n\tNumber of Properties: 2\n"
                                      "\tSaving Compressed RTF to " + names[1] + "\n"
                                      "\tSaving Compressed RTF to " + names[2] + "\n"
                                      "MAPI Properties\n\tNumber of Properties: 1\n"
                                      "MAPI Properties\n\tNumber of Properties: 1\n"
                                      "\tSaving Compressed RTF to " + names[3] + "\n"));
  const std::string damaged = "Damaged compressed RTF saved as it stands to ";
  EXPECT_EQ(saved.err, damaged + names[2] + "\n" + kTruncated + damaged + names[3] + "\n");
  EXPECT_EQ(saved.status, 0);
  EXPECT_EQ(readFile(dir / names[0]), "{\\rtf1 first {\\b body}}");
  EXPECT_EQ(readFile(dir / names[1]), "{\\rtf1 stored}");
  EXPECT_TRUE(std::filesystem::exists(dir / names[2]));
  EXPECT_EQ(readFile(dir / names[2]), "");
  EXPECT_EQ(readFile(dir / names[3]), "\x07");
}

TEST(MapiList, CompressedRtfWriteFailureIsReportedAndTheWalkGoesOn) {
  struct Case {
    std::string name;
    Bytes body;
    std::string err;  // before the two lines of the failure
    std::string call;
  } cases[] = {
      {"small body: fails when closed", compressedRtf("{\\rtf1 small}"), "", "fclose"},
      {"body of several blocks: fails while written", compressedRtf(rtfLikeText(300000)), "", "fwrite"},
      {"damaged body", {1, 2, 3, 4}, "Damaged compressed RTF saved as it stands to tnef_0_4.rtf\n", "fclose"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string name = "tnef_0_" + hex(c.body.size()) + ".rtf";
    if (std::string why = linkToDevFull(dir / name); !why.empty()) GTEST_SKIP() << why;
    Bytes list = MapiListBuilder().counted(kCompressedRtf, c.body).string8(0x0070001E, "next").bytes();
    writeFile(dir / "in.tnef", StreamBuilder().record(kMapiProps, list).bytes());
    RunOptions options;
    options.workingDirectory = dir.path();
    RunResult result = runWendrel({"-s", "in.tnef"}, options);
    EXPECT_EQ(result.out, listed("\tNumber of Properties: 2\n\tSaving Compressed RTF to " + name +
                                 "\n\tConversation Topic: next\n")) << c.name;
    EXPECT_EQ(result.err, c.err + "Error writing file " + name + "\n" + c.call + ": No space left on device\n")
        << c.name;
    EXPECT_EQ(result.status, 255) << c.name;
  }
}

}  // namespace
}  // namespace wendrel::test
