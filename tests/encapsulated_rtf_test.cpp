// RTF bodies that encapsulate HTML or text: recognizing them, known answers
// for what comes out, hostile input, every block split, the output blocks,
// and a real body.

#include "wendrel/formats/encapsulated_rtf.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "process.h"
#include "wendrel/formats/compressed_rtf.h"
#include "wendrel/formats/utf8.h"

namespace wendrel {

void PrintTo(RtfEncapsulation encapsulation, std::ostream* os) {
  constexpr const char* kNames[] = {"none", "html", "text"};
  *os << kNames[static_cast<int>(encapsulation)];
}

namespace test {
namespace {

ByteView view(std::string_view text) { return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

// The pieces of rtf, each `piece` bytes long but the last (0: one piece), or
// two pieces cut at `cut`.
std::vector<std::string_view> pieces(std::string_view rtf, std::size_t piece) {
  std::vector<std::string_view> parts;
  if (piece == 0) piece = rtf.size() + 1;
  for (std::size_t at = 0; at < rtf.size(); at += piece) parts.push_back(rtf.substr(at, piece));
  return parts;
}

std::vector<std::string_view> cutAt(std::string_view rtf, std::size_t cut) { return {rtf.substr(0, cut), rtf.substr(cut)}; }

struct Output {
  std::string text;
  std::vector<std::size_t> blocks;
  std::size_t acceptBlocks = SIZE_MAX;
};

bool collect(ByteView block, void* context) {
  auto& output = *static_cast<Output*>(context);
  output.text.append(reinterpret_cast<const char*>(block.data()), block.size());
  output.blocks.push_back(block.size());
  return output.blocks.size() < output.acceptBlocks;
}

std::string deencapsulate(const std::vector<std::string_view>& parts, RtfEncapsulation mode = RtfEncapsulation::html) {
  Output output;
  RtfDeencapsulator reader(mode, collect, &output);
  for (std::string_view part : parts) EXPECT_TRUE(reader.feed(view(part)));
  EXPECT_TRUE(reader.finish());
  return output.text;
}

std::string deencapsulate(std::string_view rtf, RtfEncapsulation mode = RtfEncapsulation::html) {
  return deencapsulate(pieces(rtf, 0), mode);
}

RtfEncapsulation probe(const std::vector<std::string_view>& parts) {
  EncapsulationProbe probe;
  for (std::string_view part : parts) {
    if (probe.feed(view(part))) break;
  }
  return probe.result();
}


// A header as Outlook writes it, with fonts in cp1252, cp1251 (by charset and
// by \cpg) and cp932.
constexpr std::string_view kHtmlHeader =
    "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl\r\n{\\f0\\fswiss\\fcharset0 Arial;}\r\n"
    "{\\f1\\fnil\\fcharset204{\\*\\panose 0}Arial Cyr;}{\\f2\\fnil\\fcharset128 MS Gothic;}{\\f3\\fnil\\cpg1251 X;}}\r\n"
    "{\\colortbl\\red0\\green0\\blue0;}\r\n\\uc1\\pard\\plain\\deftab360 \\f0\\fs24 ";

std::string html(std::string_view body) { return std::string(kHtmlHeader) + std::string(body) + "}"; }

struct KnownAnswer {
  std::string name;
  std::string rtf;
  std::string expected;
};

void expectKnownAnswers(const std::vector<KnownAnswer>& cases, RtfEncapsulation mode) {
  for (const KnownAnswer& c : cases) {
    std::string whole = deencapsulate(c.rtf, mode);
    EXPECT_EQ(whole, c.expected) << c.name;
    EXPECT_EQ(deencapsulate(pieces(c.rtf, 1), mode), whole) << c.name << ", byte by byte";
  }
}

// ---- Recognizing encapsulation ----

TEST(EncapsulatedRtf, ProbeKnownAnswers) {
  struct Case {
    std::string name;
    std::string rtf;
    RtfEncapsulation expected;
  };
  const std::vector<Case> cases{
      {"HTML", "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl", RtfEncapsulation::html},
      {"text", "{\\rtf1\\ansi\\ansicpg1252\\fromtext \\fbidis \\deff0{\\fonttbl", RtfEncapsulation::text},
      {"line breaks are no tokens", "{\\rtf1\r\n\\ansi\r\n\\fromhtml1\r\n", RtfEncapsulation::html},
      {"the first mark decides", "{\\rtf1\\fromtext\\fromhtml1 ", RtfEncapsulation::text},
      {"\\fromhtml1 as the 10th token", "{\\rtf1\\a\\b\\c\\d\\e\\f{\\fromhtml1 x", RtfEncapsulation::html},
      {"\\fromhtml1 as the 11th token", "{\\rtf1\\a\\b\\c\\d\\e\\f{\\g\\h\\fromhtml1 ", RtfEncapsulation::none},
      {"ten group starts", "{{{{{{{{{{\\fromhtml1 ", RtfEncapsulation::none},
      {"\\fromhtml0", "{\\rtf1\\fromhtml0 \\deff0 x", RtfEncapsulation::none},
      {"bare \\fromhtml", "{\\rtf1\\fromhtml \\deff0 x", RtfEncapsulation::none},
      {"\\fromhtml10", "{\\rtf1\\fromhtml10 \\deff0 x", RtfEncapsulation::none},
      {"text before the mark", "{\\rtf1 x\\fromhtml1 ", RtfEncapsulation::none},
      {"a group end before the mark", "{\\rtf1}\\fromhtml1 ", RtfEncapsulation::none},
      {"a control symbol before the mark", "{\\rtf1{\\*\\fromhtml1 ", RtfEncapsulation::none},
      {"an escaped byte before the mark", "{\\rtf1\\'41\\fromhtml1 ", RtfEncapsulation::none},
      {"plain RTF", "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}Hello}", RtfEncapsulation::none},
      {"ends undecided", "{\\rtf1\\ansi\\fromhtml1", RtfEncapsulation::none},
      {"empty", "", RtfEncapsulation::none},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(probe(pieces(c.rtf, 0)), c.expected) << c.name;
    EXPECT_EQ(probe(pieces(c.rtf, 1)), c.expected) << c.name << ", byte by byte";
  }
}

TEST(EncapsulatedRtf, ProbeAnswersOnceKnown) {
  EncapsulationProbe probe;
  EXPECT_FALSE(probe.feed(view("{\\rtf1\\ansi")));
  EXPECT_EQ(probe.result(), RtfEncapsulation::none);
  EXPECT_FALSE(probe.feed(view("\\fromhtml")));
  EXPECT_TRUE(probe.feed(view("1 ")));
  EXPECT_TRUE(probe.feed(view("\\fromtext x")));
  EXPECT_EQ(probe.result(), RtfEncapsulation::html);
}

// ---- HTML ----

TEST(EncapsulatedRtf, HtmlKnownAnswers) {
  expectKnownAnswers(
      {
          {"text is copied as it stands", html("a > b &amp; <c>"), "a > b &amp; <c>"},
          {"line breaks in the source are not text", html("a\r\nb\nc\rd"), "abcd"},
          {"\\par and \\line", html("a\\par b\\line c"), "a\r\nb\r\nc"},
          {"a backslash before a line break is \\par", html("a\\\r\nb\\\nc"), "a\r\nb\r\nc"},
          {"\\tab", html("a\\tab b"), "a\tb"},
          {"quotes, bullet and dashes", html("\\lquote\\rquote\\ldblquote\\rdblquote\\bullet\\endash\\emdash x"),
           "\u2018\u2019\u201C\u201D\u2022\u2013\u2014x"},
          {"spaces and marks", html("\\~\\emspace\\enspace\\qmspace\\zwj\\zwnj\\ltrmark\\rtlmark x"),
           "\u00A0\u2003\u2002\u2005\u200D\u200C\u200E\u200Fx"},
          {"hyphens", html("a\\_b\\-c"), "a\u2011b\u00ADc"},
          {"escaped braces and backslash", html("\\{a\\}\\\\b"), "{a}\\b"},
          {"the delimiting space belongs to the control word", html("\\b  x\\b1 y"), " xy"},
          {"unknown control words stand for nothing", html("\\foo12 x\\bar-3 y\\baz z"), "xyz"},
          {"a '-' without digits is text", html("\\b-x"), "-x"},
          {"\\htmlrtf runs are dropped", html("a\\htmlrtf b\\htmlrtf0 c\\htmlrtf1 d\\htmlrtf0 e"), "ace"},
          {"\\htmlrtf comes back when a group ends",
           html("a\\htmlrtf {b\\htmlrtf0 c}d\\htmlrtf0 e{\\htmlrtf f}g"), "aceg"},
          {"htmltag groups", html("{\\*\\htmltag84 <p>}x{\\*\\htmltag64}{\\*\\htmltag92 </p>}"), "<p>x</p>"},
          {"nested htmltag groups", html("{\\*\\htmltag1 a{\\*\\htmltag2 b}{c}d}"), "abcd"},
          {"htmltag text", html("{\\*\\htmltag241 a\\par \\tab \\{b\\}\\\\c}"), "a\r\n\t{b}\\c"},
          // While \\htmlrtf is on nothing is copied, encapsulated HTML included.
          {"an htmltag group inside \\htmlrtf", html("\\htmlrtf{\\*\\htmltag84 <b>}x\\htmlrtf0 y"), "y"},
          {"an htmltag group nested deeper inside \\htmlrtf",
           html("a\\htmlrtf {{\\*\\htmltag84 <b>}{x{\\*\\htmltag1 <i>}}}\\htmlrtf0 b"), "ab"},
          {"after \\htmlrtf0 in a nested group, until it closes",
           html("\\htmlrtf {\\htmlrtf0 {\\*\\htmltag84 <p>}x}{\\*\\htmltag92 </p>}y\\htmlrtf0 z"), "<p>xz"},
          {"an htmltag group's own \\htmlrtf ends with it", html("{\\*\\htmltag4 <i>\\htmlrtf x}{\\*\\htmltag4 </i>}"),
           "<i></i>"},
          {"other \\* destinations are skipped",
           html("a{\\*\\mhtmltag84 <a>}{\\*\\foo x{y\\par}z}{\\* junk}{\\*\\htmltag84 {\\*\\bar q}r}b"), "arb"},
          {"destinations without text are skipped",
           html("{\\colortbl;\\red0;}{\\stylesheet{\\s0 Normal;}}{\\info{\\title T}}{\\pict\\pngblip 89504e47}"
                "{\\listtable x}{\\header h}a"),
           "a"},
          {"a field's result is text, its instruction not",
           html("{\\field{\\*\\fldinst HYPERLINK \"x\"}{\\fldrslt link}} {\\field{\\fldinst y}{\\fldrslt z}}"),
           "link z"},
          {"\\binN skips N bytes", html("a{\\*\\blip\\bin5 }}}{{}b\\bin3 {\\}c"), "abc"},
          {"text after the document is not", html("a") + "\r\nb\\par {c}", "a"},
      },
      RtfEncapsulation::html);
}

TEST(EncapsulatedRtf, UnicodeKnownAnswers) {
  expectKnownAnswers(
      {
          {"\\uN and one fallback character", html("\\u8364?x"), "\u20ACx"},
          {"\\uc0", html("\\uc0\\u8364?x"), "\u20AC?x"},
          {"\\uc2", html("\\uc2\\u8364??x"), "\u20ACx"},
          {"negative values count from 65536", html("\\u-4064?"), "\uF020"},
          {"a surrogate pair", html("\\u-10179?\\u-8704?x"), "\U0001F600x"},
          {"a lone high surrogate", html("\\u55357?x\\u55357?"), "\uFFFDx\uFFFD"},
          {"a lone low surrogate", html("\\u56832?x"), "\uFFFDx"},
          {"a high surrogate then another", html("\\u55357?\\u55357?\\u56832?"), "\uFFFD\U0001F600"},
          {"\\'hh is one fallback character", html("\\u8364\\'80x"), "\u20ACx"},
          {"a control word is one fallback character", html("\\uc2\\u8364\\par\\'80x"), "\u20ACx"},
          {"a group ends the fallback", html("{\\uc3\\u8364 a}b{\\u8364{c}}"), "\u20ACb\u20ACc"},
          {"\\ucN is per group", html("{\\uc0\\u8364 ?}\\u8364 ?x"), "\u20AC?\u20ACx"},
          {"fallback is skipped inside \\htmlrtf too", html("\\htmlrtf\\u8364\\htmlrtf0 x\\htmlrtf0 y"), "y"},
          {"\\u without a number stands for nothing", html("\\u x\\u-y"), "x-y"},
          {"values past 16 bits", html("\\u65536?\\u-65537?x"), "\uFFFD\uFFFDx"},
          {"inside htmltag", html("{\\*\\htmltag84 \\u8364?}"), "\u20AC"},
      },
      RtfEncapsulation::html);
}

TEST(EncapsulatedRtf, CodePageKnownAnswers) {
  std::string cp1251Document = "{\\rtf1\\ansi\\ansicpg1251\\fromhtml1 {\\fonttbl{\\f0\\fcharset0 A;}{\\f1 B;}}";
  expectKnownAnswers(
      {
          {"cp1252", html("\\'e4\\'80\\'E4"), "\u00E4\u20AC\u00E4"},
          {"raw text bytes", html("\xE4\x80 x"), "\u00E4\u20AC x"},
          {"cp1251 by \\fcharset204", html("\\f1\\'e0\xE0"), "\u0430\u0430"},
          {"cp1251 by \\cpg", html("\\f3\\'e0"), "\u0430"},
          {"the font comes back when a group ends", html("{\\f1\\'e0}\\'e0"), "\u0430\u00E0"},
          {"\\fN inside \\htmlrtf still changes the font", html("\\htmlrtf \\f1\\htmlrtf0 \\'e0"), "\u0430"},
          {"htmltag groups use \\ansicpg", html("\\f1{\\*\\htmltag84 \\'e9\xE9}\\'e9"), "\u00E9\u00E9\u0439"},
          {"an unknown font uses \\ansicpg", html("\\f99\\'e4"), "\u00E4"},
          {"\\fcharset0 is cp1252 whatever \\ansicpg says", cp1251Document + "\\f0\\'e0\\f1\\'e0}", "\u00E0\u0430"},
          {"\\deffN and \\plain", "{\\rtf1\\ansi\\deff1{\\fonttbl{\\f1\\fcharset204 C;}}\\'e0\\f0\\'e0\\plain\\'e0}",
           "\u0430\u00E0\u0430"},
          {"\\pc", "{\\rtf1\\pc\\'84\\'d0}", "\u00E4\u2568"},
          {"\\pca", "{\\rtf1\\pca\\'84\\'d0}", "\u00E4\u00F0"},
          {"\\mac", "{\\rtf1\\mac\\'8a}", "\u00E4"},
          {"\\ansicpg overrides \\mac", "{\\rtf1\\ansicpg1251\\mac\\'e0}", "\u0430"},
          {"a code page that does not open is cp1252", "{\\rtf1\\ansi\\ansicpg99999\\'e4}", "\u00E4"},
          {"cp932, both bytes escaped", html("\\f2\\'82\\'a0"), "\u3042"},
          {"cp932, the lead escaped and the trail raw", html("\\f2\\'82a"), "\uFF22"},
          {"cp932, the lead raw and the trail escaped", html("\\f2\x82\\'a0"), "\u3042"},
          {"cp932, both raw", html("\\f2\x82\xA0"), "\u3042"},
          {"cp932, a line break between lead and trail", html("\\f2\\'82\r\n\\'a0"), "\u3042"},
          {"cp932, a lead before a control word", html("\\f2\\'82\\par x"), "\uFFFD\r\nx"},
          {"cp932, a lead before a group end", html("{\\f2\\'82}x"), "\uFFFDx"},
          {"cp932, a lead before a bad trail", html("\\f2\\'82\\'20x"), "\uFFFD x"},
          {"cp932, single-byte katakana", html("\\f2\\'b1"), "\uFF71"},
      },
      RtfEncapsulation::html);
}

// ---- Text ----

TEST(EncapsulatedRtf, TextKnownAnswers) {
  auto text = [](std::string_view body) {
    return "{\\rtf1\\ansi\\ansicpg1252\\fromtext \\fbidis \\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}}\r\n"
           "{\\colortbl\\red0\\green0\\blue0;}\r\n\\uc1\\pard\\plain\\deftab360 \\f0\\fs20 " +
           std::string(body) + "}";
  };
  expectKnownAnswers(
      {
          {"lines", text("Hello <World>\\par Second\\tab line\\par"), "Hello <World>\r\nSecond\tline\r\n"},
          {"htmltag groups are skipped", text("a{\\*\\htmltag84 <b>}b"), "ab"},
          {"\\htmlrtf runs are dropped", text("a\\htmlrtf b\\htmlrtf0 c"), "ac"},
          {"escapes and characters", text("\\{\\'e4\\u8364?\\emdash\\}"), "{\u00E4\u20AC\u2014}"},
      },
      RtfEncapsulation::text);
}

// ---- Hostile input ----

std::string repeated(std::string_view text, std::size_t count) {
  std::string result;
  result.reserve(text.size() * count);
  for (std::size_t i = 0; i < count; ++i) result += text;
  return result;
}

TEST(EncapsulatedRtf, DeepNesting) {
  constexpr std::size_t kTracked = RtfDeencapsulator::kTrackedDepth;
  for (std::size_t depth : {kTracked - 2, kTracked - 1, kTracked, kTracked + 1, std::size_t{1'000'000}}) {
    std::string open(depth, '{'), close(depth, '}');
    // Past the tracked depth a group's end must still undo an htmltag destination and \htmlrtf.
    std::string deep = "b\\f1\\'e0{\\*\\htmltag1 c}\\htmlrtf x{\\*\\htmltag1 y}\\htmlrtf0 z{\\*\\foo d}w";
    std::string rtf = html("a" + open + deep + close + "\\'e0" + open + "{\\*\\foo x}{y}z" + close + "e");
    EXPECT_EQ(deencapsulate(rtf), "ab\u0430czw\u00E0yze") << depth;
  }
}

TEST(EncapsulatedRtf, HostileKnownAnswers) {
  expectKnownAnswers(
      {
          {"a long run of \\' without digits", html(repeated("\\'", 100'000) + "x\\'4"), "x"},
          {"a long run of \\u without digits", html(repeated("\\u", 100'000) + " x"), "x"},
          {"a long run of \\\\, then a lone \\ at the end", std::string(kHtmlHeader) + repeated("\\\\", 50'000) + "\\",
           std::string(50'000, '\\')},
          {"a huge \\uN", html("\\u99999999999999999999?x"), "\uFFFDx"},
          {"a huge negative \\uN", html("\\u-99999999999999999999?x"), "\uFFFDx"},
          {"a huge \\ucN skips to the group's end", html("{\\uc99999999999\\u8364 abc}x"), "\u20ACx"},
          {"a huge \\fN", html("\\f99999999999999999999 \\'e4"), "\u00E4"},
          {"a huge \\htmlrtfN", html("a\\htmlrtf99999999999999999999 b\\htmlrtf0 c"), "ac"},
          {"a huge \\ansicpgN", "{\\rtf1\\ansicpg99999999999999\\'e4}", "\u00E4"},
          {"a huge \\binN", html("a\\bin99999999999999 b}}}"), "a"},
          {"a control word of 100000 letters", html("a\\" + std::string(100'000, 'x') + "9 b"), "ab"},
          {"more fonts than the table holds",
           [] {
             std::string fonts;
             for (int i = 0; i < 5000; ++i) fonts += "{\\f" + std::to_string(i) + "\\fcharset204 F;}";
             return "{\\rtf1\\ansi{\\fonttbl" + fonts + "}\\f0\\'e0\\f100000\\'e0}";
           }(),
           "\u0430\u00E0"},
          {"unbalanced group ends", html("a}}}b"), "a"},
          {"no groups at all", "\\fromhtml1 abc\\par", ""},
      },
      RtfEncapsulation::html);
}

// ---- Blocks in and out ----

// A body using each feature, so that every kind of token straddles a cut.
std::string richBody() {
  return html(
      "{\\*\\htmltag19 <html>}{\\*\\htmltag241 <style>\\par \\tab \\{x:1;\\}</style>}\\htmlrtf {\\htmlrtf0 "
      "{\\*\\htmltag84 <p>}\\htmlrtf {\\b \\htmlrtf0 Gr\\'fc\\'dfe \\u8364?\\u-10179?\\u-8704? \\f1\\'e0\\f2\\'82a"
      "\\f2\x82\xA0\\lquote x\\rquote\\emdash\\~\\{\\}\\\\\\par{\\*\\htmltag84 &nbsp;}\\htmlrtf \\'a0\\htmlrtf0 "
      "{\\field{\\*\\fldinst HYPERLINK}{\\fldrslt link}}{\\pict\\bin4 }{}{}\\htmlrtf }\\htmlrtf0 "
      "{\\*\\htmltag92 </p>}\\htmlrtf }\\htmlrtf0 {\\*\\htmltag27 </html>}");
}

TEST(EncapsulatedRtf, SameOutputWhateverTheBlocks) {
  std::string rtf = richBody();
  std::string whole = deencapsulate(rtf);
  EXPECT_EQ(whole,
            "<html><style>\r\n\t{x:1;}</style><p>Gr\u00FC\u00DFe \u20AC\U0001F600 \u0430\uFF22\u3042\u2018x\u2019\u2014"
            "\u00A0{}\\\r\n&nbsp;link</p></html>");
  for (std::size_t piece : {1, 2, 3, 7}) EXPECT_EQ(deencapsulate(pieces(rtf, piece)), whole) << piece;
  for (std::size_t cut = 0; cut <= rtf.size(); ++cut) EXPECT_EQ(deencapsulate(cutAt(rtf, cut)), whole) << cut;
}

TEST(EncapsulatedRtf, EveryPrefixIsValidUtf8) {
  std::string rtf = richBody();
  for (std::size_t length = 0; length <= rtf.size(); ++length) {
    std::string prefix = deencapsulate(std::string_view(rtf).substr(0, length));
    EXPECT_TRUE(utf8::isValid(prefix)) << length;
  }
  EXPECT_EQ(deencapsulate(html("{\\*\\htmltag84 <p>}ab\\par").substr(0, kHtmlHeader.size() + 24)), "<p>ab\r\n");
  EXPECT_EQ(deencapsulate(html("x\\f2\\'82").substr(0, kHtmlHeader.size() + 8)), "x\uFFFD");
  EXPECT_EQ(deencapsulate(html("x\\u55357?").substr(0, kHtmlHeader.size() + 9)), "x\uFFFD");
  EXPECT_EQ(deencapsulate(html("x\\'e").substr(0, kHtmlHeader.size() + 4)), "x");
}

TEST(EncapsulatedRtf, OutputComesInBlocksThatEndBetweenCharacters) {
  std::string body = repeated("{\\*\\htmltag84 <p>}a\\'e4\\u8364?\\u-10179?\\u-8704?", 20'000);
  Output output;
  RtfDeencapsulator reader(RtfEncapsulation::html, collect, &output);
  std::string rtf = html(body);
  EXPECT_TRUE(reader.feed(view(rtf)));
  EXPECT_TRUE(reader.finish());
  EXPECT_EQ(output.text, repeated("<p>a\u00E4\u20AC\U0001F600", 20'000));
  EXPECT_GT(output.blocks.size(), 2u);
  std::size_t at = 0;
  for (std::size_t size : output.blocks) {
    EXPECT_LE(size, RtfDeencapsulator::kBlockSize);
    EXPECT_TRUE(utf8::isValid(std::string_view(output.text).substr(at, size))) << at;
    at += size;
  }
}

TEST(EncapsulatedRtf, SinkThatRefusesStopsAtOnce) {
  std::string rtf = html(repeated("abcdefgh\\'e4", 50'000));
  Output output;
  output.acceptBlocks = 1;
  RtfDeencapsulator reader(RtfEncapsulation::html, collect, &output);
  EXPECT_FALSE(reader.feed(view(rtf)));
  EXPECT_FALSE(reader.feed(view(rtf)));
  EXPECT_FALSE(reader.finish());
  EXPECT_EQ(output.blocks.size(), 1u);
}

TEST(EncapsulatedRtf, ModeNoneProducesNothing) {
  Output output;
  RtfDeencapsulator reader(RtfEncapsulation::none, collect, &output);
  EXPECT_TRUE(reader.feed(view(richBody())));
  EXPECT_TRUE(reader.finish());
  EXPECT_TRUE(output.blocks.empty());
}

// ---- A real body ----

// The RTF of the message body (PR_RTF_COMPRESSED) of a corpus stream.
std::string corpusBodyRtf(const std::string& name) {
  std::ifstream file(corpusDirectory() / name, std::ios::binary);
  std::string stream((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::size_t tag = stream.find(std::string("\x02\x01\x09\x10", 4));
  if (tag == std::string::npos || tag + 12 > stream.size()) return "";
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) length |= std::uint32_t{static_cast<std::uint8_t>(stream[tag + 8 + i])} << (8 * i);
  std::string value = stream.substr(tag + 12, length);
  CompressedRtf compressed = inspectCompressedRtf(view(value));
  Output rtf;
  if (compressed.damage != RtfDamage::none || !expandCompressedRtf(compressed, collect, &rtf)) return "";
  return rtf.text;
}

TEST(EncapsulatedRtf, RealBodyWithUmlauts) {
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  std::string rtf = corpusBodyRtf("tnefparse-umlaut.tnef");
  ASSERT_FALSE(rtf.empty());
  ASSERT_EQ(probe(pieces(rtf, 0)), RtfEncapsulation::html);
  std::string html = deencapsulate(rtf);
  std::size_t start = html.find_first_not_of(" \t\r\n");
  EXPECT_EQ(html.compare(start, 5, "<html"), 0) << html.substr(0, 100);
  EXPECT_NE(html.find("<b>TEST \u00E4\u00F6\u00FC +-*/~<o:p></o:p></b>"), std::string::npos) << html;
  EXPECT_NE(html.find("\t{font-family:Calibri;\r\n"), std::string::npos);
  EXPECT_TRUE(html.ends_with("</body></html>")) << html.substr(html.size() - 100);
  EXPECT_EQ(deencapsulate(pieces(rtf, 1)), html);
  for (std::size_t length = 0; length <= rtf.size(); ++length) {
    EXPECT_TRUE(utf8::isValid(deencapsulate(std::string_view(rtf).substr(0, length)))) << length;
  }
}

}  // namespace
}  // namespace test
}  // namespace wendrel
