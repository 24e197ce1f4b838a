// Names, formatters and bounded reads, called directly.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "stream_builder.h"
#include "wendrel/decoder.h"
#include "wendrel/tnef.h"

namespace wendrel {
namespace {

using test::Bytes;

TEST(Catalogue, AttributeNamesLookUpTheWholeId) {
  struct Case {
    std::uint32_t id;
    std::string_view name;
  } cases[] = {
      {0x00000000, "attNull"},         {0x00008000, "attFrom"},
      {0x00018004, "attSubject"},      {0x0002800C, "attBody"},
      {0x00069003, "attMAPIProps"},    {0x00069007, "attOemCodepage"},
      {0x00089006, "attTnefVersion"},  {0x00028004, "Unknown"},
      {0x00069006, "Unknown"},         {0xFFFFFFFF, "Unknown"},
      {0x00008004, "Unknown"},         {0x00090000, "Unknown"},
  };
  for (const Case& c : cases) EXPECT_EQ(attributeName(c.id), c.name) << std::hex << c.id;
}

TEST(Catalogue, EveryNamedIdFindsItsOwnNameAndNoOtherIdDoes) {
  const std::uint32_t named[] = {
      attNull, attFrom, attSubject, attMessageID, attParentID, attConversationID, attAttachTitle,
      attBody, attDateStart, attDateEnd, attDateSent, attDateRecd, attAttachCreateDate,
      attAttachModifyDate, attDateModified, attRequestRes, attPriority, attAidOwner, attOwner,
      attSentFor, attDelegate, attMessageStatus, attAttachData, attAttachMetaFile,
      attAttachTransportFilename, attAttachRenddata, attMAPIProps, attRecipTable, attAttachment,
      attOemCodepage, attOriginalMessageClass, attMessageClass, attTnefVersion};
  std::set<std::string_view> names;
  for (std::uint32_t id : named) {
    std::string_view name = attributeName(id);
    EXPECT_EQ(name.substr(0, 3), "att") << std::hex << id;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), std::size(named));
  // Neighbours and other type halves of the named IDs, and a spread of others.
  std::uint32_t state = 12345;
  for (int i = 0; i < 20000; ++i) {
    state = state * 1664525u + 1013904223u;
    std::uint32_t id = i < 2000 ? named[i % std::size(named)] ^ (1u << (i / std::size(named) % 32)) : state;
    if (std::find(std::begin(named), std::end(named), id) == std::end(named)) {
      EXPECT_EQ(attributeName(id), "Unknown") << std::hex << id;
    }
  }
}

TEST(Catalogue, TypeNamesStopAtDword) {
  EXPECT_EQ(attributeTypeName(0), "atpTriples");
  EXPECT_EQ(attributeTypeName(3), "atpDate");
  EXPECT_EQ(attributeTypeName(8), "atpDword");
  EXPECT_EQ(attributeTypeName(9), "unknown");
  EXPECT_EQ(attributeTypeName(0xFFFF), "unknown");
}

TEST(Catalogue, DatesShowWeekdayMonthDayYearAndATrailingBlank) {
  struct Case {
    Bytes value;
    std::string_view text;
  } cases[] = {
      {test::dateBytes(1998, 3, 14, 0, 0, 0, 6), "Saturday, 3/14/1998 "},
      {test::dateBytes(1998, 3, 14, 23, 59, 59, 6), "Saturday, 3/14/1998 "},
      {test::dateBytes(2003, 3, 4, 9, 30, 0, 2), "Tuesday, 3/4/2003 "},
      {test::dateBytes(98, 0, 0, 0, 0, 0, 0), "Sunday, 0/0/98 "},
      {test::dateBytes(65535, 65535, 65535, 0, 0, 0, 1), "Monday, 65535/65535/65535 "},
      {test::dateBytes(1998, 3, 14, 0, 0, 0, 7), "Unknown, 3/14/1998 "},
      {test::dateBytes(1998, 3, 14, 0, 0, 0, 0xFFFF), "Unknown, 3/14/1998 "},
      // Fields beyond a short value read as zero.
      {{0xCE, 0x07, 0x03}, "Sunday, 3/0/1998 "},
      {{}, "Sunday, 0/0/0 "},
  };
  for (const Case& c : cases) {
    std::string_view text = formatDate(ByteView(c.value.data(), c.value.size()));
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(text.data(), decoder().dateText);
    EXPECT_EQ(text.data()[text.size()], '\0');
  }
}

TEST(Catalogue, PriorityLabels) {
  EXPECT_EQ(priorityLabel(0), "");
  EXPECT_EQ(priorityLabel(1), "(High)");
  EXPECT_EQ(priorityLabel(2), "(Normal)");
  EXPECT_EQ(priorityLabel(3), "(Low)");
  EXPECT_EQ(priorityLabel(4), "");
  EXPECT_EQ(priorityLabel(65535), "");
}

TEST(Catalogue, StatusWordsComeInTableOrder) {
  struct Case {
    std::uint8_t flags;
    std::string_view text;
  } cases[] = {
      {0x00, ""},
      {0x58, ""},
      {0x21, "Modified Read "},
      {0x80, "HasAttach "},
      {0x06, "Local Submitted "},
      {0xFF, "Modified Local Submitted Read HasAttach "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(messageStatusText(c.flags), c.text) << int{c.flags};
    EXPECT_EQ(messageStatusText(c.flags).data(), decoder().statusText);
  }
}

TEST(Catalogue, StringValuesStopAtNulAnd255Bytes) {
  struct Case {
    Bytes value;
    std::string text;
  } cases[] = {
      {test::textBytes("abc"), "abc"},
      {{'a', 'b', 0, 'c', 'd'}, "ab"},
      {{0, 'x'}, ""},
      {{}, ""},
      {Bytes(300, 'x'), std::string(255, 'x')},
      {Bytes(255, 'y'), std::string(255, 'y')},
      {Bytes(256, 'z'), std::string(255, 'z')},
  };
  for (const Case& c : cases) {
    std::string_view text = copyStringValue(ByteView(c.value.data(), c.value.size()));
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(text.data(), decoder().stringScratch);
    EXPECT_EQ(decoder().stringScratch[text.size()], '\0');
  }
}

// UTF-16LE units as bytes.
Bytes units(std::initializer_list<std::uint16_t> list) {
  Bytes bytes;
  for (std::uint16_t unit : list) test::appendWord(bytes, unit);
  return bytes;
}

Bytes repeated(std::uint16_t unit, std::size_t count, Bytes tail = {}) {
  Bytes bytes;
  for (std::size_t i = 0; i < count; ++i) test::appendWord(bytes, unit);
  test::appendBytes(bytes, tail);
  return bytes;
}

TEST(Catalogue, UnicodeValuesAsUtf8) {
  struct Case {
    std::string name;
    Bytes value;
    std::string text;
  } cases[] = {
      {"ASCII", test::unicodeString("IPM.Note"), "IPM.Note"},
      {"two- and three-byte characters", test::unicodeString("Grüße, 文件"), "Grüße, 文件"},
      {"surrogate pair", units({'a', 0xD83D, 0xDE00, 'b'}), "a\xF0\x9F\x98\x80" "b"},
      {"high surrogate before another character", units({0xD83D, 'x'}), "\xEF\xBF\xBDx"},
      {"high surrogate at the end", units({'x', 0xD83D}), "x\xEF\xBF\xBD"},
      {"high surrogate before the zero unit", units({0xD83D, 0, 'x'}), "\xEF\xBF\xBD"},
      {"low surrogate alone", units({0xDE00, 'x'}), "\xEF\xBF\xBDx"},
      {"two high surrogates, then a pair", units({0xD800, 0xD800, 0xDC00}), "\xEF\xBF\xBD\xF0\x90\x80\x80"},
      {"highest code point", units({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"},
      {"ends at the first zero unit", units({'a', 0, 'b'}), "a"},
      {"a zero byte is not a zero unit", units({0x0100, 'b'}), "\xC4\x80" "b"},
      {"odd last byte ignored", {'a', 0, 'b'}, "a"},
      {"empty", {}, ""},
      {"zero unit inside a run of ASCII", repeated('a', 11, units({0, 'b', 'b', 'b', 'b'})), std::string(11, 'a')},
      {"pair across two blocks of eight", repeated('a', 7, units({0xD83D, 0xDE00, 'b', 'c', 'd', 'e', 'f', 'g', 'h'})),
       std::string(7, 'a') + "\xF0\x9F\x98\x80" "bcdefgh"},
      {"ASCII after a mixed block", units({0xE9, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'}),
       "\xC3\xA9" "abcdefghijklmnop"},
      {"255 bytes exactly", repeated('a', 253, units({0x00E9})), std::string(253, 'a') + "\xC3\xA9"},
      {"cut before a character that would pass 255 bytes", repeated('a', 254, units({0x00E9})), std::string(254, 'a')},
      {"cut before a pair", repeated('a', 252, units({0xD83D, 0xDE00})), std::string(252, 'a')},
      {"300 characters", repeated(0x6587, 300), [] {
         std::string text;
         for (int i = 0; i < 85; ++i) text += "文";
         return text;
       }()},
  };
  for (const Case& c : cases) {
    std::string_view text = copyUnicodeValue(ByteView(c.value.data(), c.value.size()));
    EXPECT_EQ(text, c.text) << c.name;
    EXPECT_EQ(text.data(), decoder().stringScratch) << c.name;
    EXPECT_EQ(decoder().stringScratch[text.size()], '\0') << c.name;
  }
}

TEST(Catalogue, StringCopyReadsNothingBeyondItsValue) {
  // The view ends before the NUL that follows it in memory.
  Bytes memory = test::cString("abcdef");
  EXPECT_EQ(copyStringValue(ByteView(memory.data(), 3)), "abc");
}

TEST(ByteReads, LittleEndianAtAnyOffsetAndZeroBeyondTheEnd) {
  Bytes bytes{0x78, 0x9F, 0x3E, 0x22, 0x01, 0x00, 0xFF};
  ByteView view(bytes.data(), bytes.size());
  EXPECT_EQ(readDword(view), 0x223E9F78u);
  EXPECT_EQ(readDword(view, 1), 0x01223E9Fu);
  EXPECT_EQ(readWord(view, 4), 1u);
  EXPECT_EQ(readWord(view, 6), 0x00FFu);
  EXPECT_EQ(readDword(view, 5), 0x0000FF00u);
  EXPECT_EQ(readDword(view, 7), 0u);
  EXPECT_EQ(readDword(view, SIZE_MAX), 0u);
  EXPECT_EQ(readWord(view, SIZE_MAX - 1), 0u);
  EXPECT_EQ(view.byte(SIZE_MAX), 0u);
}

TEST(ByteReads, SubViewsAreClampedToTheView) {
  Bytes bytes(10, 1);
  ByteView view(bytes.data(), bytes.size());
  EXPECT_EQ(view.sub(4).size(), 6u);
  EXPECT_EQ(view.sub(4, 3).size(), 3u);
  EXPECT_EQ(view.sub(4, SIZE_MAX).size(), 6u);
  EXPECT_EQ(view.sub(10).size(), 0u);
  EXPECT_EQ(view.sub(SIZE_MAX, 5).size(), 0u);
  EXPECT_TRUE(view.contains(10, 0));
  EXPECT_TRUE(view.contains(6, 4));
  EXPECT_FALSE(view.contains(7, 4));
  EXPECT_FALSE(view.contains(11, 0));
  EXPECT_FALSE(view.contains(2, SIZE_MAX));
}

TEST(Catalogue, MapiTypeNames) {
  struct Case {
    std::uint16_t type;
    std::string_view name;
  } cases[] = {
      {0x0002, "PT_I2"},      {0x0003, "PT_LONG"},    {0x0004, "PT_R4"},       {0x0005, "PT_DOUBLE"},
      {0x0006, "PT_CURRENCY"}, {0x0007, "PT_APPTIME"}, {0x000A, "PT_ERROR"},   {0x000B, "PT_BOOLEAN"},
      {0x000D, "PT_OBJECT"},  {0x0014, "PT_I8"},      {0x001E, "PT_STRING8"},  {0x001F, "PT_UNICODE"},
      {0x0040, "PT_SYSTIME"}, {0x0102, "PT_BINARY"},  {0x0000, "unknown"},     {0x0001, "unknown"},
      {0x0101, "unknown"},    {0x0103, "unknown"},    {0x101E, "unknown"},     {0x1102, "unknown"},
      {0xFFFF, "unknown"},
  };
  for (const Case& c : cases) EXPECT_EQ(mapiTypeName(c.type), c.name) << std::hex << c.type;
}

TEST(Catalogue, ConfinedFileNamesKeepTheLastComponent) {
  struct Case {
    std::string_view name, confined;
  } cases[] = {
      {"report.pdf", "report.pdf"}, {"../x", "x"},     {"../../x", "x"},       {"/tmp/x", "x"},
      {"a/../../x", "x"},           {"..\\x", "x"},    {"C:\\dir\\x.doc", "x.doc"}, {"dir/", ""},
      {".", "."},                   {"..", ".."},      {"", ""},               {"a\\b/c", "c"},
  };
  for (const Case& c : cases) EXPECT_EQ(confinedFileName(c.name), c.confined) << c.name;
}

}  // namespace
}  // namespace wendrel
