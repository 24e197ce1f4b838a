// What each attribute prints, the generic printer, attachment names and saving.

#include <gtest/gtest.h>

#include "process.h"

namespace wendrel::test {
namespace {

struct Row {
  std::uint32_t id;
  Bytes value;
  std::string line;  // what follows the two header lines
};

void expectRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    RunResult result = decode(StreamBuilder().record(row.id, row.value).bytes());
    EXPECT_EQ(result.out, kGoodHeader + row.line) << std::hex << row.id;
    EXPECT_EQ(result.err, "") << std::hex << row.id;
    EXPECT_EQ(result.status, 0);
  }
}

TEST(Dispatch, TextRows) {
  expectRows({
      {0x00018004, cString("Lunch?"), "Subject: Lunch?\n"},
      {0x00018009, cString("0123ABC"), "Message Id: 0123ABC\n"},
      {0x0001800A, cString("parent"), "Parent Id: parent\n"},
      {0x0001800B, cString("conv"), "Conversation Id: conv\n"},
      {0x0002800C, cString("Hello,\r\nworld"), "Attribute attBody: Hello,\r\nworld\n"},
      {0x00070006, cString("IPM.Note"), "Original Message Class: IPM.Note\n"},
      {0x00078008, cString("IPM.Microsoft Mail.Note"), "Message Class: IPM.Microsoft Mail.Note\n"},
      {0x0002800C, Bytes(1000, 'b'), "Attribute attBody: " + std::string(255, 'b') + "\n"},
      {0x00018004, {'a', 0, 'b'}, "Subject: a\n"},
      {0x00018004, {}, "Subject: \n"},
  });
}

TEST(Dispatch, DateRows) {
  Bytes date = dateBytes(2003, 3, 4, 10, 11, 12, 2);
  expectRows({
      {0x00030006, date, "Start Date: Tuesday, 3/4/2003 \n"},
      {0x00030007, date, "End Date: Tuesday, 3/4/2003 \n"},
      {0x00038005, date, "Date Sent: Tuesday, 3/4/2003 \n"},
      {0x00038006, date, "Date Recieved: Tuesday, 3/4/2003 \n"},
      {0x00038012, date, "Attachment Date Created: Tuesday, 3/4/2003 \n"},
      {0x00038013, date, "Attachment Date Modified: Tuesday, 3/4/2003 \n"},
      {0x00038020, date, "Date Modified: Tuesday, 3/4/2003 \n"},
      {0x00038005, dateBytes(1998, 3, 14, 0, 0, 0, 9), "Date Sent: Unknown, 3/14/1998 \n"},
      // Short values: the missing fields are zero, nothing after the value is read.
      {0x00038005, {0xD3, 0x07, 0x03, 0x00, 0x04, 0x00}, "Date Sent: Sunday, 3/4/2003 \n"},
      {0x00038005, {}, "Date Sent: Sunday, 0/0/0 \n"},
  });
}

TEST(Dispatch, NumberRows) {
  expectRows({
      {0x0004800D, wordBytes(1), "Priority: 1 (High)\n"},
      {0x0004800D, wordBytes(2), "Priority: 2 (Normal)\n"},
      {0x0004800D, wordBytes(3), "Priority: 3 (Low)\n"},
      {0x0004800D, wordBytes(0), "Priority: 0 \n"},
      {0x0004800D, wordBytes(65535), "Priority: 65535 \n"},
      {0x0004800D, {0x02}, "Priority: 2 (Normal)\n"},
      {0x0004800D, {}, "Priority: 0 \n"},
      {0x00068007, {0x21}, "Message Status: Modified Read \n"},
      {0x00068007, {0xFF, 0x00}, "Message Status: Modified Local Submitted Read HasAttach \n"},
      {0x00068007, {0x58}, "Message Status: \n"},
      {0x00068007, {}, "Message Status: \n"},
      {0x00089006, dwordBytes(0x00010000), "TNEF Version: 1.0\n"},
      {0x00089006, dwordBytes(0xFFFFFFFF), "TNEF Version: 65535.65535\n"},
      {0x00089006, {0x02, 0x00, 0x01}, "TNEF Version: 1.2\n"},
  });
}

TEST(Dispatch, SilentRows) {
  std::vector<Row> rows;
  for (std::uint32_t id : {0x00000000u, 0x00008000u, 0x00040009u, 0x00050008u, 0x00060000u, 0x00060001u,
                           0x00060002u, 0x00068011u, 0x00069001u, 0x00069002u, 0x00069004u, 0x00069005u,
                           0x00069007u, 0x00069006u, 0x00050001u, 0x00000001u, 0x00040001u, 0x00070001u,
                           0x00080001u}) {
    rows.push_back({id, cString("ignored"), ""});
  }
  expectRows(rows);
}

TEST(GenericPrinter, ByTypeCode) {
  expectRows({
      {0x00018005, cString("text"), "Attribute Unknown: text\n"},
      {0x00028004, cString("Body?"), "Attribute Unknown: Body?\n"},
      {0x00038007, dateBytes(1998, 3, 14, 0, 0, 0, 6), "Attribute Unknown: Saturday, 3/14/1998 \n"},
      {0x000A0001, cString("x"), "Attribute Unknown: Unknown type\n"},
      {0x80000000, {}, "Attribute Unknown: Unknown type\n"},
      {0xFFFFFFFF, {}, "Attribute Unknown: Unknown type\n"},
  });
}

// Runs a stream in a directory that sits inside another one, so that anything
// written outside the working directory shows up in the outer one.
class Saving : public ::testing::Test {
 protected:
  void SetUp() override {
    inner_ = outer_ / "work";
    std::filesystem::create_directory(inner_);
    writeFile(outer_ / "x", textBytes("outer file"));
    before_ = snapshot(outer_.path());
    std::erase_if(before_, [](const auto& file) { return file.first == "work"; });
  }

  RunResult run(const Bytes& stream, std::vector<std::string> arguments) {
    writeFile(streams_ / "stream.tnef", stream);
    arguments.push_back((streams_ / "stream.tnef").string());
    RunOptions options;
    options.workingDirectory = inner_;
    return runWendrel(arguments, options);
  }

  // Files now in the working directory, by name and contents.
  std::vector<std::pair<std::string, std::string>> saved() { return snapshot(inner_); }

  void expectNothingOutside() {
    auto outside = [this] {
      auto files = snapshot(outer_.path());
      std::erase_if(files, [](const auto& file) { return file.first.rfind("work", 0) == 0; });
      return files;
    };
    EXPECT_EQ(outside(), before_);
  }

  TempDir streams_;
  TempDir outer_;
  std::filesystem::path inner_;
  std::vector<std::pair<std::string, std::string>> before_;
};

constexpr std::uint32_t kTitle = 0x00018010, kData = 0x0006800F;

TEST_F(Saving, AnnouncedButNotWrittenWithoutSave) {
  Bytes stream = StreamBuilder().record(kData, textBytes("one")).record(kTitle, cString("a.txt"), 2)
                     .record(kData, textBytes("two"), 2).bytes();
  RunResult result = run(stream, {});
  EXPECT_EQ(result.out, std::string(kGoodHeader) +
                            "TNEF Contains attached file default.dat\nAttachment Title: a.txt\n"
                            "TNEF Contains attached file a.txt\n");
  EXPECT_TRUE(saved().empty());
}

TEST_F(Saving, DataGoesUnderTheLatestEarlierTitle) {
  Bytes stream = StreamBuilder()
                     .record(kData, textBytes("first"))
                     .record(kTitle, cString("a.txt"))
                     .record(kData, textBytes("second"))
                     .record(kData, textBytes("third"))
                     .record(kTitle, cString("empty.bin"), 1)
                     .record(kData, {})
                     .bytes();
  RunResult result = run(stream, {"-s"});
  EXPECT_EQ(result.out, std::string(kGoodHeader) +
                            "Attachment saved to file default.dat\nAttachment Title: a.txt\n"
                            "Attachment saved to file a.txt\nAttachment saved to file a.txt\n"
                            "Attachment Title: empty.bin\nAttachment saved to file empty.bin\n");
  EXPECT_EQ(result.err, "");
  std::vector<std::pair<std::string, std::string>> expected{
      {"a.txt", "third"}, {"default.dat", "first"}, {"empty.bin", ""}};
  EXPECT_EQ(saved(), expected);
}

TEST_F(Saving, LongTitlesAreCutTo255Bytes) {
  std::string name(255, 'n');
  Bytes stream = StreamBuilder().record(kTitle, Bytes(300, 'n')).record(kData, textBytes("long")).bytes();
  RunResult result = run(stream, {"-s"});
  EXPECT_EQ(result.out, kGoodHeader + ("Attachment Title: " + name + "\nAttachment saved to file " + name + "\n"));
  std::vector<std::pair<std::string, std::string>> expected{{name, "long"}};
  EXPECT_EQ(saved(), expected);
}

TEST_F(Saving, NamesNeverLeaveTheWorkingDirectory) {
  struct Case {
    std::string title, written;
  } cases[] = {
      {"../x", "x"},       {"../../x", "x"},  {"/tmp/x", "x"},        {"a/../../x", "x"},
      {"..\\x", "x"},      {"C:\\x", "x"},    {"C:\\Temp\\r.doc", "r.doc"}, {"/", ""},
      {".", "."},          {"..", ".."},      {"", ""},               {"dir/..", ".."},
      {"a\\.", "."},
  };
  for (const Case& c : cases) {
    for (const auto& [name, contents] : saved()) std::filesystem::remove(inner_ / name);
    Bytes stream = StreamBuilder().record(kTitle, cString(c.title)).record(kData, textBytes("payload")).bytes();
    RunResult result = run(stream, {"-s"});
    std::string titleLine = "Attachment Title: " + c.title + "\n";
    if (c.written.empty() || c.written == "." || c.written == "..") {
      EXPECT_EQ(result.out, kGoodHeader + titleLine + "Failure saving attachment to file " + c.title + "\n");
      EXPECT_EQ(result.err, "Error openning file " + c.written + " for writing\n");
      EXPECT_TRUE(saved().empty()) << c.title;
    } else {
      EXPECT_EQ(result.out, kGoodHeader + titleLine + "Attachment saved to file " + c.written + "\n");
      EXPECT_EQ(result.err, "");
      std::vector<std::pair<std::string, std::string>> expected{{c.written, "payload"}};
      EXPECT_EQ(saved(), expected) << c.title;
    }
    EXPECT_EQ(result.status, 0);
    expectNothingOutside();
  }
}

TEST_F(Saving, LargeAttachmentsAreWrittenExactly) {
  // Large data has its space reserved first; the file must still hold exactly
  // the data, also when it replaces a larger file of the same name.
  std::size_t sizes[] = {(std::size_t{1} << 20) - 1, std::size_t{1} << 20, (std::size_t{3} << 20) + 7};
  writeFile(inner_ / "big.bin", Bytes((std::size_t{4} << 20), 'o'));
  for (std::size_t size : sizes) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
    RunResult result = run(StreamBuilder().record(kTitle, cString("big.bin")).record(kData, data).bytes(), {"-s"});
    EXPECT_EQ(result.out, std::string(kGoodHeader) + "Attachment Title: big.bin\nAttachment saved to file big.bin\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(std::filesystem::file_size(inner_ / "big.bin"), size);
    EXPECT_EQ(readFile(inner_ / "big.bin"), std::string(data.begin(), data.end())) << size;
  }
}

TEST_F(Saving, UnopenableFileIsReportedAndDecodingGoesOn) {
  std::filesystem::create_directory(inner_ / "taken");
  Bytes stream = StreamBuilder()
                     .record(kTitle, cString("taken"))
                     .record(kData, textBytes("lost"))
                     .record(0x00018004, cString("after"))
                     .bytes();
  RunResult result = run(stream, {"-s"});
  EXPECT_EQ(result.out, std::string(kGoodHeader) +
                            "Attachment Title: taken\nFailure saving attachment to file taken\nSubject: after\n");
  EXPECT_EQ(result.err, "Error openning file taken for writing\n");
  EXPECT_EQ(result.status, 0);
}

TEST_F(Saving, WriteFailuresAreFailures) {
  if (std::string why = linkToDevFull(inner_ / "full.bin"); !why.empty()) GTEST_SKIP() << why;
  struct Case {
    std::size_t size;
    std::string call;  // small data fails when the file is closed, large data when written
  } cases[] = {{10, "fclose"}, {1 << 20, "fwrite"}};
  for (const Case& c : cases) {
    Bytes stream = StreamBuilder().record(kTitle, cString("full.bin")).record(kData, Bytes(c.size, 'f')).bytes();
    RunResult result = run(stream, {"-s"});
    EXPECT_EQ(result.out,
              std::string(kGoodHeader) + "Attachment Title: full.bin\nFailure saving attachment to file full.bin\n");
    EXPECT_EQ(result.err, "Error writing file full.bin\n" + c.call + ": No space left on device\n");
    EXPECT_EQ(result.status, 0);
  }
}

}  // namespace
}  // namespace wendrel::test
