// Message bodies saved with -s: the HTML body property as it is stored, the
// plain-text bodies as UTF-8, each under its own numbered name; and the HTML
// or text that a compressed-RTF body encapsulates.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "process.h"
#include "wendrel/tnef.h"

namespace wendrel::test {
namespace {

constexpr std::uint32_t kCodepage = 0x00069007;
constexpr std::uint32_t kHtmlBinary = 0x10130102, kHtml8 = 0x1013001E, kHtmlUnicode = 0x1013001F;
constexpr std::uint32_t kText8 = 0x1000001E, kTextUnicode = 0x1000001F;

Bytes props(const MapiListBuilder& list) { return StreamBuilder().record(attMAPIProps, list.bytes()).bytes(); }

Bytes withCodePage(std::uint32_t codePage, const Bytes& list) {
  return StreamBuilder().record(kCodepage, dwordBytes(codePage)).record(attMAPIProps, list).bytes();
}

struct Case {
  std::string name;
  Bytes stream;
  std::string out;                           // after the two header lines, with -s
  std::vector<std::pair<std::string, std::string>> files;  // what -s writes, by name
};

TEST(Bodies, SavedUnderNumberedNames) {
  const std::string html = "<html><body>Gr\xC3\xBC\xC3\x9F" "e</body></html>";
  Bytes withNul = textBytes("<p>a");
  withNul.insert(withNul.end(), {0, 'b', 0});
  const Case cases[] = {
      {"binary HTML: every byte, NULs included",
       props(MapiListBuilder().counted(kHtmlBinary, withNul)),
       "MAPI Properties\n\tNumber of Properties: 1\n\tSaving HTML body to tnef_0_7.html\n",
       {{"tnef_0_7.html", std::string("<p>a\0b\0", 7)}}},
      {"8-bit HTML: to its first NUL, never converted",
       withCodePage(1251, MapiListBuilder().counted(kHtml8, {'<', 'p', '>', 0xCF, 0, 'x'}).bytes()),
       "MAPI Properties\n\tNumber of Properties: 1\n\tUnknown String: <p>П\n\tSaving HTML body to tnef_0_6.html\n",
       {{"tnef_0_6.html", "<p>\xCF"}}},
      {"Unicode HTML as UTF-8, an unpaired surrogate as U+FFFD",
       props(MapiListBuilder().counted(kHtmlUnicode, [] {
         Bytes units = unicodeString("<b>ü");
         units.insert(units.end() - 2, {0x3D, 0xD8});
         return units;
       }())),
       "MAPI Properties\n\tNumber of Properties: 1\n\tUnknown String: <b>ü\xEF\xBF\xBD\n"
       "\tSaving HTML body to tnef_0_c.html\n",
       {{"tnef_0_c.html", "<b>ü\xEF\xBF\xBD"}}},
      {"text in the stream's code page as UTF-8, and Unicode text",
       withCodePage(1251, MapiListBuilder().string8(kText8, "\xCF\xF0\xE8").unicode(kTextUnicode, "文").bytes()),
       "MAPI Properties\n\tNumber of Properties: 2\n\tUnknown String: При\n\tSaving text body to tnef_0_4.txt\n"
       "\tUnknown String: 文\n\tSaving text body to tnef_1_4.txt\n",
       {{"tnef_0_4.txt", "При"}, {"tnef_1_4.txt", "文"}}},
      {"8-bit text in no usable code page: UTF-8 stays, any other is windows-1252",
       withCodePage(500, MapiListBuilder().string8(kText8, "caf\xE9 \x81").string8(kText8, "café ✓")
                             .counted(kHtml8, {'<', 0xE9, 0}).bytes()),
       "MAPI Properties\n\tNumber of Properties: 3\n\tUnknown String: café \u0081\n\tSaving text body to tnef_0_7.txt\n"
       "\tUnknown String: café ✓\n\tSaving text body to tnef_1_a.txt\n"
       "\tUnknown String: <é\n\tSaving HTML body to tnef_0_3.html\n",
       {{"tnef_0_3.html", "<\xE9"}, {"tnef_0_7.txt", "café \u0081"}, {"tnef_1_a.txt", "café ✓"}}},
      {"bodies of each kind counted apart; long ones never cut",
       StreamBuilder().record(attBody, cString(std::string(300, 'b'))).record(attMAPIProps, MapiListBuilder()
           .counted(kHtmlBinary, textBytes(html)).string8(kText8, "t").counted(kHtmlBinary, textBytes(html)).bytes())
           .bytes(),
       "Attribute attBody: " + std::string(255, 'b') + "\nSaving text body to tnef_0_12d.txt\nMAPI Properties\n"
       "\tNumber of Properties: 3\n\tSaving HTML body to tnef_0_21.html\n\tUnknown String: t\n"
       "\tSaving text body to tnef_1_2.txt\n\tSaving HTML body to tnef_1_21.html\n",
       {{"tnef_0_12d.txt", std::string(300, 'b')}, {"tnef_0_21.html", html}, {"tnef_1_2.txt", "t"},
        {"tnef_1_21.html", html}}},
      {"a name already written takes a suffix",
       StreamBuilder().record(attMAPIProps, MapiListBuilder().counted(kHtmlBinary, textBytes("x")).bytes())
           .record(0x00018010, cString("tnef_1_1.html"), 2).record(0x0006800F, textBytes("data"), 2)
           .record(attMAPIProps, MapiListBuilder().counted(kHtmlBinary, textBytes("y")).bytes()).bytes(),
       "MAPI Properties\n\tNumber of Properties: 1\n\tSaving HTML body to tnef_0_1.html\n"
       "Attachment Title: tnef_1_1.html\nAttachment saved to file tnef_1_1.html\nMAPI Properties\n"
       "\tNumber of Properties: 1\n\tSaving HTML body to tnef_1_1-1.html\n",
       {{"tnef_0_1.html", "x"}, {"tnef_1_1-1.html", "y"}, {"tnef_1_1.html", "data"}}},
      {"neither binary text, multi-valued nor other IDs are bodies",
       props(MapiListBuilder().counted(0x10000102, {1}).property(0x1013101E, MapiListBuilder::multiCountedValue({}))
                 .counted(0x10140102, {1})),
       "MAPI Properties\n\tNumber of Properties: 3\n", {}},
  };
  for (const Case& c : cases) {
    SaveResult saved = decodeAndSave(c.stream);
    EXPECT_EQ(saved.run.out, kGoodHeader + c.out) << c.name;
    EXPECT_EQ(saved.run.err, "") << c.name;
    EXPECT_EQ(saved.run.status, 0) << c.name;
    EXPECT_EQ(saved.files, c.files) << c.name;
  }
}

// An RTF body that encapsulates HTML or text is saved as RTF, and the HTML
// (after a byte-order mark) or text beside it; plain RTF and damaged bodies
// only as RTF.
TEST(Bodies, WhatRtfEncapsulatesIsSavedBesideIt) {
  const std::string html = "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 {\\*\\htmltag19 <html>}{\\*\\htmltag50 <p>}"
                           "Gr\\'fc\\'dfe{\\*\\htmltag58 </p>}{\\*\\htmltag27 </html>}}";
  const std::string text = "{\\rtf1\\ansi\\fromtext \\pard Line one\\par\r\nLine \\u8364? two}";
  const std::string plain = "{\\rtf1\\ansi Plain \\b RTF\\b0 }";
  Bytes damaged = uncompressedRtfBody(html);
  damaged[4] = 0xFF;  // a RAWSIZE past its data
  MapiListBuilder list;
  for (const std::string& rtf : {html, text, plain}) list.counted(0x10090102, uncompressedRtfBody(rtf));
  list.counted(0x10090102, damaged);
  auto name = [](int n, const std::string& rtf, std::string_view extension) {
    std::ostringstream text;
    text << "tnef_" << n << "_" << std::hex << rtf.size() + 16 << extension;
    return text.str();
  };
  SaveResult result = decodeAndSave(StreamBuilder().record(attMAPIProps, list.bytes()).bytes());
  EXPECT_EQ(result.run.status, 0);
  EXPECT_EQ(result.run.out, std::string(kGoodHeader) + "MAPI Properties\n\tNumber of Properties: 4\n" +
                                "\tSaving Compressed RTF to " + name(0, html, ".rtf") + "\n" +
                                "\tSaving HTML body to " + name(0, html, ".html") + "\n" +
                                "\tSaving Compressed RTF to " + name(1, text, ".rtf") + "\n" +
                                "\tSaving text body to " + name(1, text, ".txt") + "\n" +
                                "\tSaving Compressed RTF to " + name(2, plain, ".rtf") + "\n" +
                                "\tSaving Compressed RTF to " + name(3, html, ".rtf") + "\n");
  std::vector<std::pair<std::string, std::string>> expected{
      {name(0, html, ".html"), "\xEF\xBB\xBF<html><p>Grüße</p></html>"},
      {name(0, html, ".rtf"), html},
      {name(1, text, ".rtf"), text},
      {name(1, text, ".txt"), "Line one\r\nLine € two"},
      {name(2, plain, ".rtf"), plain},
      {name(3, html, ".rtf"), std::string(damaged.begin(), damaged.end())},
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(result.files, expected);
}

}  // namespace
}  // namespace wendrel::test
