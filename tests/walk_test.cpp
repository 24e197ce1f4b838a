// The stream walk end to end: header verdict, record framing, the verbose
// header block, and streams that end early or lie about their lengths.

#include <gtest/gtest.h>

#include "wendrel/decoder.h"
#include "process.h"

namespace wendrel::test {
namespace {

constexpr std::uint32_t kSubject = 0x00018004;

std::string subjectHeader(const std::string& component, std::uint32_t size, const std::string& checksum) {
  return "Attribute: attSubject, (00018004)\n\tComponent:\t" + component + "\n\tType:\t\tatpString\n\tSize:\t\t" +
         std::to_string(size) + "\n\tChecksum:\t" + checksum + "\n";
}

TEST(StreamHeader, SignatureVerdictAndAttachKey) {
  struct Case {
    Bytes bytes;
    std::string out;
  } cases[] = {
      {{0x78, 0x9F, 0x3E, 0x22, 0x01, 0x00}, "Good TNEF Signature\nTNEF Attach Key: 1\n"},
      {{0x78, 0x9F, 0x3E, 0x22, 0xFF, 0xFF}, "Good TNEF Signature\nTNEF Attach Key: ffff\n"},
      {{0x78, 0x9F, 0x3E, 0x22, 0x00, 0x00}, "Good TNEF Signature\nTNEF Attach Key: 0\n"},
      {{0, 0, 0, 0, 0x34, 0x12}, "Bad TNEF Signature, Expecting: 223e9f78  Got: 0\nTNEF Attach Key: 1234\n"},
      {{0x22, 0x3E, 0x9F, 0x78, 0x0A, 0x00},
       "Bad TNEF Signature, Expecting: 223e9f78  Got: 789f3e22\nTNEF Attach Key: a\n"},
  };
  for (const Case& c : cases) {
    RunResult result = decode(c.bytes);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

TEST(StreamHeader, BadSignatureStillWalksEveryRecord) {
  StreamBuilder stream(0x1234, 0xDEADBEEF);
  stream.record(kSubject, cString("one")).record(kSubject, cString("two"));
  RunResult result = decode(stream.bytes());
  EXPECT_EQ(result.out,
            "Bad TNEF Signature, Expecting: 223e9f78  Got: deadbeef\nTNEF Attach Key: 1234\n"
            "Subject: one\nSubject: two\n");
  EXPECT_EQ(result.status, 0);
}

TEST(StreamHeader, StreamsShorterThanTheHeader) {
  Bytes header = StreamBuilder().bytes();
  for (std::size_t size = 1; size < 6; ++size) {
    Bytes bytes(header.begin(), header.begin() + static_cast<long>(size));
    RunResult result = decode(bytes);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Stream too short for a TNEF header: " + std::to_string(size) + " bytes\n");
    EXPECT_EQ(result.status, 0);
  }
  RunResult dumped = decode({0x78, 0x9F, 0x3E}, {"-d"});
  EXPECT_EQ(dumped.out, "\n 789f3e\n");
  EXPECT_EQ(dumped.err, "Stream too short for a TNEF header: 3 bytes\n");
}

TEST(Walk, TheWorkedExampleRecord) {
  StreamBuilder stream;
  stream.raw({0x01, 0x04, 0x80, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 'H', 'e', 'l', 'l', 'o', 0xF4, 0x01});
  RunResult result = decode(stream.bytes(), {"-v"});
  EXPECT_EQ(result.out, std::string(kGoodHeader) + subjectHeader("Message", 5, "01f4") + "Subject: Hello\n");
}

TEST(Walk, RecordsBackToBackIncludingEmptyValues) {
  StreamBuilder stream;
  stream.record(kSubject, {}).record(kSubject, textBytes("x")).record(kSubject, {});
  RunResult result = decode(stream.bytes());
  EXPECT_EQ(result.out, std::string(kGoodHeader) + "Subject: \nSubject: x\nSubject: \n");
  EXPECT_EQ(result.err, "");
}

TEST(Walk, VerboseComponentByLevelAndChecksumAsStored) {
  struct Case {
    std::uint8_t level;
    std::string component;
  } cases[] = {{1, "Message"}, {0, "Attachment"}, {2, "Attachment"}, {255, "Attachment"}};
  for (const Case& c : cases) {
    StreamBuilder stream;
    stream.recordWithChecksum(kSubject, cString("Hi"), 0xBEEF, c.level);
    RunResult result = decode(stream.bytes(), {"-v"});
    EXPECT_EQ(result.out, std::string(kGoodHeader) + subjectHeader(c.component, 3, "beef") + "Subject: Hi\n");
  }
}

TEST(Walk, VerboseNamesAndTypesOfUnlistedIds) {
  struct Case {
    std::uint32_t id;
    std::string out;
  } cases[] = {
      {0x00090000,
       "Attribute: Unknown, (00090000)\n\tComponent:\tMessage\n\tType:\t\tunknown\n\tSize:\t\t0\n"
       "\tChecksum:\t0000\nAttribute Unknown: Unknown type\n"},
      {0x0008FFFF,
       "Attribute: Unknown, (0008ffff)\n\tComponent:\tMessage\n\tType:\t\tatpDword\n\tSize:\t\t0\n"
       "\tChecksum:\t0000\n"},
      {0x00050001,
       "Attribute: Unknown, (00050001)\n\tComponent:\tMessage\n\tType:\t\tatpLong\n\tSize:\t\t0\n"
       "\tChecksum:\t0000\n"},
  };
  for (const Case& c : cases) {
    RunResult result = decode(StreamBuilder().record(c.id, {}).bytes(), {"-v"});
    EXPECT_EQ(result.out, kGoodHeader + c.out);
  }
}

TEST(Walk, RecordsThatDoNotFitEndTheWalk) {
  Bytes whole = StreamBuilder().record(kSubject, cString("first")).bytes();  // 6 + 17 bytes
  struct Case {
    std::string name;
    Bytes tail;
  } cases[] = {
      {"one byte of a record", {0x01}},
      {"ten bytes of framing", {0x01, 0x04, 0x80, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {"checksum missing a byte", {0x01, 0x04, 0x80, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 'x', 0x78}},
      {"length one past the end", {0x01, 0x04, 0x80, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 'x', 0x78, 0x00}},
      {"length 2^31 - 11", {0x01, 0x04, 0x80, 0x01, 0x00, 0xF5, 0xFF, 0xFF, 0x7F, 'x', 0, 0}},
      {"length 2^31", {0x01, 0x04, 0x80, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 'x', 0, 0}},
      {"length 2^32 - 11", {0x01, 0x04, 0x80, 0x01, 0x00, 0xF5, 0xFF, 0xFF, 0xFF, 'x', 0, 0}},
      {"length 2^32 - 1", {0x01, 0x04, 0x80, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 'x', 0, 0}},
  };
  for (const Case& c : cases) {
    for (const std::vector<std::string>& flags : {std::vector<std::string>{}, {"-v"}}) {
      Bytes bytes = whole;
      appendBytes(bytes, c.tail);
      RunResult result = decode(bytes, flags);
      std::string first = flags.empty() ? "" : subjectHeader("Message", 6, "0228");
      EXPECT_EQ(result.out, kGoodHeader + first + "Subject: first\n") << c.name;
      EXPECT_EQ(result.err, "Truncated attribute record at offset 23\n") << c.name;
      EXPECT_EQ(result.status, 0);
    }
  }
}

TEST(Walk, RecordEndingExactlyAtTheEndIsWhole) {
  Bytes bytes = StreamBuilder().record(kSubject, cString("a")).record(kSubject, cString("b")).bytes();
  RunResult result = decode(bytes);
  EXPECT_EQ(result.out, std::string(kGoodHeader) + "Subject: a\nSubject: b\n");
  EXPECT_EQ(result.err, "");
}

TEST(Walk, StandardOutputThatCannotBeWritten) {
  if (std::string why = devFullUnavailable(); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  Bytes bytes = StreamBuilder().record(kSubject, cString("lost")).bytes();
  writeFile(dir / "stream.tnef", bytes);
  RunOptions options;
  options.workingDirectory = dir.path();
  options.stdoutPath = "/dev/full";
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"stream.tnef"}, {"-d", "-v", "stream.tnef"}}) {
    RunResult result = runWendrel(arguments, options);
    EXPECT_EQ(result.err, "Error writing to standard output\nfflush: No space left on device\n");
    EXPECT_EQ(result.status, 255);
  }
}

}  // namespace
}  // namespace wendrel::test
