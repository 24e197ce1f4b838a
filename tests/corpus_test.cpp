// Real streams from mail clients, when the shared corpus is present.

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "process.h"

namespace wendrel::test {
namespace {

// Runs wendrel -s on a stream with dir as the working directory.
RunResult saveIn(const TempDir& dir, const std::string& stream) {
  RunOptions options;
  options.workingDirectory = dir.path();
  return runWendrel({"-s", stream}, options);
}

TEST(Corpus, EveryStreamDecodesWithEveryOptionSet) {
  std::vector<fs::path> files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << noCorpus();
  for (const fs::path& file : files) {
    for (const std::vector<std::string>& flags :
         {std::vector<std::string>{}, {"-v"}, {"-v", "-s"}, {"-d", "-s"}}) {
      TempDir dir;
      RunOptions options;
      options.workingDirectory = dir.path();
      std::vector<std::string> arguments = flags;
      arguments.push_back(file.string());
      RunResult result = runWendrel(arguments, options);
      EXPECT_EQ(result.status, 0) << file << ::testing::PrintToString(flags);
      std::size_t start = !flags.empty() && flags[0] == "-d" ? result.out.find("\nGood TNEF Signature\n") + 1 : 0;
      EXPECT_EQ(result.out.compare(start, 20, "Good TNEF Signature\n"), 0) << file;
    }
  }
}

// Every attachment lands under the name a mail client shows for it, with its
// own bytes; nothing is overwritten.
TEST(Corpus, EveryAttachmentLandsUnderItsOwnNameWithItsOwnBytes) {
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  const std::map<std::string, std::vector<std::string>> attachments{
      // The document is attached to the note attached to the message.
      {"aspose-tnefWithMsgInside.tnef", {"5e76ryjj.docx"}},
      {"bug52400-winmail-simple.tnef", {}},
      {"bug52400-winmail-with-attachments.tnef", {"scion_tc_2007_maintenanceguide.pdf", "Duke_Wave.png"}},
      {"bug63955-winmail.tnef", {"SI-61597.pdf", "SI-61598.pdf"}},
      // Wrong checksums change nothing; the stray byte at the end is no record.
      {"clamav-clam.tnef", {"clam.exe"}},
      {"horde-TnefAttachments.tnef", {"hasselhoff_birthday.jpg"}},
      {"horde-TnefMeetingRequest.tnef", {}},
      {"horde-activesync-task-from-mike.tnef", {}},
      {"lkml-recall-cp949.tnef", {}},
      // Long names in code page 1251, saved in UTF-8 in place of their 8.3 titles.
      {"mailtnef-winmail-cp1251.tnef",
       {"vlad.pub", "\xD0\x9E\xD1\x82\xD1\x87\xD0\xB5\xD1\x82 \xD0\xBE\xD0\xB1 \xD0\xBE\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB5.doc",
        "\xD0\x9E\xD1\x82\xD1\x87\xD0\xB5\xD1\x82 \xD0\xBE\xD0\xB1 \xD0\xBE\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB5.rtf",
        "\xD0\x9F\xD0\xBB\xD0\xB0\xD0\xBD \xD1\x82\xD0\xB5\xD1\x81\xD1\x82\xD0\xB8\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xB8\xD1\x8F.odt"}},
      // The second picture belongs to the appointment attached to the mail.
      {"mimekit-christmas.tnef",
       {"kitten-playing-with-a-christmas-tree.jpg", "kitten-playing-with-a-christmas-tree-1.jpg"}},
      {"oom.tnef", {}},
      {"quick-winmail.tnef", {"quick.doc", "quick.html", "quick.pdf", "quick.txt", "quick.xml"}},
      {"spamassassin-read-receipt-cp1250.tnef", {}},
      {"teamwork-winmail.tnef", {"image001.jpg", "image002.jpg", "image003.png"}},
      {"tnefparse-iso-8859-8-i.tnef", {}},
      // The long name is stored in the sender's code page (cp1252) and saved in UTF-8.
      {"tnefparse-umlaut.tnef", {"TBZ PARIV GmbH.jpg", "image003.jpg", "UmlautAnhang-\xC3\xA4\xC3\xBC\xC3\xB6.txt"}},
      {"ukr.tnef", {}},
      // The whole signed entity, as one attachment.
      {"uponu-signed.tnef", {"smime.p7m"}},
      {"zimbra-tnef-two-gifs.tnef", {"upload.gif", "upload2.gif"}},
  };
  for (const fs::path& file : corpusFiles()) {
    std::string name = file.filename().string();
    ASSERT_TRUE(attachments.contains(name)) << name << " is new in the corpus: list its attachments here";
    TempDir dir;
    RunResult result = saveIn(dir, file.string());
    EXPECT_EQ(result.status, 0) << name;

    std::vector<std::string> saved;
    std::istringstream lines(result.out);
    const std::string prefix = "Attachment saved to file ";
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with(prefix)) saved.push_back(line.substr(prefix.size()));
    }
    EXPECT_EQ(saved, attachments.at(name)) << name;
    // Attachment data is saved exactly as the stream holds it.
    std::string stream = readFile(file);
    for (const std::string& saved_name : saved) {
      std::string data = readFile(dir / saved_name);
      EXPECT_TRUE(!data.empty() && stream.find(data) != std::string::npos) << name << saved_name;
    }
  }
}

// The message bodies stored as compressed RTF, those of attached messages
// included, are saved as RTF a word processor opens: all RAWSIZE bytes of it,
// none reported damaged.
TEST(Corpus, MessageBodiesAreSavedAsRtf) {
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  // Exchange's transport TNEF holds the attached note's properties twice over.
  const std::vector<std::string> withBodies{
      "aspose-tnefWithMsgInside.tnef", "aspose-tnefWithMsgInside.tnef", "clamav-clam.tnef",
      "horde-TnefAttachments.tnef",    "horde-TnefMeetingRequest.tnef", "horde-activesync-task-from-mike.tnef",
      "horde-activesync-task-from-mike.tnef", "lkml-recall-cp949.tnef", "mailtnef-winmail-cp1251.tnef",
      "mimekit-christmas.tnef",        "mimekit-christmas.tnef",        "mimekit-christmas.tnef",
      "quick-winmail.tnef",            "tnefparse-umlaut.tnef",         "uponu-signed.tnef",
      "zimbra-tnef-two-gifs.tnef"};
  std::vector<std::string> found;
  for (const fs::path& file : corpusFiles()) {
    TempDir dir;
    RunResult result = saveIn(dir, file.string());
    EXPECT_EQ(result.err.find("Damaged"), std::string::npos) << file << result.err;
    std::istringstream lines(result.out);
    const std::string prefix = "\tSaving Compressed RTF to ";
    std::string stream = readFile(file);
    std::size_t tag = 0;  // the bodies lie in the file in the order they are met
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with(prefix)) continue;
      found.push_back(file.filename().string());
      std::string rtf = readFile(dir / line.substr(prefix.size()));
      tag = stream.find(std::string("\x02\x01\x09\x10", 4), tag + 1);
      ASSERT_NE(tag, std::string::npos);
      std::uint32_t rawSize = 0;
      for (std::size_t i = 0; i < 4; ++i) rawSize |= std::uint32_t{static_cast<std::uint8_t>(stream[tag + 16 + i])} << (8 * i);
      EXPECT_EQ(rtf.size(), rawSize) << file;
      EXPECT_TRUE(rtf.starts_with("{\\rtf1")) << file;
      std::size_t last = rtf.find_last_not_of(std::string("\r\n\0", 3));
      EXPECT_TRUE(last != std::string::npos && rtf[last] == '}') << file;
    }
  }
  EXPECT_EQ(found, withBodies);
}

// The message bodies stored only as an HTML body property are saved exactly
// as the stream holds them.
TEST(Corpus, HtmlBodiesAreSavedAsStored) {
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  // Exchange's transport TNEF holds the message's properties twice over.
  const std::vector<std::string> withHtml{
      "aspose-tnefWithMsgInside.tnef", "aspose-tnefWithMsgInside.tnef", "bug52400-winmail-simple.tnef",
      "bug52400-winmail-with-attachments.tnef",
      "bug63955-winmail.tnef",         "clamav-clam.tnef",              "teamwork-winmail.tnef",
      "tnefparse-iso-8859-8-i.tnef",   "ukr.tnef"};
  std::vector<std::string> found;
  for (const fs::path& file : corpusFiles()) {
    TempDir dir;
    RunResult result = saveIn(dir, file.string());
    std::string stream = readFile(file);
    std::istringstream lines(result.out);
    const std::string prefix = "\tSaving HTML body to ", rtfPrefix = "\tSaving Compressed RTF to ";
    std::string rtfStem;  // the HTML an RTF body encapsulates is saved beside it: another test's
    std::size_t tag = 0;  // the bodies lie in the file in the order they are met
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with(rtfPrefix)) rtfStem = line.substr(rtfPrefix.size(), line.size() - rtfPrefix.size() - 4);
      if (!line.starts_with(prefix) || line.substr(prefix.size()) == rtfStem + ".html") continue;
      found.push_back(file.filename().string());
      tag = stream.find(std::string("\x02\x01\x13\x10", 4), tag == 0 ? 0 : tag + 1);
      ASSERT_NE(tag, std::string::npos) << file;
      std::uint32_t length = 0;
      for (std::size_t i = 0; i < 4; ++i) length |= std::uint32_t{static_cast<std::uint8_t>(stream[tag + 8 + i])} << (8 * i);
      std::string html = readFile(dir / line.substr(prefix.size()));
      EXPECT_TRUE(html == stream.substr(tag + 12, length)) << file;
      std::size_t start = html.find_first_not_of(" \t\r\n");
      EXPECT_TRUE(html.compare(start, 5, "<html") == 0 || html.compare(start, 9, "<!DOCTYPE") == 0) << file;
    }
  }
  EXPECT_EQ(found, withHtml);
}

// The HTML that tnefparse-umlaut's RTF body encapsulates is recovered with
// its umlauts, after a byte-order mark; the text of mimekit-christmas's
// appointment likewise.
TEST(Corpus, EncapsulatedBodiesAreRecovered) {
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  struct Case {
    std::string stream, file, starts, holds;
  } cases[] = {
      {"tnefparse-umlaut.tnef", "tnef_0_727.html", "\xEF\xBB\xBF<html", "TEST äöü +-*/~"},
      {"mimekit-christmas.tnef", "tnef_2_d4.txt", "It's time", "Christmas presents!"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    RunResult result = saveIn(dir, (corpusDirectory() / c.stream).string());
    EXPECT_EQ(result.status, 0) << c.stream;
    std::string body = readFile(dir / c.file);
    EXPECT_TRUE(body.starts_with(c.starts)) << c.stream;
    EXPECT_NE(body.find(c.holds), std::string::npos) << c.stream;
  }
}

// The task and the appointment attached to mimekit-christmas are decoded in
// place, their records shown with -v like the outer message's.
TEST(Corpus, AttachedMessagesAreDecodedInPlace) {
  fs::path file = corpusDirectory() / "mimekit-christmas.tnef";
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  RunResult result = runWendrel({"-v", file.string()});
  EXPECT_EQ(result.status, 0);
  std::vector<std::string> framing;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    for (std::string_view start : {"Embedded message", "End of embedded", "Message Class:", "Attribute: attMessageClass",
                                   "TNEF Contains"}) {
      if (line.starts_with(start)) framing.push_back(line);
    }
  }
  const std::vector<std::string> expected{
      "Attribute: attMessageClass, (00078008)", "Message Class: IPM.Microsoft Mail.Note",
      "TNEF Contains attached file kitten-playing-with-a-christmas-tree.jpg",
      "Embedded message Untitled Attachment", "Attribute: attMessageClass, (00078008)", "Message Class: IPM.Task",
      "End of embedded message Untitled Attachment",
      "Embedded message Untitled Attachment", "Attribute: attMessageClass, (00078008)",
      "Message Class: IPM.Appointment", "TNEF Contains attached file kitten-playing-with-a-christmas-tree.jpg",
      "End of embedded message Untitled Attachment"};
  EXPECT_EQ(framing, expected);
}

}  // namespace
}  // namespace wendrel::test
