// The JSON writer on its own: escapes, invalid UTF-8 and base64 whatever
// the pieces they come in, the layout, numbers, and a failing output.

#include "json_output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

namespace wendrel::json {
namespace {

// What write makes of a JsonOutput, as text.
std::string written(const std::function<void(JsonOutput&)>& write) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  JsonOutput out(file);
  write(out);
  EXPECT_TRUE(out.finish());
  std::fclose(file);
  std::string text(data, size);
  std::free(data);
  return text;
}

// A text written as one string, cut into pieces at each of the cuts.
std::string stringInPieces(std::string_view text, const std::vector<std::size_t>& cuts) {
  return written([&](JsonOutput& out) {
    out.beginString();
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
      out.stringPiece(text.substr(from, cut - from));
      from = cut;
    }
    out.stringPiece(text.substr(from));
    out.endString();
  });
}

TEST(JsonOutput, EscapesQuotesBackslashesAndEveryControlCharacter) {
  EXPECT_EQ(written([](JsonOutput& out) { out.string(std::string("a\"b\\c\n\r\t\x01\x1F\x7F d\0e", 15)); }),
            "\"a\\\"b\\\\c\\u000a\\u000d\\u0009\\u0001\\u001f\\u007f d\\u0000e\"\n");
  // C1 controls (U+0080-U+009F) too; U+00A0 and beyond stand as they are.
  EXPECT_EQ(written([](JsonOutput& out) { out.string("\xC2\x80\xC2\x9B\xC2\xA0\xE2\x82\xAC\xF0\x9F\x98\x80"); }),
            "\"\\u0080\\u009b\xC2\xA0\xE2\x82\xAC\xF0\x9F\x98\x80\"\n");
}

TEST(JsonOutput, EachByteOutsideWellFormedUtf8BecomesOneReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  // A stray continuation, a cut character before ASCII, an overlong form, a
  // surrogate, a byte that is never UTF-8, and a character cut at the end.
  EXPECT_EQ(stringInPieces("\x80" "a\xE2\x82" "b\xC0\xAF\xED\xA0\x80\xFF\xF0\x9F\x98", {}),
            "\"" + fffd + "a" + fffd + fffd + "b" + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd +
                "\"\n");
}

TEST(JsonOutput, PiecesGiveWhatTheWholeTextGivesWhereverTheyAreCut) {
  const std::string text = "x\xE2\x82\xAC\xF0\x9F\x98\x80\xC3(\xE2\x82\"\xC2\x85\xF4\x90\x80\x80y\xC3";
  const std::string whole = stringInPieces(text, {});
  for (std::size_t a = 0; a <= text.size(); ++a) {
    for (std::size_t b = a; b <= text.size(); ++b) EXPECT_EQ(stringInPieces(text, {a, b}), whole) << a << " " << b;
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t i = 1; i < text.size(); ++i) everyByte.push_back(i);
  EXPECT_EQ(stringInPieces(text, everyByte), whole);
}

TEST(JsonOutput, Base64InAnyPiecesIsTheWholeBlocksBase64) {
  const std::string expected[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  const std::string_view text = "foobar";
  for (std::size_t length = 0; length <= text.size(); ++length) {
    for (std::size_t cut = 0; cut <= length; ++cut) {
      std::string result = written([&](JsonOutput& out) {
        auto bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        out.beginBase64();
        out.base64Piece(bytes, cut);
        out.base64Piece(bytes + cut, length - cut);
        out.endBase64();
      });
      EXPECT_EQ(result, "\"" + expected[length] + "\"\n") << length << " " << cut;
    }
  }
}

TEST(JsonOutput, LaysOutMembersAndElementsTwoSpacesDeep) {
  std::string result = written([](JsonOutput& out) {
    out.beginObject();
    out.key("a");
    out.beginArray();
    out.integer(1);
    out.beginObject();
    out.endObject();
    out.beginArray();
    out.endArray();
    out.endArray();
    out.key("b\n");
    out.null();
    out.endObject();
  });
  EXPECT_EQ(result, "{\n  \"a\": [\n    1,\n    {},\n    []\n  ],\n  \"b\\u000a\": null\n}\n");
}

TEST(JsonOutput, WritesNumbersExactlyAndNonFiniteOnesAsNull) {
  std::string result = written([](JsonOutput& out) {
    out.beginArray();
    out.integer(INT64_MIN);
    out.unsignedInteger(UINT64_MAX);
    out.real(0.1);
    out.real(-0.0);
    out.real(1e300);
    out.real(std::nan(""));
    out.real(-INFINITY);
    out.boolean(false);
    out.endArray();
  });
  EXPECT_EQ(result, "[\n  -9223372036854775808,\n  18446744073709551615,\n  0.1,\n  -0,\n  1e+300,\n  null,\n"
                    "  null,\n  false\n]\n");
}

TEST(JsonOutput, ReportsAnOutputThatCannotTakeTheDocument) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full here";
  JsonOutput out(full);
  out.string(std::string(1 << 16, 'x'));
  EXPECT_FALSE(out.finish());
  EXPECT_EQ(out.error(), ENOSPC);
  std::fclose(full);
}

}  // namespace
}  // namespace wendrel::json
