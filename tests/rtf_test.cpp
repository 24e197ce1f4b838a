// Compressed-RTF bodies: known answers for stored and compressed values, every
// kind of damage, the CRC, round trips through the test compressor, output in
// blocks, sinks that stop, and the bodies of real streams.

#include "wendrel/formats/compressed_rtf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "process.h"
#include "rtf_builder.h"

namespace wendrel {

void PrintTo(RtfDamage damage, std::ostream* os) { *os << rtfDamageName(damage); }

namespace test {
namespace {

ByteView view(const Bytes& bytes) { return ByteView(bytes.data(), bytes.size()); }

bool appendTo(ByteView block, void* context) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(block.data()), block.size());
  return true;
}

// The RTF of a sound value, or what inspection found wrong.
struct Decoded {
  RtfDamage damage = RtfDamage::none;
  std::string rtf;
  bool expanded = false;
};

Decoded decodeValue(const Bytes& value) {
  Decoded decoded;
  CompressedRtf rtf = inspectCompressedRtf(view(value));
  decoded.damage = rtf.damage;
  if (rtf.damage == RtfDamage::none) decoded.expanded = expandCompressedRtf(rtf, appendTo, &decoded.rtf);
  return decoded;
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes lzfu(const LzfuTokens& tokens, std::uint32_t rawSize) { return RtfValue{tokens.bytes(), rawSize}.bytes(); }

// ---- Known answers ----

struct KnownAnswer {
  std::string name;
  Bytes value;
  std::string rtf;
};

void expectKnownAnswers(const std::vector<KnownAnswer>& cases) {
  for (const KnownAnswer& c : cases) {
    Decoded decoded = decodeValue(c.value);
    EXPECT_EQ(decoded.damage, RtfDamage::none) << c.name;
    EXPECT_TRUE(decoded.expanded) << c.name;
    EXPECT_EQ(decoded.rtf, c.rtf) << c.name;
  }
}

std::size_t slotOf(std::string_view text) { return kRtfDictionary.find(text); }

LzfuTokens wholeInitialDictionary() {
  LzfuTokens tokens;
  auto size = static_cast<std::uint32_t>(kRtfDictionary.size());
  for (std::uint32_t offset = 0; offset < size; offset += kLongestMatch) {
    tokens.reference(offset, std::min<std::uint32_t>(kLongestMatch, size - offset));
  }
  return tokens.endMark();
}

TEST(CompressedRtf, TokensKnownAnswers) {
  std::string pattern;
  for (int i = 0; i < 3900; ++i) pattern.push_back(static_cast<char>('a' + i % 23));
  expectKnownAnswers({
      {"literals only, across two groups", lzfu(LzfuTokens().literals("{\\rtf1 hi}").endMark(), 10), "{\\rtf1 hi}"},
      {"reference to the dictionary's start", lzfu(LzfuTokens().reference(0, 6).endMark(), 6), "{\\rtf1"},
      {"reference inside the dictionary", lzfu(LzfuTokens().reference(slotOf("MS Sans"), 13).endMark(), 13),
       "MS Sans Serif"},
      {"the whole initial dictionary", lzfu(wholeInitialDictionary(), 207), std::string(kRtfDictionary)},
      {"the dictionary past its first 207 bytes is zero", lzfu(LzfuTokens().reference(1000, 4).endMark(), 4),
       std::string(4, '\0')},
      {"reference that wraps the dictionary's end", lzfu(LzfuTokens().reference(4094, 5).endMark(), 5),
       std::string(2, '\0') + "{\\r"},
      {"literals then references to them",
       lzfu(LzfuTokens().literals("{\\b bold} ").back(10, 10).back(10, 4).endMark(), 24),
       "{\\b bold} {\\b bold} {\\b "},
      {"write position wraps, reference straddles it",
       lzfu(LzfuTokens().literals(pattern).back(20, 17).endMark(), 3917), pattern + pattern.substr(3880, 17)},
      {"RAWSIZE smaller than the output leaves the rest out",
       lzfu(LzfuTokens().literals("{\\rtf1 abc}").reference(0, 6).endMark(), 6), "{\\rtf1"},
      {"empty body", lzfu(LzfuTokens().endMark(), 0), ""},
      {"RAWSIZE 0 with output", lzfu(LzfuTokens().literals("abc").endMark(), 0), ""},
      {"end mark as a group's last token", lzfu(LzfuTokens().literals("1234567").endMark(), 7), "1234567"},
      {"end mark opening a group", lzfu(LzfuTokens().literals("12345678").endMark(), 8), "12345678"},
      {"end mark with its length bits set", lzfu(LzfuTokens().literals("ab").endMark(15), 2), "ab"},
      {"bytes after the end mark are ignored",
       lzfu(LzfuTokens().literals("ab").endMark().raw({0xFF, 0x00, 0x12, 0x34}), 2), "ab"},
      {"bytes after COMPSIZE are ignored",
       [] {
         Bytes value = lzfu(LzfuTokens().literals("ab").endMark(), 2);
         appendBytes(value, {0xDE, 0xAD, 0xBE, 0xEF});
         return value;
       }(),
       "ab"},
  });
}

// A reference at each distance up to 20 back, 17 long, repeats the bytes it
// starts from: overlapping copies behave as byte-by-byte ones.
TEST(CompressedRtf, OverlappingRunsAtEveryShortDistance) {
  std::vector<KnownAnswer> cases;
  for (unsigned distance = 1; distance <= 20; ++distance) {
    std::string seed = std::string("ABCDEFGHIJKLMNOPQRST").substr(0, distance);
    std::string expected = seed;
    while (expected.size() < distance + kLongestMatch) expected.push_back(expected[expected.size() - distance]);
    // Longest first, so that what an earlier row left in the window differs.
    for (unsigned length : {kLongestMatch, 9u, 2u}) {
      LzfuTokens tokens = LzfuTokens().literals(seed).back(distance, length).endMark();
      cases.push_back({"distance " + std::to_string(distance) + ", length " + std::to_string(length),
                       lzfu(tokens, distance + length), expected.substr(0, distance + length)});
    }
  }
  expectKnownAnswers(cases);
}

// The end mark at each of a group's eight places, after literals and
// references of several lengths, with enough bytes after it that the check
// takes the group whole: the output, and the count the check makes of it.
TEST(CompressedRtf, EndMarkAtEachPlaceOfAGroup) {
  struct Token {
    char literal;            // 0: a reference
    std::uint32_t distance;  // back from the write position; 0: from the dictionary's start
    unsigned length;
    std::string_view yields;
  };
  // After the literals "12345678", a whole group of their own.
  constexpr Token kTokens[] = {{'x', 0, 1, "x"},  {0, 0, 6, "{\\rtf1"}, {'y', 0, 1, "y"},
                               {0, 3, 5, "f1yf1"}, {'z', 0, 1, "z"},      {0, 17, 17, "678x{\\rtf1yf1yf1z"},
                               {0, 1, 2, "zz"}};
  std::vector<KnownAnswer> cases;
  for (std::size_t place = 0; place < 8; ++place) {
    LzfuTokens tokens = LzfuTokens().literals("12345678");
    std::string expected = "12345678";
    for (std::size_t i = 0; i < place; ++i) {
      const Token& token = kTokens[i];
      if (token.literal != 0) {
        tokens.literal(static_cast<std::uint8_t>(token.literal));
      } else if (token.distance == 0) {
        tokens.reference(0, token.length);
      } else {
        tokens.back(token.distance, token.length);
      }
      expected += token.yields;
    }
    tokens.endMark().raw(Bytes(kLongestMatch + 3, 0xFF));
    auto rawSize = static_cast<std::uint32_t>(expected.size());
    cases.push_back({"end mark at place " + std::to_string(place), lzfu(tokens, rawSize), expected});
    // One byte more than comes before the end mark is too many.
    EXPECT_EQ(inspectCompressedRtf(view(lzfu(tokens, rawSize + 1))).damage, RtfDamage::tooFewBytes) << place;
  }
  expectKnownAnswers(cases);
}

TEST(CompressedRtf, StoredKnownAnswers) {
  expectKnownAnswers({
      {"stored body", uncompressedRtfBody("{\\rtf1 plain}"), "{\\rtf1 plain}"},
      {"stored empty body", uncompressedRtfBody(""), ""},
      {"stored RAWSIZE below the data", RtfValue{textBytes("{\\rtf1}xyz"), 7, kMela}.bytes(), "{\\rtf1}"},
      {"stored body's CRC field is not checked", RtfValue{textBytes("{}"), 2, kMela, std::nullopt, 0x1234}.bytes(),
       "{}"},
      {"stored body with bytes after COMPSIZE",
       [] {
         Bytes value = uncompressedRtfBody("{}");
         appendBytes(value, textBytes("trailing"));
         return value;
       }(),
       "{}"},
  });
}

// ---- Damage ----

struct DamageCase {
  std::string name;
  Bytes value;
  RtfDamage damage;
};

TEST(CompressedRtf, EachDamageIsNamed) {
  Bytes sound = lzfu(LzfuTokens().literals("{\\rtf1 x}").endMark(), 9);
  Bytes soundData = LzfuTokens().literals("{\\rtf1 x}").endMark().bytes();
  Bytes longLiterals = LzfuTokens().literals(std::string(100, 'x')).bytes();
  std::vector<DamageCase> cases{
      {"no bytes", {}, RtfDamage::tooShort},
      {"15 bytes of header", firstBytes(sound, 15), RtfDamage::tooShort},
      {"COMPSIZE 0", RtfValue{soundData, 9, kLzfu, 0}.bytes(), RtfDamage::badCompSize},
      {"COMPSIZE 11", RtfValue{soundData, 9, kLzfu, 11}.bytes(), RtfDamage::badCompSize},
      {"value one byte short of COMPSIZE", firstBytes(sound, sound.size() - 1), RtfDamage::badCompSize},
      {"COMPSIZE at its largest", RtfValue{soundData, 9, kLzfu, 0xFFFFFFFF}.bytes(), RtfDamage::badCompSize},
      {"stored, COMPSIZE past the value", RtfValue{textBytes("{}"), 2, kMela, 15}.bytes(), RtfDamage::badCompSize},
      {"COMPTYPE 0", RtfValue{soundData, 9, 0}.bytes(), RtfDamage::unknownType},
      {"COMPTYPE in other case", RtfValue{soundData, 9, 0x55465A4C}.bytes(), RtfDamage::unknownType},
      {"CRC field off by one", RtfValue{soundData, 9, kLzfu, std::nullopt, rtfCrc(soundData) ^ 1}.bytes(),
       RtfDamage::badCrc},
      {"a data byte changed after the CRC", [&] {
         Bytes value = sound;
         value[18] ^= 0x20;
         return value;
       }(), RtfDamage::badCrc},
      {"no data", lzfu(LzfuTokens(), 0), RtfDamage::noEndMark},
      {"one whole group, no end mark", lzfu(LzfuTokens().literals("12345678"), 8), RtfDamage::noEndMark},
      {"a control byte alone", lzfu(LzfuTokens().raw({0x00}), 0), RtfDamage::truncated},
      {"a control byte whose tokens run out", lzfu(LzfuTokens().literals("abc"), 3), RtfDamage::truncated},
      {"half a reference", lzfu(LzfuTokens().literals("ab").halfReference(0), 2), RtfDamage::truncated},
      {"half a reference after whole groups",
       lzfu(LzfuTokens().literals(std::string(100, 'x')).halfReference(0), 100), RtfDamage::truncated},
      {"half a reference as a group's last token",
       lzfu(LzfuTokens().literals("1234567").halfReference(0), 7), RtfDamage::truncated},
      {"half a reference whose missing byte would make it the end mark",
       lzfu(LzfuTokens().literal('x').halfReference(208), 1), RtfDamage::truncated},
      {"a long run of literals cut in a group", lzfu(LzfuTokens().raw(firstBytes(longLiterals, 60)), 50),
       RtfDamage::truncated},
      {"end mark one byte early", lzfu(LzfuTokens().literals("{\\rtf1 x}").endMark(), 10), RtfDamage::tooFewBytes},
      {"RAWSIZE at its largest", lzfu(LzfuTokens().reference(0, 6).endMark(), 0xFFFFFFFF), RtfDamage::tooFewBytes},
      {"stored, RAWSIZE one past the data", RtfValue{textBytes("{}"), 3, kMela}.bytes(), RtfDamage::storedTooShort},
      {"stored, RAWSIZE at its largest", RtfValue{textBytes("{}"), 0xFFFFFFFF, kMela}.bytes(),
       RtfDamage::storedTooShort},
  };
  ASSERT_EQ(decodeValue(sound).damage, RtfDamage::none);
  for (const DamageCase& c : cases) {
    CompressedRtf rtf = inspectCompressedRtf(view(c.value));
    EXPECT_EQ(rtf.damage, c.damage) << c.name;
    std::string produced;
    EXPECT_FALSE(expandCompressedRtf(rtf, appendTo, &produced)) << c.name;
    EXPECT_EQ(produced, "") << c.name;
  }
}

// Expansion trusts no more than the data holds, even for a value that did not
// come from inspection.
TEST(CompressedRtf, ExpansionOfUninspectedValuesStopsAtTheData) {
  struct Case {
    std::string name;
    Bytes data;
    CompressedRtf rtf;
  };
  std::vector<Case> cases{
      {"tokens after an early end mark", LzfuTokens().literals("ab").endMark().literals("cdefgh").bytes(), {}},
      {"RAWSIZE past the data, no end mark", LzfuTokens().literals("abcdefgh").bytes(), {}},
      {"RAWSIZE at its largest", LzfuTokens().literals("abcdefgh").bytes(), {}},
      {"stored, RAWSIZE past the data", textBytes("{}"), {}},
  };
  cases[0].rtf.rawSize = 8;
  cases[1].rtf.rawSize = 100;
  cases[2].rtf.rawSize = 0xFFFFFFFF;
  cases[3].rtf.rawSize = 3;
  cases[3].rtf.stored = true;
  for (Case& c : cases) {
    c.rtf.data = view(c.data);
    std::string produced;
    EXPECT_FALSE(expandCompressedRtf(c.rtf, appendTo, &produced)) << c.name;
  }
}

// What inspection reports about a sound value besides its soundness.
TEST(CompressedRtf, InspectionDescribesTheValue) {
  Bytes data = LzfuTokens().literals("{}").endMark().bytes();
  Bytes value = RtfValue{data, 2}.bytes();
  appendBytes(value, {1, 2, 3});
  CompressedRtf compressed = inspectCompressedRtf(view(value));
  EXPECT_FALSE(compressed.stored);
  EXPECT_EQ(compressed.rawSize, 2u);
  EXPECT_EQ(Bytes(compressed.data.data(), compressed.data.data() + compressed.data.size()), data);

  CompressedRtf stored = inspectCompressedRtf(view(uncompressedRtfBody("{\\rtf1}")));
  EXPECT_TRUE(stored.stored);
  EXPECT_EQ(stored.rawSize, 7u);
  EXPECT_EQ(stored.data.size(), 7u);
}

// ---- The CRC ----

TEST(CompressedRtf, CrcKnownAnswers) {
  struct Case {
    Bytes data;
    std::uint32_t crc;
  };
  Bytes allBytes;
  for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<std::uint8_t>(i));
  for (const Case& c : std::vector<Case>{{{}, 0},
                                         {textBytes("a"), 0x3AB551CE},
                                         {textBytes("123456789"), 0x2DFD2D88},
                                         {textBytes("{\\rtf1"), 0x6CB1BB48},
                                         {allBytes, 0x2493092B}}) {
    EXPECT_EQ(compressedRtfCrc(view(c.data)), c.crc) << text(c.data);
  }
}

// Every length up to 40, so that each split into eight-byte steps and a tail is met.
TEST(CompressedRtf, CrcMatchesBitwiseAtEveryShortLength) {
  Bytes data;
  std::uint32_t state = 12345;
  for (std::size_t length = 0; length <= 40; ++length) {
    EXPECT_EQ(compressedRtfCrc(view(data)), rtfCrc(data)) << length;
    state = state * 1103515245 + 12345;
    data.push_back(static_cast<std::uint8_t>(state >> 16));
  }
}

// ---- Round trips and blocks ----

std::string pseudoRandomText(std::size_t size) {
  std::string text;
  std::uint32_t state = 7;
  for (std::size_t i = 0; i < size; ++i) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    text.push_back(static_cast<char>(state));
  }
  return text;
}

TEST(CompressedRtf, GreedyCompressorRoundTrips) {
  struct Case {
    std::string name;
    std::string text;
    bool shrinks;  // the compressor must have found references
  };
  std::vector<Case> cases{
      {"empty", "", false},
      {"short", "{\\rtf1\\ansi hello}", true},
      {"one byte run", std::string(1000, 'a'), true},
      {"past the dictionary", rtfLikeText(10'000), true},
      {"past several blocks", rtfLikeText(3 * kRtfBlockSize + 777), true},
      {"incompressible, every byte value", pseudoRandomText(9000), false},
      {"zeros, as in the untouched dictionary", std::string(5000, '\0'), true},
  };
  for (const Case& c : cases) {
    Bytes value = compressedRtf(c.text);
    if (c.shrinks) {
      EXPECT_LT(value.size() - 16, c.text.size()) << c.name;
    }
    Decoded decoded = decodeValue(value);
    EXPECT_EQ(decoded.damage, RtfDamage::none) << c.name;
    EXPECT_TRUE(decoded.expanded) << c.name;
    EXPECT_TRUE(decoded.rtf == c.text) << c.name;
  }
}

struct Blocks {
  std::vector<std::size_t> sizes;
  std::string bytes;
  std::size_t acceptCalls = SIZE_MAX;  // the call that returns false, counted from 1
};

bool collectBlock(ByteView block, void* context) {
  auto& blocks = *static_cast<Blocks*>(context);
  blocks.sizes.push_back(block.size());
  blocks.bytes.append(reinterpret_cast<const char*>(block.data()), block.size());
  return blocks.sizes.size() < blocks.acceptCalls;
}

// The same tokens cut at RAWSIZEs around block boundaries: full blocks, then
// the rest, together exactly the text's first RAWSIZE bytes.
TEST(CompressedRtf, OutputComesInFullBlocksThenTheRest) {
  constexpr std::size_t kBlock = kRtfBlockSize;
  std::string text = rtfLikeText(2 * kBlock + 5000);
  Bytes data = compressGreedy(text).bytes();
  struct Case {
    std::size_t rawSize;
    std::vector<std::size_t> sizes;
  };
  for (const Case& c : std::vector<Case>{{1, {1}},
                                         {kBlock - 1, {kBlock - 1}},
                                         {kBlock, {kBlock}},
                                         {kBlock + 1, {kBlock, 1}},
                                         {2 * kBlock, {kBlock, kBlock}},
                                         {text.size(), {kBlock, kBlock, 5000}}}) {
    Bytes value = RtfValue{data, static_cast<std::uint32_t>(c.rawSize)}.bytes();
    CompressedRtf rtf = inspectCompressedRtf(view(value));
    ASSERT_EQ(rtf.damage, RtfDamage::none) << c.rawSize;
    Blocks blocks;
    EXPECT_TRUE(expandCompressedRtf(rtf, collectBlock, &blocks)) << c.rawSize;
    EXPECT_EQ(blocks.sizes, c.sizes) << c.rawSize;
    EXPECT_TRUE(blocks.bytes == text.substr(0, c.rawSize)) << c.rawSize;
  }
}

TEST(CompressedRtf, SinkThatRefusesStopsAtOnce) {
  Bytes compressed = compressedRtf(rtfLikeText(3 * kRtfBlockSize));
  Bytes stored = uncompressedRtfBody("{\\rtf1 stored}");
  struct Case {
    std::string name;
    const Bytes& value;
    std::size_t acceptCalls;
  };
  for (const Case& c : std::vector<Case>{{"compressed, first block", compressed, 1},
                                         {"compressed, second block", compressed, 2},
                                         {"compressed, last block", compressed, 3},
                                         {"stored", stored, 1}}) {
    Blocks blocks;
    blocks.acceptCalls = c.acceptCalls;
    EXPECT_FALSE(expandCompressedRtf(inspectCompressedRtf(view(c.value)), collectBlock, &blocks)) << c.name;
    EXPECT_EQ(blocks.sizes.size(), c.acceptCalls) << c.name;
  }
}

// ---- Real bodies ----

// Every PR_RTF_COMPRESSED value in the file: after the tag, a value count, a
// length and the value.
std::vector<Bytes> compressedRtfValues(const Bytes& file) {
  const Bytes tag{0x02, 0x01, 0x09, 0x10};
  std::vector<Bytes> values;
  for (auto at = std::search(file.begin(), file.end(), tag.begin(), tag.end()); at != file.end();
       at = std::search(at + 1, file.end(), tag.begin(), tag.end())) {
    auto offset = static_cast<std::size_t>(at - file.begin());
    std::uint32_t length = view(file).dword(offset + 8);
    if (view(file).contains(offset + 12, length)) values.push_back(Bytes(at + 12, at + 12 + length));
  }
  return values;
}

Bytes readBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(CompressedRtf, RealBodiesDecode) {
  fs::path corpus = corpusDirectory();
  if (corpus.empty()) GTEST_SKIP() << noCorpus();
  for (const char* name : {"quick-winmail.tnef", "horde-TnefAttachments.tnef", "horde-TnefMeetingRequest.tnef",
                           "tnefparse-umlaut.tnef", "mimekit-christmas.tnef"}) {
    std::vector<Bytes> values = compressedRtfValues(readBytes(corpus / name));
    ASSERT_FALSE(values.empty()) << name;
    for (const Bytes& value : values) {
      Decoded decoded = decodeValue(value);
      ASSERT_EQ(decoded.damage, RtfDamage::none) << name;
      EXPECT_TRUE(decoded.expanded) << name;
      const std::string& rtf = decoded.rtf;
      EXPECT_EQ(rtf.size(), view(value).dword(4)) << name;
      EXPECT_EQ(rtf.compare(0, 6, "{\\rtf1"), 0) << name;
      std::size_t last = rtf.find_last_not_of(std::string("\r\n\0", 3));
      ASSERT_NE(last, std::string::npos) << name;
      EXPECT_EQ(rtf[last], '}') << name;
    }
  }
}

}  // namespace
}  // namespace test
}  // namespace wendrel
