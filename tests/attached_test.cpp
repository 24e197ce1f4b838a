// What travels in an attachment's properties: messages attached to a message,
// as whole TNEF streams, decoded in place down to eight levels with a state of
// their own, their stand-in data records neither shown nor saved; and OLE
// objects, saved as the picture they hold or as the compound file.

#include <gtest/gtest.h>

#include <algorithm>

#include "compound_file_builder.h"
#include "process.h"
#include "wendrel/tnef.h"

namespace wendrel::test {
namespace {

constexpr std::uint32_t kRenddata = 0x00069002, kData = 0x0006800F, kTitle = 0x00018010;
constexpr std::uint32_t kAttachment = 0x00069005, kCodepage = 0x00069007;
const Bytes kStandIn = cString("This attachment is a MAPI 1.0 embedded message and is not supported by this mail system.");

std::string numbered(std::string_view text, int n) { return std::string(text) + std::to_string(n); }

// An attachment as mail clients write an attached message: it begins, a
// stand-in data record, then the properties that hold the message.
StreamBuilder& attach(StreamBuilder& stream, const std::vector<Bytes>& objects, std::optional<std::string_view> name) {
  return stream.record(kRenddata, Bytes(14, 0), 2).record(kData, kStandIn, 2)
      .record(kAttachment, objectProperties(objects, name), 2);
}

void patchDword(Bytes& bytes, std::size_t at, std::size_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Appends a message with one attached inside it, and so on, levels deep, to
// bytes in place (a thousand levels would otherwise be copied a thousand
// times): each length is written once what it counts is there.
void appendNested(Bytes& bytes, int levels, int level) {
  appendBytes(bytes, StreamBuilder().record(attSubject, cString(numbered("Level ", level))).bytes());
  if (level == levels) return;
  Bytes head = StreamBuilder().record(kRenddata, Bytes(14, 0), 2).record(kData, kStandIn, 2).bytes();
  bytes.insert(bytes.end(), head.begin() + 6, head.end());  // without its stream header
  bytes.push_back(2);
  appendDword(bytes, kAttachment);
  std::size_t recordLength = bytes.size();
  appendDword(bytes, 0);
  std::size_t list = bytes.size();
  appendBytes(bytes, MapiListBuilder().unicode(0x3707001F, numbered("m", level + 1)).bytesWithCount(2));
  for (std::uint32_t field : {0x3701000Du, 1u, 0u}) appendDword(bytes, field);
  std::size_t object = bytes.size();
  appendBytes(bytes, embeddedMessage({}));
  appendNested(bytes, levels, level + 1);
  patchDword(bytes, object - 4, bytes.size() - object);
  while ((bytes.size() - list) % 4 != 0) bytes.push_back(0);
  patchDword(bytes, recordLength, bytes.size() - list);
  appendWord(bytes, 0);  // the checksum, never checked
}

Bytes nested(int levels) {
  Bytes bytes;
  appendNested(bytes, levels, 0);
  return bytes;
}

// What decoding nested(levels) prints: eight levels below the file's own
// stream are decoded, a ninth is an attachment like any other.
std::string nestedOutput(int levels, int level = 0) {
  std::string out = std::string(kGoodHeader) + "Subject: " + numbered("Level ", level) + "\n";
  if (level == levels) return out;
  std::string name = numbered("m", level + 1);
  if (level == 8) return out + "TNEF Contains attached file " + name + "\n";
  return out + "Embedded message " + name + "\n" + nestedOutput(levels, level + 1) + "End of embedded message " +
         name + "\n";
}

std::size_t offsetOf(const Bytes& whole, const Bytes& part) {
  return static_cast<std::size_t>(std::search(whole.begin(), whole.end(), part.begin(), part.end()) - whole.begin());
}

TEST(AttachedMessages, DecodedInPlace) {
  Bytes task = StreamBuilder().record(attSubject, cString("Task")).bytes();
  Bytes meeting = StreamBuilder().record(attSubject, cString("Meeting")).bytes();
  Bytes badSignature = StreamBuilder(0x1234, 0x223E9F79).record(attSubject, cString("Lost")).bytes();
  Bytes cutShort = StreamBuilder().record(attSubject, cString("Cut")).recordClaiming(kTitle, 99, cString("x")).bytes();
  Bytes titled = StreamBuilder().record(kTitle, cString("inner.txt"), 2).record(kData, textBytes("in"), 2).bytes();
  Bytes inCp1252 = StreamBuilder().record(kCodepage, dwordBytes(1252)).record(attSubject, cString("\xCF")).bytes();

  StreamBuilder two;
  attach(two, {embeddedMessage(task), embeddedMessage(meeting)}, "both");
  StreamBuilder standInOnly;
  attach(standInOnly, {}, "plain.txt");
  StreamBuilder notAMessage;
  attach(notAMessage, {embeddedMessage(badSignature)}, "odd.msg");
  StreamBuilder truncated;
  attach(truncated, {embeddedMessage(cutShort)}, "cut.msg");
  StreamBuilder restored;
  attach(restored, {embeddedMessage(titled)}, std::nullopt).record(kRenddata, Bytes(14, 0), 2)
      .record(kData, textBytes("out"), 2);
  StreamBuilder codePages;
  codePages.record(kCodepage, dwordBytes(1251));
  attach(codePages, {embeddedMessage(inCp1252)}, "cp.msg").record(attSubject, cString("\xCF"));

  struct Case {
    std::string name;
    Bytes stream;
    std::string out;
    std::string err;
  } cases[] = {
      {"one level", nested(1), nestedOutput(1), ""},
      {"two levels", nested(2), nestedOutput(2), ""},
      {"eight levels", nested(8), nestedOutput(8), ""},
      {"nine levels", nested(9), nestedOutput(9), "Embedded message m9 nested too deeply to decode\n"},
      {"two in one list", two.bytes(),
       kGoodHeader + std::string("Embedded message both\n") + kGoodHeader + "Subject: Task\nEnd of embedded message both\n" +
           "Embedded message both\n" + kGoodHeader + "Subject: Meeting\nEnd of embedded message both\n",
       ""},
      {"a stand-in with no message", standInOnly.bytes(),
       kGoodHeader + std::string("TNEF Contains attached file plain.txt\n"), ""},
      {"a message with a bad signature", notAMessage.bytes(),
       kGoodHeader + std::string("TNEF Contains attached file odd.msg\n"), ""},
      {"a message cut short", truncated.bytes(),
       kGoodHeader + std::string("Embedded message cut.msg\n") + kGoodHeader + "Subject: Cut\nEnd of embedded message cut.msg\n",
       "Truncated attribute record at offset " +
           std::to_string(offsetOf(truncated.bytes(), cutShort) + cutShort.size() - 9 - 2) + "\n"},
      // The inner title names nothing outside; no name in the list: the outer one's.
      {"state restored", restored.bytes(),
       kGoodHeader + std::string("Embedded message default.dat\n") + kGoodHeader +
           "Attachment Title: inner.txt\nTNEF Contains attached file inner.txt\nEnd of embedded message default.dat\n"
           "TNEF Contains attached file default.dat\n",
       ""},
      {"code pages restored", codePages.bytes(),
       kGoodHeader + std::string("Embedded message cp.msg\n") + kGoodHeader + "Subject: Ï\nEnd of embedded message cp.msg\n" +
           "Subject: П\n",
       ""},
  };
  for (const Case& c : cases) {
    RunResult result = decode(c.stream);
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
    EXPECT_EQ(result.status, 0) << c.name;
  }
}

TEST(AttachedMessages, AThousandDeepDecodesEightLevels) {
  RunResult result = decode(nested(1000));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, nestedOutput(9));
  EXPECT_EQ(result.err, "Embedded message m9 nested too deeply to decode\n");
}

// Saved files share the run's names and numbers, whatever stream they come from.
TEST(AttachedMessages, SavesShareTheRunsNames) {
  Bytes inner = StreamBuilder().record(attBody, cString("inner")).record(kTitle, cString("a.txt"), 2)
                    .record(kData, textBytes("inner data"), 2).bytes();
  StreamBuilder outer;
  outer.record(attBody, cString("outer")).record(kTitle, cString("a.txt"), 2).record(kData, textBytes("outer data"), 2);
  attach(outer, {embeddedMessage(inner)}, "inner.msg");
  RunResult result = decode(outer.bytes(), {"-s"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string(kGoodHeader) +
                            "Attribute attBody: outer\nSaving text body to tnef_0_6.txt\nAttachment Title: a.txt\n"
                            "Attachment saved to file a.txt\nEmbedded message inner.msg\n" +
                            kGoodHeader +
                            "Attribute attBody: inner\nSaving text body to tnef_1_6.txt\nAttachment Title: a.txt\n"
                            "Attachment saved to file a-1.txt\nEnd of embedded message inner.msg\n");
}

// A picture's first bytes, then filler.
Bytes picture(std::string_view head, std::size_t size = 6000) {
  Bytes bytes = textBytes(head);
  for (std::size_t i = bytes.size(); i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 13));
  return bytes;
}

Bytes oleWithContents(const Bytes& contents) {
  return buildCompoundFile({{"\x01Ole", Bytes(20, 1)}, {"CONTENTS", contents}}).bytes;
}

TEST(OleObjects, SavedAsThePictureTheyHold) {
  Bytes emf(44, 0);
  emf[0] = 1;
  std::copy_n(" EMF", 4, emf.begin() + 40);
  struct Object {
    std::optional<std::string> name;  // the long name; nothing: the title's
    Bytes object;
    std::string saved;
    Bytes contents;
  };
  Bytes noContents = buildCompoundFile({{"\x01Ole", Bytes(20, 1)}, {"Package", picture("PK")}}).bytes;
  Bytes damaged = oleWithContents(picture("BM"));
  damaged[30] = 7;  // no such sector size
  std::string longName = std::string(250, 'x') + "\xC3\xA9";  // 252 bytes, a two-byte character last
  const std::vector<Object> objects{
      {std::nullopt, oleWithContents(picture("BM")), "Untitled Attachment.bmp", picture("BM")},
      {std::nullopt, oleWithContents(picture("\x89PNG\r\n\x1A\n")), "Untitled Attachment.png",
       picture("\x89PNG\r\n\x1A\n")},
      {std::nullopt, oleWithContents(picture("\xFF\xD8\xFF", 500)), "Untitled Attachment.jpg",
       picture("\xFF\xD8\xFF", 500)},
      {std::nullopt, oleWithContents(picture("GIF87a")), "Untitled Attachment.gif", picture("GIF87a")},
      {std::nullopt, oleWithContents(picture("GIF89a")), "Untitled Attachment-1.gif", picture("GIF89a")},
      {std::nullopt, oleWithContents(picture("\xD7\xCD\xC6\x9A")), "Untitled Attachment.wmf",
       picture("\xD7\xCD\xC6\x9A")},
      {std::nullopt, oleWithContents(emf), "Untitled Attachment.emf", emf},
      {std::nullopt, oleWithContents(picture("??")), "Untitled Attachment", picture("??")},
      {"photo.bin", oleWithContents(picture("BM")), "photo.bin", picture("BM")},
      {longName, oleWithContents(picture("BM")), std::string(250, 'x') + ".bmp", picture("BM")},
      {"doc", noContents, "doc", noContents},
      {"broken", damaged, "broken", damaged},
  };
  StreamBuilder stream;
  stream.record(kTitle, cString("Untitled Attachment"), 2);
  for (const Object& o : objects) {
    stream.record(kRenddata, Bytes(14, 0), 2).record(kAttachment, objectProperties({oleObject(o.object)}, o.name), 2);
  }
  // An object after a data record of its own is that record's, not saved again.
  stream.record(kRenddata, Bytes(14, 0), 2).record(kData, textBytes("own data"), 2)
      .record(kAttachment, objectProperties({oleObject(oleWithContents(picture("BM")))}, "own.dat"), 2);

  SaveResult result = decodeAndSave(stream.bytes());
  EXPECT_EQ(result.run.status, 0);
  EXPECT_EQ(result.run.err, "Damaged OLE object saved as it stands to broken\n");
  std::string expectedOut = std::string(kGoodHeader) + "Attachment Title: Untitled Attachment\n";
  std::vector<std::pair<std::string, std::string>> expectedFiles{{"own.dat", "own data"}};
  for (const Object& o : objects) {
    expectedOut += "Attachment saved to file " + o.saved + "\n";
    expectedFiles.emplace_back(o.saved, std::string(o.contents.begin(), o.contents.end()));
  }
  expectedOut += "Attachment saved to file own.dat\n";
  std::sort(expectedFiles.begin(), expectedFiles.end());
  EXPECT_EQ(result.run.out, expectedOut);
  EXPECT_TRUE(result.files == expectedFiles);

  // Without -s an object is announced, not read.
  EXPECT_EQ(decode(StreamBuilder().record(kAttachment, objectProperties({oleObject(damaged)}, "pic"), 2).bytes()).out,
            std::string(kGoodHeader) + "TNEF Contains attached file pic\n");
}

// The extension goes on the name left after the last '/' or '\', cut only
// when the two pass 255 bytes; a name that leaves nothing fails like any save.
TEST(OleObjects, PictureNamesTakeTheExtensionAfterTheSplit) {
  const std::string longTitle = std::string(255 - 15, 'd') + "/tail-of-a-long";
  struct Case {
    std::string name, saved;  // saved empty: the save fails
  } cases[] = {
      {longTitle, "tail-of-a-long.bmp"},
      {"dir\\pic", "pic.bmp"},
      {"a.dir/pic", "pic.bmp"},
      {"dir/" + std::string(251, 'p'), std::string(251, 'p') + ".bmp"},
      {"dir/" + std::string(253, 'p'), std::string(251, 'p') + ".bmp"},
      {"dir/", ""}, {".", ""}, {"..", ""}, {"a/..", ""}, {"a\\.", ""},
  };
  for (const Case& c : cases) {
    StreamBuilder stream;
    stream.record(kRenddata, Bytes(14, 0), 2)
        .record(kAttachment, objectProperties({oleObject(oleWithContents(picture("BM")))}, c.name), 2);
    SaveResult result = decodeAndSave(stream.bytes());
    if (c.saved.empty()) {
      std::string own = c.name.substr(std::min(c.name.size(), c.name.find_last_of("/\\") + 1));
      EXPECT_EQ(result.run.err, "Error openning file " + own + " for writing\n") << c.name;
      EXPECT_EQ(result.run.out, std::string(kGoodHeader) + "Failure saving attachment to file " + c.name + "\n");
      EXPECT_EQ(result.run.status, 255) << c.name;
      EXPECT_TRUE(result.files.empty()) << c.name;
      continue;
    }
    EXPECT_EQ(result.run.out, std::string(kGoodHeader) + "Attachment saved to file " + c.saved + "\n") << c.name;
    EXPECT_EQ(result.run.status, 0) << c.name;
    ASSERT_EQ(result.files.size(), 1u) << c.name;
    EXPECT_EQ(result.files[0].first, c.saved);
  }
}

}  // namespace
}  // namespace wendrel::test
