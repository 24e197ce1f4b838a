// 8-bit text in the stream's code page, shown and used for names as UTF-8:
// known answers for each family of code pages, what does not convert, the
// 255-byte cut, and the code page as a stream sets it.

#include "wendrel/decoder.h"
#include "wendrel/formats/code_pages.h"

#include <gtest/gtest.h>

#include "process.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/tnef.h"

namespace wendrel::test {
namespace {

constexpr std::uint32_t kCodepageRecord = 0x00069007;

// text times times, after prefix.
std::string repeat(std::string_view text, std::size_t times, std::string prefix = "") {
  std::string repeated = std::move(prefix);
  for (std::size_t i = 0; i < times; ++i) repeated += text;
  return repeated;
}

TEST(CodePages, TextConvertedToUtf8) {
  struct Case {
    std::uint32_t codePage;
    std::string bytes;
    std::string utf8;
  } cases[] = {
      {1250, "\x8A\x9A\xE8", "Ššč"},
      {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
      {1252, "Gr\xFC\xDF" "e \x80", "Grüße €"},
      {1253, "\xC1\xE8\xDE\xED\xE1", "Αθήνα"},
      {1254, "\xFE\xF0\xDD", "şğİ"},
      {1255, "\xF9\xEC\xE5\xED", "שלום"},  // the last letter is held back until the end
      {1255, "\xE0\xFF" "b", "א\uFFFD" "b"},  // held back, then an unmapped byte
      {1256, "\xC8\xCA", "بت"},
      {1257, "\xE0\xF0", "ąš"},
      {1258, "Vi\xEA", "Viê"},
      {874, "\xA1\xA2", "กข"},
      {866, "\x8F\xE0\xA8\xA2\xA5\xE2", "Привет"},
      {28591, "caf\xE9", "café"},
      {28595, "\xBF", "П"},
      {28605, "\xA4", "€"},
      {20866, "\xF0\xD2\xC9\xD7\xC5\xD4", "Привет"},
      {21866, "\xA4", "є"},
      {932, "\x95\x5C\x82\xA0", "表あ"},
      {932, "a\x82", "a\uFFFD"},  // a lead byte with nothing after it
      {936, "\xC4\xE3\xBA\xC3", "你好"},
      {949, "\xC7\xD1\xB1\xDB", "한글"},
      {950, "\xA4\xA4\xA4\xE5", "中文"},
      {65001, "\xE6\x96\x87", "文"},
      {65001, "a\xC3(b\xE6\x96", "a\uFFFD(b\uFFFD\uFFFD"},
      {20127, "a\xE9" "b", "a\uFFFD" "b"},
      // No usable code page: UTF-8 stays, anything else is windows-1252 with
      // its unassigned bytes as C1 controls.
      {12345, "caf\xE9", "café"},  // no such code page
      {500, "caf\xE9", "café"},    // EBCDIC does not keep ASCII
      {0, "caf\xE9 \x81\x80\x8D\x8F\x90\x9D\x9F", "café \u0081€\u008D\u008F\u0090\u009DŸ"},
      {0, "café ✓", "café ✓"},
      {0, "\xC3\xA9\xE9", "Ã©é"},  // not all UTF-8: every byte is windows-1252
      {0, repeat("é", 127) + "\xC3\xA9", repeat("é", 127)},  // UTF-8 cut inside its last character
      {0, repeat("\xE9", 200), repeat("é", 127)},               // converted, then cut between characters
      {0, repeat("a", 254) + "\xC3", repeat("a", 254)},
      {0, repeat("a", 250) + "\xE9\x80", repeat("a", 250) + "é€"},
      {1252, repeat("\xE4", 255), repeat("ä", 127)},
      {1252, repeat("\xE4", 253, "aa"), repeat("ä", 126, "aa")},
      {1252, repeat("\xE4", 127, "a"), repeat("ä", 127, "a")},
  };
  for (const Case& c : cases) {
    const codepage::CodePage* page = codepage::openCodePage(c.codePage);
    ByteView bytes(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size());
    std::string_view text = copyTextValue(bytes, page);
    EXPECT_EQ(text, c.utf8) << c.codePage << " " << c.bytes;
    EXPECT_EQ(decoder().stringScratch[text.size()], '\0');
  }
}

TEST(CodePages, OnlyAsciiCompatibleCodePagesOpen) {
  for (std::uint32_t number : {1252u, 932u, 20127u, 28591u, 65001u}) EXPECT_NE(codepage::openCodePage(number), nullptr) << number;
  for (std::uint32_t number : {0u, 500u, 930u, 1200u, 50220u, 99999u}) EXPECT_EQ(codepage::openCodePage(number), nullptr) << number;
  EXPECT_EQ(codepage::openCodePage(1252), codepage::openCodePage(1252));  // opened once
}

TEST(CodePages, DecodedOneCharacterAtATime) {
  const codepage::CodePage* cp932 = codepage::openCodePage(932);
  const codepage::CodePage* cp1251 = codepage::openCodePage(1251);
  ASSERT_TRUE(cp932 && cp1251);
  EXPECT_EQ(codepage::decodeByte(*cp1251, 0xCF), U'П');
  EXPECT_EQ(codepage::decodeByte(*cp1251, 'a'), U'a');
  EXPECT_EQ(codepage::decodeByte(*cp1251, 0x98), utf8::kReplacementCharacter);
  EXPECT_EQ(codepage::decodeByte(*cp932, 0x82), codepage::kLeadByte);
  EXPECT_EQ(codepage::decodeByte(*cp932, 0xB1), U'ｱ');
  EXPECT_EQ(codepage::decodePair(*cp932, 0x82, 'a'), U'Ｂ');
  EXPECT_EQ(codepage::decodePair(*cp932, 0x82, '\n'), std::nullopt);
}

// A stream whose attOemCodepage says codePage, then records.
StreamBuilder inCodePage(std::uint32_t codePage) {
  Bytes value = dwordBytes(codePage);
  appendDword(value, 0);
  StreamBuilder stream;
  stream.record(kCodepageRecord, value);
  return stream;
}

TEST(CodePages, StreamsSayTheirCodePage) {
  Bytes cyrillic = cString("\xCF\xF0\xE8\xE2\xE5\xF2");
  Bytes laterCodePage = StreamBuilder().record(attSubject, cyrillic).record(kCodepageRecord, dwordBytes(1251))
                            .record(attSubject, cyrillic).record(kCodepageRecord, dwordBytes(1252))
                            .record(attSubject, cyrillic).record(kCodepageRecord, dwordBytes(777))
                            .record(attSubject, cyrillic).bytes();
  EXPECT_EQ(decode(laterCodePage).out, std::string(kGoodHeader) +
                                           "Subject: Ïðèâåò\nSubject: Привет\n"
                                           "Subject: Ïðèâåò\nSubject: Ïðèâåò\n");

  Bytes list = MapiListBuilder().string8(0x0070001E, "\xC4\xE3\xBA\xC3").bytes();
  Bytes strings = inCodePage(936).record(attBody, cString("\xC4\xE3")).record(0x00018020, cString("\xBA\xC3"))
                      .record(attMAPIProps, list).bytes();
  EXPECT_EQ(decode(strings).out, std::string(kGoodHeader) +
                                     "Attribute attBody: 你\nAttribute Unknown: 好\nMAPI Properties\n"
                                     "\tNumber of Properties: 1\n\tConversation Topic: 你好\n");
}

TEST(CodePages, NamesAreConvertedBeforeTheyAreConfined) {
  // In Shift_JIS the second byte of 表 is '\'.
  Bytes shiftJis = inCodePage(932).record(attAttachTitle, cString("\x95\x5C.txt"), 2)
                       .record(attAttachData, textBytes("x"), 2).bytes();
  RunResult result = decode(shiftJis, {"-s"});
  EXPECT_EQ(result.out, std::string(kGoodHeader) + "Attachment Title: 表.txt\nAttachment saved to file 表.txt\n");

  // A repeated name is cut for its suffix between characters.
  std::string title = repeat("\xE4", 125) + ".txt";  // 254 bytes in UTF-8
  Bytes repeated = inCodePage(1252).record(attAttachTitle, cString(title), 2).record(attAttachData, textBytes("x"), 2)
                       .record(attAttachData, textBytes("y"), 2).bytes();
  result = decode(repeated, {"-s"});
  EXPECT_NE(result.out.find("Attachment saved to file " + repeat("ä", 125) + ".txt\n"), std::string::npos);
  EXPECT_NE(result.out.find("Attachment saved to file " + repeat("ä", 124) + "-1.txt\n"), std::string::npos);
}

}  // namespace
}  // namespace wendrel::test
