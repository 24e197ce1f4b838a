// What each attribute prints, the generic printer, attachment names and saving.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "process.h"
#include "wendrel/tnef.h"

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

  void clearWorkingDirectory() {
    for (const auto& [name, contents] : saved()) std::filesystem::remove(inner_ / name);
  }

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

constexpr std::uint32_t kRenddata = 0x00069002, kAttachment = 0x00069005, kMapiProps = 0x00069003;
const Bytes kRtfBody{1, 2, 3, 4, 5};

// What the n-th D of a line holds. (Built by insert: g++ 12 warns wrongly
// about "#" + std::string.)
std::string dataText(int n) {
  std::string text = std::to_string(n);
  text.insert(0, 1, '#');
  return text;
}

// A stream from a line of records:
//   R      attAttachRenddata (an attachment begins)
//   D      attAttachData holding "#<n>" for the n-th D of the line
//   T(x)   attAttachTitle x
//   A(x)   attAttachment whose properties hold the Unicode long name x (A() an
//          empty one)
//   S(x)   the same with an 8-bit long name
//   A      attAttachment without a long name
//   M      attMAPIProps with a 5-byte compressed-RTF body (a damaged one)
//   X(x)   a title x whose record claims more bytes than the stream has left
//          (last on the line)
Bytes streamOf(const std::vector<std::string>& records) {
  StreamBuilder stream;
  int data = 0;
  for (const std::string& record : records) {
    std::string text = record.size() > 2 ? record.substr(2, record.size() - 3) : "";
    std::optional<std::string_view> longName;
    if (record.size() > 1) longName = text;
    switch (record[0]) {
      case 'R': stream.record(kRenddata, Bytes(14, 0), 2); break;
      case 'D': stream.record(kData, textBytes(dataText(++data)), 2); break;
      case 'T': stream.record(kTitle, cString(text), 2); break;
      case 'A': stream.record(kAttachment, attachmentProperties(longName), 2); break;
      case 'S': stream.record(kAttachment, attachmentProperties(longName, false), 2); break;
      case 'M': stream.record(kMapiProps, MapiListBuilder().counted(0x10090102, kRtfBody).bytes()); break;
      case 'X': stream.recordClaiming(kTitle, 1000, cString(text)); break;
    }
  }
  return stream.bytes();
}

// The files a run reports as saved, in order, with what each must hold.
std::vector<std::pair<std::string, std::string>> reportedFiles(const std::string& out) {
  std::vector<std::pair<std::string, std::string>> files;
  const std::string attachment = "Attachment saved to file ", rtf = "\tSaving Compressed RTF to ";
  std::istringstream lines(out);
  int data = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(attachment)) files.emplace_back(line.substr(attachment.size()), dataText(++data));
    if (line.starts_with(rtf)) files.emplace_back(line.substr(rtf.size()), std::string(kRtfBody.begin(), kRtfBody.end()));
  }
  return files;
}

struct NamingCase {
  std::vector<std::string> records;
  std::vector<std::string> files;  // where each D (and M) lands, in order
};

class Naming : public Saving {
 protected:
  // Each case saves every D and M in order under the names given, each file
  // holding its own bytes; a second run over the files of the first gives the
  // same files again.
  void expectCases(const std::vector<NamingCase>& cases) {
    for (const NamingCase& c : cases) {
      std::string line = ::testing::PrintToString(c.records);
      clearWorkingDirectory();
      Bytes stream = streamOf(c.records);
      RunResult result = run(stream, {"-s"});
      auto files = reportedFiles(result.out);
      std::vector<std::string> names;
      for (const auto& file : files) names.push_back(file.first);
      EXPECT_EQ(names, c.files) << line;
      for (const auto& [name, contents] : files) EXPECT_EQ(readFile(inner_ / name), contents) << line << name;
      EXPECT_EQ(saved().size(), files.size()) << line;
      // A 5-byte body is too short to be compressed RTF, so each is saved as
      // it stands, after a line that says so.
      std::string err;
      std::istringstream lines(result.out);
      for (std::string text; std::getline(lines, text);) {
        if (text.starts_with("\tSaving")) err += "Damaged compressed RTF saved as it stands to " + text.substr(26) + "\n";
      }
      if (c.records.back()[0] == 'X') {
        std::size_t record = 9 + c.records.back().size() - 3 + 1;  // framing, title and NUL; no checksum
        err += "Truncated attribute record at offset " + std::to_string(stream.size() - record) + "\n";
      }
      EXPECT_EQ(result.err, err) << line;
      EXPECT_EQ(result.status, 0) << line;

      auto first = saved();
      RunResult again = run(stream, {"-s"});
      EXPECT_EQ(again.out, result.out) << line;
      EXPECT_EQ(saved(), first) << line;
    }
  }
};

TEST_F(Naming, EachAttachmentGoesByItsOwnName) {
  expectCases({
      {{"R", "D", "T(a)", "R", "D", "T(b)"}, {"a", "b"}},
      {{"R", "T(a)", "D", "R", "T(b)", "D"}, {"a", "b"}},
      {{"T(a)", "D", "T(b)", "D"}, {"a", "b"}},
      {{"R", "T(HASSEL~1.JPG)", "D", "A(hasselhoff_birthday.jpg)"}, {"hasselhoff_birthday.jpg"}},
      {{"R", "D", "T(QUICK~1.HTM)", "A(quick.html)"}, {"quick.html"}},
      {{"R", "T(a)", "D", "A"}, {"a"}},
      {{"D", "D", "T(t)"}, {"default.dat", "t"}},
      {{"R", "T(a)", "D", "R", "D", "R", "T(c)", "D"}, {"a", "a-1", "c"}},
      // The long name wins wherever it stands, but only the first list counts.
      {{"R", "D", "A(long.txt)", "T(LONG~1.TXT)"}, {"long.txt"}},
      {{"R", "D", "S(eight-bit.txt)", "T(EIGHT-~1.TXT)"}, {"eight-bit.txt"}},
      {{"R", "D", "A", "A(second.txt)", "T(t)"}, {"t"}},
      {{"R", "D", "A()", "T(t)"}, {"t"}},
      {{"R", "D", "A(Grüße 文件 😀.txt)"}, {"Grüße 文件 😀.txt"}},
      {{"R", "D", "A(C:\\Temp\\report.pdf)"}, {"report.pdf"}},
      {{"R", "D", "S(" + std::string(300, 'l') + ")"}, {std::string(255, 'l')}},
      {{"R", "D", "A(" + std::string(254, 'u') + "é)"}, {std::string(254, 'u')}},
      // The first title of its own; none when one came since the latest R.
      {{"R", "D", "T(a)", "T(b)"}, {"a"}},
      {{"T(a)", "R", "D", "T(b)"}, {"b"}},
      {{"R", "T(a)", "D", "T(b)"}, {"a"}},
      // The look-ahead stops at the next attachment, the next data and the
      // first record that does not fit.
      {{"R", "D", "R", "T(t)", "A(x)"}, {"default.dat"}},
      {{"R", "D", "D", "A(x)", "T(t)"}, {"default.dat", "x"}},
      {{"R", "D", "X(t)"}, {"default.dat"}},
  });
}

TEST_F(Naming, NoFileIsWrittenTwice) {
  std::string ext250 = "." + std::string(249, 'e');  // leaves room for 3 bytes of stem and "-1"
  std::string longName = std::string(251, 'x') + ".txt";
  std::string noRoom = "a." + std::string(253, 'e');  // the extension and a suffix fill 255
  std::vector<std::string> twelve(12, "T(" + std::string(255, 'y') + ")");
  std::vector<std::string> twelveSaved;
  for (int n = 0; n <= 11; ++n) {
    twelveSaved.push_back(n == 0 ? std::string(255, 'y') : std::string(n < 10 ? 253 : 252, 'y') + "-" + std::to_string(n));
  }
  auto titled = [](const std::vector<std::string>& titles) {
    std::vector<std::string> records;
    for (const std::string& title : titles) records.insert(records.end(), {title.starts_with("T(") ? title : "T(" + title + ")", "D"});
    return records;
  };
  expectCases({
      {titled({"same.txt", "same.txt", "same.txt", "same-1.txt", "dir/same.txt"}),
       {"same.txt", "same-1.txt", "same-2.txt", "same-1-1.txt", "same-3.txt"}},
      {titled({".same", ".same", "plain", "plain", "a.b.c", "a.b.c", "dot.", "dot."}),
       {".same", ".same-1", "plain", "plain-1", "a.b.c", "a.b-1.c", "dot.", "dot-1."}},
      {titled({longName, longName}), {longName, std::string(249, 'x') + "-1.txt"}},
      {titled({"abcd" + ext250, "abcd" + ext250}), {"abcd" + ext250, "abc-1" + ext250}},
      {titled({noRoom, noRoom}), {noRoom, noRoom.substr(0, 253) + "-1"}},
      {titled(twelve), twelveSaved},
      {{"T(tnef_0_5.rtf)", "D", "M", "M"}, {"tnef_0_5.rtf", "tnef_0_5-1.rtf", "tnef_1_5.rtf"}},
      {{"M", "R", "D", "A(tnef_0_5.rtf)"}, {"tnef_0_5.rtf", "tnef_0_5-1.rtf"}},
  });
}

// In-process, past several growths of the tables of names: every name the
// run created stays taken, every other one stays free.
TEST(FileNames, ThousandsOfNamesStayTakenAndOthersFree) {
  resetDecoderState();
  constexpr int kNames = 5000;
  for (int i = 0; i < kNames; ++i) {
    std::string plain = "file" + std::to_string(i) + ".bin";
    ASSERT_EQ(fileNameToCreate(plain), plain);
    rememberCreatedFile(plain);
    std::string same(fileNameToCreate("same.txt"));
    ASSERT_EQ(same, i == 0 ? "same.txt" : "same-" + std::to_string(i) + ".txt");
    rememberCreatedFile(same);
  }
  EXPECT_EQ(createdFileCount(), std::size_t{2 * kNames});
  EXPECT_EQ(fileNameToCreate("file4999.bin"), "file4999-1.bin");
  EXPECT_EQ(fileNameToCreate("file5000.bin"), "file5000.bin");
  EXPECT_EQ(fileNameToCreate("dir/same-17.txt"), "same-17-1.txt");
  resetDecoderState();
  EXPECT_EQ(fileNameToCreate("same.txt"), "same.txt");
  EXPECT_EQ(createdFileCount(), 0u);
}

TEST_F(Saving, AnnouncedButNotWrittenWithoutSave) {
  Bytes stream = StreamBuilder().record(kData, textBytes("one")).record(kTitle, cString("a.txt"), 2)
                     .record(kData, textBytes("two"), 2).bytes();
  RunResult result = run(stream, {});
  EXPECT_EQ(result.out, std::string(kGoodHeader) +
                            "TNEF Contains attached file a.txt\nAttachment Title: a.txt\n"
                            "TNEF Contains attached file a.txt\n");
  EXPECT_TRUE(saved().empty());
}

TEST_F(Saving, ManyAttachmentsOfOneTitleAllLand) {
  constexpr int kCount = 1001;  // suffixes of one to four digits
  StreamBuilder stream;
  for (int i = 0; i < kCount; ++i) stream.record(kTitle, cString("image001.png"), 2).record(kData, textBytes(std::to_string(i)), 2);
  RunResult result = run(stream.bytes(), {"-s"});
  EXPECT_EQ(result.status, 0);
  auto files = saved();
  ASSERT_EQ(files.size(), std::size_t{kCount});
  EXPECT_EQ(readFile(inner_ / "image001.png"), "0");
  EXPECT_EQ(readFile(inner_ / "image001-1000.png"), "1000");
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
    clearWorkingDirectory();
    Bytes stream = StreamBuilder().record(kTitle, cString(c.title)).record(kData, textBytes("payload")).bytes();
    RunResult result = run(stream, {"-s"});
    std::string titleLine = "Attachment Title: " + c.title + "\n";
    bool unusable = c.written.empty() || c.written == "." || c.written == "..";
    if (unusable) {
      EXPECT_EQ(result.out, kGoodHeader + titleLine + "Failure saving attachment to file " + c.title + "\n");
      EXPECT_EQ(result.err, "Error openning file " + c.written + " for writing\n");
      EXPECT_TRUE(saved().empty()) << c.title;
    } else {
      EXPECT_EQ(result.out, kGoodHeader + titleLine + "Attachment saved to file " + c.written + "\n");
      EXPECT_EQ(result.err, "");
      std::vector<std::pair<std::string, std::string>> expected{{c.written, "payload"}};
      EXPECT_EQ(saved(), expected) << c.title;
    }
    EXPECT_EQ(result.status, unusable ? 255 : 0) << c.title;
    expectNothingOutside();
  }
}

// A save never writes over the file being decoded, under whatever name it is
// reached: that name counts as taken, and the rest of the stream is decoded.
TEST(SavesSpareTheInput, ItsNamesAreTakenAndTheWalkGoesOn) {
  struct Case {
    std::string inputName;
    std::string title;      // of both attachments; empty: two damaged RTF bodies instead
    std::string link;       // a hard ("=name") or symbolic ("@name") link made to the input first
    std::vector<std::string> written;
  } cases[] = {
      {"in.tnef", "in.tnef", "", {"in-1.tnef", "in-2.tnef"}},
      {"in.tnef", "./in.tnef", "", {"in-1.tnef", "in-2.tnef"}},
      {"in.tnef", "C:\\mail\\in.tnef", "", {"in-1.tnef", "in-2.tnef"}},
      {"in.tnef", "hard.dat", "=hard.dat", {"hard-1.dat", "hard-2.dat"}},
      {"in.tnef", "soft.dat", "@soft.dat", {"soft-1.dat", "soft-2.dat"}},
      {"tnef_0_5.rtf", "", "", {"tnef_0_5-1.rtf", "tnef_1_5.rtf"}},
      {"tnef_1_5.rtf", "", "", {"tnef_0_5.rtf", "tnef_1_5-1.rtf"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    StreamBuilder stream;
    for (int i = 1; i <= 2; ++i) {
      if (c.title.empty()) {
        stream.record(kMapiProps, MapiListBuilder().counted(0x10090102, kRtfBody).bytes());
      } else {
        stream.record(kTitle, cString(c.title), 2).record(kData, textBytes(dataText(i)), 2);
      }
    }
    stream.record(0x00018004, cString("after"));
    writeFile(dir / c.inputName, stream.bytes());
    if (!c.link.empty()) {
      c.link[0] == '=' ? std::filesystem::create_hard_link(dir / c.inputName, dir / c.link.substr(1))
                       : std::filesystem::create_symlink(c.inputName, dir / c.link.substr(1));
    }
    RunOptions options;
    options.workingDirectory = dir.path();
    RunResult result = runWendrel({"-s", c.inputName}, options);
    EXPECT_EQ(readFile(dir / c.inputName), std::string(stream.bytes().begin(), stream.bytes().end())) << c.title;
    EXPECT_TRUE(result.out.ends_with("Subject: after\n")) << result.out;
    EXPECT_EQ(result.status, 0) << c.title << result.err;
    for (std::size_t i = 0; i < c.written.size(); ++i) {
      EXPECT_NE(result.out.find(" " + c.written[i] + "\n"), std::string::npos) << result.out;
      EXPECT_EQ(readFile(dir / c.written[i]), c.title.empty() ? std::string(kRtfBody.begin(), kRtfBody.end())
                                                              : dataText(static_cast<int>(i) + 1));
    }
  }
}

// Saved names hold no control characters, and 8-bit names in no usable code
// page are read as windows-1252 unless they are UTF-8: every name is UTF-8.
TEST_F(Saving, NamesAreUtf8WithoutControlCharacters) {
  auto repeat = [](std::string_view text, int count) {
    std::string result;
    for (int i = 0; i < count; ++i) result += text;
    return result;
  };
  struct Case {
    std::uint32_t codePage;  // 0: no code page record
    std::string title, shown, written;
  } cases[] = {
      {0, "caf\xE9 \x81\x80.txt", "café \u0081€.txt", "café _€.txt"},
      {0, "café ✓.txt", "café ✓.txt", "café ✓.txt"},
      {0, "a\x1B[31mb\x07\x7F.txt", "a\x1B[31mb\x07\x7F.txt", "a_[31mb__.txt"},
      {0, "x\x9F>\".\x07\x01\x06", "xŸ>\".\x07\x01\x06", "xŸ>\".___"},
      {0, "tab\there\r\n", "tab\there\r\n", "tab_here__"},
      {1252, "\x81\x8D\x9F.dat", "\uFFFD\uFFFDŸ.dat", "\uFFFD\uFFFDŸ.dat"},
      {500, "caf\xE9.txt", "café.txt", "café.txt"},  // EBCDIC cannot be used: windows-1252
      {0, std::string(200, '\xE9'), repeat("é", 127), repeat("é", 127)},
      {0, std::string(254, 'a') + "\x85", std::string(254, 'a'), std::string(254, 'a')},
  };
  for (const Case& c : cases) {
    clearWorkingDirectory();
    StreamBuilder stream;
    if (c.codePage != 0) stream.record(0x00069007, dwordBytes(c.codePage));
    stream.record(kTitle, cString(c.title)).record(kData, textBytes("payload"));
    RunResult result = run(stream.bytes(), {"-s"});
    EXPECT_EQ(result.out, kGoodHeader + ("Attachment Title: " + c.shown + "\nAttachment saved to file " + c.written + "\n"))
        << c.title;
    std::vector<std::pair<std::string, std::string>> expected{{c.written, "payload"}};
    EXPECT_EQ(saved(), expected) << c.title;
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

// A failed save does not stop decoding or later saves, but fails the run.
TEST_F(Saving, UnopenableFileIsReportedAndDecodingGoesOn) {
  std::filesystem::create_directory(inner_ / "taken");
  Bytes stream = StreamBuilder()
                     .record(kTitle, cString("taken"))
                     .record(kData, textBytes("lost"))
                     .record(0x00018004, cString("after"))
                     .record(kTitle, cString("kept"))
                     .record(kData, textBytes("kept"))
                     .bytes();
  RunResult result = run(stream, {"-s"});
  EXPECT_EQ(result.out, std::string(kGoodHeader) +
                            "Attachment Title: taken\nFailure saving attachment to file taken\nSubject: after\n"
                            "Attachment Title: kept\nAttachment saved to file kept\n");
  EXPECT_EQ(result.err, "Error openning file taken for writing\n");
  EXPECT_EQ(readFile(inner_ / "kept"), "kept");
  EXPECT_EQ(result.status, 255);
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
    EXPECT_EQ(result.status, 255);
  }
}

}  // namespace
}  // namespace wendrel::test
