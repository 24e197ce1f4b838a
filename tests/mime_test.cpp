// wendrel-mime: what it writes is read back with GMime (and, where it is
// installed, Python's email package) and compared with what `wendrel -s`
// saves from the same stream; the rest of a message must stay as it was.

#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "calendar_builder.h"
#include "ical_reader.h"
#include "process.h"
#include "base64.h"
#include "wendrel/mime.h"

namespace wendrel::test {
namespace {

// ---- Running ----

RunResult runMime(const std::vector<std::string>& arguments, const fs::path& directory = ".",
                  const std::string& stdinPath = "") {
  RunOptions options;
  options.executable = WENDREL_MIME_BINARY;
  options.invocationName = "wendrel-mime";
  options.workingDirectory = directory;
  options.stdinPath = stdinPath;
  return runWendrel(arguments, options);
}

RunResult convertBytes(const std::string& input) {
  TempDir dir;
  std::ofstream(dir / "in.eml", std::ios::binary) << input;
  return runMime({"in.eml"}, dir.path());
}

std::string bytesText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string fileText(const fs::path& path) { return readFile(path); }

// ---- Reading a message back ----

struct Leaf {
  std::string type;      // "text/html"
  std::string filename;  // empty when none
  std::string contentId;
  std::string disposition;
  std::map<std::string, std::string> parameters;  // of the Content-Type
  std::string content;   // transfer encoding undone
  std::vector<std::string> path;  // the types of the containers above it, outermost first
};

struct Parsed {
  bool parsed = false;
  std::map<std::string, std::string> headers;  // the top-level ones, first of each
  std::vector<Leaf> leaves;

  std::vector<const Leaf*> ofType(const std::string& type) const {
    std::vector<const Leaf*> found;
    for (const Leaf& leaf : leaves) {
      if (leaf.type == type) found.push_back(&leaf);
    }
    return found;
  }
};

std::string contentOf(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  if (wrapper == nullptr) return {};
  GMimeStream* memory = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(wrapper, memory);
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory));
  std::string content(reinterpret_cast<const char*>(bytes->data), bytes->len);
  g_object_unref(memory);
  return content;
}

void collect(GMimeObject* object, std::vector<std::string> path, Parsed& parsed) {
  GMimeContentType* type = g_mime_object_get_content_type(object);
  char* name = g_mime_content_type_get_mime_type(type);
  std::string typeName = name;
  g_free(name);
  if (GMIME_IS_MULTIPART(object)) {
    path.push_back(typeName);
    for (int i = 0; i < g_mime_multipart_get_count(GMIME_MULTIPART(object)); ++i) {
      collect(g_mime_multipart_get_part(GMIME_MULTIPART(object), i), path, parsed);
    }
    return;
  }
  if (GMIME_IS_MESSAGE_PART(object)) {
    path.push_back(typeName);
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    if (inner != nullptr && g_mime_message_get_mime_part(inner) != nullptr) {
      collect(g_mime_message_get_mime_part(inner), path, parsed);
    }
    return;
  }
  Leaf leaf;
  leaf.type = typeName;
  leaf.path = path;
  GMimePart* part = GMIME_PART(object);
  if (const char* filename = g_mime_part_get_filename(part)) leaf.filename = filename;
  if (const char* id = g_mime_object_get_content_id(object)) leaf.contentId = id;
  if (GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object)) {
    leaf.disposition = g_mime_content_disposition_get_disposition(disposition);
  }
  GMimeParamList* parameters = g_mime_content_type_get_parameters(type);
  for (int i = 0; i < g_mime_param_list_length(parameters); ++i) {
    GMimeParam* parameter = g_mime_param_list_get_parameter_at(parameters, i);
    leaf.parameters[g_mime_param_get_name(parameter)] = g_mime_param_get_value(parameter);
  }
  leaf.content = contentOf(part);
  parsed.leaves.push_back(std::move(leaf));
}

Parsed parse(const std::string& text) {
  static bool ready = (g_mime_init(), true);
  (void)ready;
  Parsed parsed;
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  if (message == nullptr) return parsed;
  parsed.parsed = true;
  GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
  for (int i = 0; i < g_mime_header_list_get_count(headers); ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
    parsed.headers.try_emplace(g_mime_header_get_name(header), g_mime_header_get_value(header));
  }
  if (GMimeObject* body = g_mime_message_get_mime_part(message)) collect(body, {}, parsed);
  g_object_unref(message);
  return parsed;
}

// What Python's email package makes of a message: "parts N defects D", or
// empty when Python is not there.
std::string pythonView(const fs::path& message) {
  if (std::system("python3 -c 'import email' >/dev/null 2>&1") != 0) return "";
  TempDir dir;
  std::string command = "python3 -c 'import sys, email, email.policy\n"
                        "m = email.message_from_binary_file(open(sys.argv[1], \"rb\"), policy=email.policy.default)\n"
                        "parts = list(m.walk())\n"
                        "defects = sum(len(p.defects) for p in parts)\n"
                        "names = sorted(p.get_filename() or \"\" for p in parts if p.get_filename())\n"
                        "print(\"parts\", len(parts), \"defects\", defects)' '" +
                        message.string() + "' > '" + (dir / "out").string() + "' 2>&1";
  std::system(command.c_str());
  return readFile(dir / "out");
}

// ---- What wendrel -s saves ----

std::map<std::string, std::string> savedFiles(const fs::path& stream) {
  TempDir dir;
  RunOptions options;
  options.workingDirectory = dir.path();
  runWendrel({"-s", stream.string()}, options);
  std::map<std::string, std::string> files;
  for (const auto& [name, contents] : snapshot(dir.path())) files[name] = contents;
  return files;
}

// name without the -N suffix a second file of the same name gets.
std::string withoutSuffix(const std::string& name) {
  std::size_t dot = name.rfind('.');
  std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  std::string extension = stem.size() == name.size() ? "" : name.substr(stem.size());
  std::size_t dash = stem.rfind('-');
  if (dash == std::string::npos || dash + 1 == stem.size() ||
      !std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(dash) + 1, stem.end(), ::isdigit)) {
    return name;
  }
  return stem.substr(0, dash) + extension;
}

bool isBodyName(const std::string& name) { return name.rfind("tnef_", 0) == 0; }

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Every file `wendrel -s` saves is in the message: attachments by name with
// the same bytes, bodies and calendar items as parts with the same content.
void expectEverythingSaved(const std::map<std::string, std::string>& saved, const Parsed& parsed, const std::string& label) {
  std::multimap<std::string, std::string> named;
  std::set<std::string> contents;
  for (const Leaf& leaf : parsed.leaves) {
    if (!leaf.filename.empty()) named.emplace(leaf.filename, leaf.content);
    contents.insert(leaf.content);
  }
  for (const auto& [name, bytes] : saved) {
    if (name.ends_with(".ics")) {
      EXPECT_TRUE(contents.count(bytes)) << label << ": calendar " << name;
    } else if (isBodyName(name) && name.ends_with(".rtf")) {
      std::string stem = name.substr(0, name.size() - 4);
      bool encapsulates = saved.count(stem + ".html") || saved.count(stem + ".txt");
      if (!encapsulates) {
        EXPECT_TRUE(named.count(name)) << label << ": RTF body " << name;
      }
    } else if (isBodyName(name)) {
      std::string text = bytes.starts_with(kByteOrderMark) ? bytes.substr(kByteOrderMark.size()) : bytes;
      EXPECT_TRUE(contents.count(text)) << label << ": body " << name;
    } else {
      std::string original = named.count(name) ? name : withoutSuffix(name);
      auto [first, last] = named.equal_range(original);
      const std::string& expected = bytes;  // (a lambda cannot take a structured binding in C++20)
      bool found = std::any_of(first, last, [&](const auto& entry) { return entry.second == expected; });
      EXPECT_TRUE(found) << label << ": attachment " << name;
    }
  }
}

// ---- Wrapping a stream in the messages it arrives in ----

std::string base64(const std::string& bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto byte = [&](std::size_t i) { return i < bytes.size() ? std::uint32_t{static_cast<std::uint8_t>(bytes[i])} : 0u; };
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    text += kDigits[group >> 18];
    text += kDigits[group >> 12 & 63];
    text += count > 1 ? kDigits[group >> 6 & 63] : '=';
    text += count > 2 ? kDigits[group & 63] : '=';
    if (i / 3 % 19 == 18) text += "\r\n";  // lines of 76
  }
  if (!text.ends_with("\r\n")) text += "\r\n";
  return text;
}

const std::string kOuterText = "See the attached mail.\r\n";
const std::string kOtherAttachment = "%PDF-1.4 not really\r\n";

// A message with its own text and another attachment, and the stream as a
// part of type, or inside a forwarded message.
std::string wrapped(const std::string& stream, const std::string& type, bool forwarded = false) {
  std::string part = "Content-Type: " + type + "; name=\"winmail.dat\"\r\n"
                     "Content-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment; filename=\"winmail.dat\"\r\n\r\n" + base64(stream);
  if (forwarded) {
    part = "Content-Type: message/rfc822\r\n\r\n"
           "From: Inner <inner@example.org>\r\nSubject: inner\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"inner\"\r\n\r\n--inner\r\n" + part + "--inner--\r\n";
  }
  return "From: Ada <ada@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: Fwd: the mail\r\n"
         "Date: Tue, 10 Dec 2024 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
         "--outer\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + kOuterText +
         "--outer\r\nContent-Type: application/pdf; name=\"other.pdf\"\r\n"
         "Content-Disposition: attachment; filename=\"other.pdf\"\r\n\r\n" + kOtherAttachment +
         "--outer\r\n" + part + "--outer--\r\n";
}

TEST(MimeSupport, Base64OfTheTests) {
  EXPECT_EQ(base64(""), "\r\n");
  EXPECT_EQ(base64("M"), "TQ==\r\n");
  EXPECT_EQ(base64("Ma"), "TWE=\r\n");
  EXPECT_EQ(base64("Man"), "TWFu\r\n");
  EXPECT_EQ(base64("Many"), "TWFueQ==\r\n");
}

// Our own base64 loops: what GMime would make of the same text, whatever the
// line ends, gaps and blocks.
TEST(MimeSupport, Base64BothWays) {
  static bool ready = (g_mime_init(), true);
  (void)ready;
  auto decoded = [](const std::string& text) {
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
    GByteArray* bytes = g_byte_array_new();
    mime::decodeBase64(stream, bytes);
    std::string result(reinterpret_cast<const char*>(bytes->data), bytes->len);
    g_byte_array_unref(bytes);
    g_object_unref(stream);
    return result;
  };
  const std::pair<std::string, std::string> cases[] = {
      {"TWFu", "Man"},      {"TW\r\nFu\r\n", "Man"}, {"TWE=", "Ma"},        {"TQ==", "M"},
      {"TWE", "Ma"},        {"T", ""},                  {"!!T W\tF u!!", "Man"}, {"TWFu=TWFu", "Man"},
      {"", ""},             {"====", ""},               {"TWFueQ", "Many"},
  };
  for (const auto& [text, bytes] : cases) EXPECT_EQ(decoded(text), bytes) << text;
  // Across the reader's blocks and the writer's lines, in both line ends.
  std::string payload(200'003, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7919 >> 3);
  for (GMimeNewLineFormat newline : {GMIME_NEWLINE_FORMAT_UNIX, GMIME_NEWLINE_FORMAT_DOS}) {
    GMimePart* part = mime::newBase64Part("application", "octet-stream",
                                          g_mime_stream_mem_new_with_buffer(payload.data(), payload.size()));
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, newline);
    GMimeStream* out = g_mime_stream_mem_new();
    g_mime_object_write_to_stream(GMIME_OBJECT(part), options, out);
    GByteArray* written = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
    std::string text(reinterpret_cast<const char*>(written->data), written->len);
    std::string body = text.substr(text.find(newline == GMIME_NEWLINE_FORMAT_DOS ? "\r\n\r\n" : "\n\n"));
    EXPECT_EQ(decoded(body), payload);
    std::string lineEnd = newline == GMIME_NEWLINE_FORMAT_DOS ? "\r\n" : "\n";
    EXPECT_EQ(body.find(lineEnd + base64(payload).substr(0, 76) + lineEnd), 0u + lineEnd.size()) << body.substr(0, 100);
    g_mime_format_options_free(options);
    g_object_unref(out);
    g_object_unref(part);
  }
}

// ---- Real mail ----

TEST(Mime, RealStreamsBareAndWrapped) {
  std::vector<fs::path> files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << noCorpus();
  for (const fs::path& file : files) {
    std::string name = file.filename().string();
    std::string stream = fileText(file);
    std::map<std::string, std::string> saved = savedFiles(file);
    struct Form {
      std::string label, input;
      bool bare;
    } forms[] = {
        {"bare", stream, true},
        {"application/ms-tnef", wrapped(stream, "application/ms-tnef"), false},
        {"application/octet-stream", wrapped(stream, "application/octet-stream"), false},
        {"forwarded", wrapped(stream, "application/vnd.ms-tnef", true), false},
    };
    for (const Form& form : forms) {
      std::string label = name + " " + form.label;
      TempDir dir;
      std::ofstream(dir / "in", std::ios::binary) << form.input;
      RunResult result = runMime({"-o", "out.eml", "in"}, dir.path());
      ASSERT_EQ(result.status, 0) << label << result.err;
      std::string output = fileText(dir / "out.eml");
      Parsed parsed = parse(output);
      ASSERT_TRUE(parsed.parsed) << label;
      // oom.tnef holds nothing; its stream goes along as it stands.
      if (name != "oom.tnef") expectEverythingSaved(saved, parsed, label);
      std::string python = pythonView(dir / "out.eml");
      if (!python.empty()) {
        EXPECT_NE(python.find("defects 0"), std::string::npos) << label << ": " << python;
      }
      if (form.bare) continue;
      // The outer message's own parts and headers are as they were.
      EXPECT_EQ(parsed.headers["Subject"], "Fwd: the mail") << label;
      EXPECT_EQ(parsed.headers["From"], "Ada <ada@example.org>") << label;
      ASSERT_GE(parsed.leaves.size(), 2u) << label;
      // (The line break before a boundary belongs to the boundary.)
      EXPECT_EQ(parsed.leaves[0].content + "\r\n", kOuterText) << label;
      EXPECT_EQ(parsed.leaves[1].filename, "other.pdf") << label;
      EXPECT_EQ(parsed.leaves[1].content + "\r\n", kOtherAttachment) << label;
      EXPECT_NE(output.find("Content-Type: text/plain; charset=us-ascii\r\n\r\n" + kOuterText + "--outer\r\n"),
                std::string::npos) << label;
      EXPECT_EQ(output.find("winmail.dat"), name == "oom.tnef" ? output.find("winmail.dat") : std::string::npos) << label;
    }
  }
}

TEST(Mime, PicturesShownByTheirContentId) {
  fs::path file = corpusDirectory() / "teamwork-winmail.tnef";
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  RunResult result = runMime({file.string()});
  Parsed parsed = parse(result.out);
  std::vector<const Leaf*> html = parsed.ofType("text/html");
  ASSERT_EQ(html.size(), 1u);
  EXPECT_EQ(html[0]->path.back(), "multipart/related");
  std::vector<const Leaf*> pictures;
  for (const Leaf& leaf : parsed.leaves) {
    if (leaf.type.rfind("image/", 0) == 0) pictures.push_back(&leaf);
  }
  ASSERT_EQ(pictures.size(), 3u);
  for (const Leaf* picture : pictures) {
    EXPECT_EQ(picture->path.back(), "multipart/related") << picture->filename;
    EXPECT_EQ(picture->disposition, "inline") << picture->filename;
    ASSERT_FALSE(picture->contentId.empty()) << picture->filename;
    EXPECT_NE(html[0]->content.find("cid:" + picture->contentId), std::string::npos) << picture->contentId;
  }
}

TEST(Mime, InvitationsAreCalendarParts) {
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  RunResult result = runMime({(corpusDirectory() / "horde-TnefMeetingRequest.tnef").string()});
  Parsed parsed = parse(result.out);
  std::vector<const Leaf*> calendars = parsed.ofType("text/calendar");
  ASSERT_EQ(calendars.size(), 1u);
  EXPECT_EQ(calendars[0]->parameters.at("method"), "REQUEST");
  EXPECT_EQ(calendars[0]->parameters.at("charset"), "utf-8");
  EXPECT_NE(calendars[0]->content.find("SUMMARY:Meeting\r\n"), std::string::npos);
}

// ---- Built streams ----

Bytes noteStream() {
  ItemProperties p;
  p.text(0x0037, "Quarterly figures").text(0x0C1A, "Ada Lovelace").text(0x5D01, "ada@example.org")
      .time(0x0039, unixTime(2024, 3, 4, 17)).text(0x1035, "<1234@example.org>").text(0x1042, "<1000@example.org>")
      .text(0x1000, "Please find the figures attached.");
  Bytes rows = recipientTable({recipientRow("Grace Hopper", "grace@example.org", 1),
                               recipientRow("Alan Turing", "alan@example.org", 2),
                               recipientRow("Secret", "secret@example.org", 3)});
  StreamBuilder stream;
  stream.record(0x00078008, cString("IPM.Note")).record(0x00069003, p.bytes()).record(0x00069004, rows)
      .record(0x00069002, Bytes(14, 0), 2).record(0x00018010, cString("figures.csv"), 2)
      .record(0x0006800F, textBytes("quarter,revenue\n"), 2)
      .record(0x00069005, MapiListBuilder().unicode(0x3707001F, "Grüße.csv").unicode(0x370E001F, "text/csv").bytes(), 2);
  return stream.bytes();
}

TEST(Mime, HeadersFromTheStream) {
  TempDir dir;
  writeFile(dir / "note.tnef", noteStream());
  RunResult result = runMime({"note.tnef"}, dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  Parsed parsed = parse(result.out);
  EXPECT_EQ(parsed.headers["From"], "Ada Lovelace <ada@example.org>");
  EXPECT_EQ(parsed.headers["To"], "Grace Hopper <grace@example.org>");
  EXPECT_EQ(parsed.headers["Cc"], "Alan Turing <alan@example.org>");
  EXPECT_EQ(parsed.headers["Bcc"], "Secret <secret@example.org>");
  EXPECT_EQ(parsed.headers["Subject"], "Quarterly figures");
  EXPECT_EQ(parsed.headers["Message-Id"], "<1234@example.org>");
  EXPECT_EQ(parsed.headers["In-Reply-To"], "<1000@example.org>");
  EXPECT_EQ(parsed.headers["MIME-Version"], "1.0");
  EXPECT_NE(parsed.headers["Date"].find("4 Mar 2024 17:00:00"), std::string::npos) << parsed.headers["Date"];
  ASSERT_EQ(parsed.leaves.size(), 2u);
  EXPECT_EQ(parsed.leaves[0].type, "text/plain");
  EXPECT_EQ(parsed.leaves[0].content, "Please find the figures attached.");
  EXPECT_EQ(parsed.leaves[1].filename, "Grüße.csv");
  EXPECT_EQ(parsed.leaves[1].type, "text/csv");
  EXPECT_EQ(parsed.leaves[1].content, "quarter,revenue\n");
  // The name goes as RFC 2231 UTF-8.
  EXPECT_NE(result.out.find("filename*=UTF-8''Gr%C3%BC%C3%9Fe.csv"), std::string::npos) << result.out;

  // A stream that names nobody gives no invented headers.
  writeFile(dir / "bare.tnef", StreamBuilder().record(0x00018004, cString("Only a subject")).bytes());
  Parsed bare = parse(runMime({"bare.tnef"}, dir.path()).out);
  EXPECT_EQ(bare.headers.count("From"), 0u);
  EXPECT_EQ(bare.headers.count("Date"), 0u);
  EXPECT_EQ(bare.headers["Subject"], "Only a subject");
}

TEST(Mime, TransportHeadersAreTheMessagesOwn) {
  ItemProperties p;
  p.text(0x007D, "Received: from a by b;\r\n Tue, 10 Dec 2024 10:00:00 +0000\r\nFrom: Ada <ada@example.org>\r\n"
                 "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\nMIME-Version: 1.0\r\nContent-Type: application/ms-tnef\r\n"
                 "X-Custom: kept\r\n")
      .text(0x0037, "ignored").text(0x1000, "body");
  TempDir dir;
  writeFile(dir / "s.tnef", StreamBuilder().record(0x00069003, p.bytes()).bytes());
  RunResult result = runMime({"s.tnef"}, dir.path());
  Parsed parsed = parse(result.out);
  EXPECT_EQ(parsed.headers["Subject"], "Grüße");
  EXPECT_EQ(parsed.headers["X-Custom"], "kept");
  EXPECT_NE(result.out.find("Received: from a by b;\n Tue, 10 Dec 2024"), std::string::npos) << result.out;
  // Exactly one MIME-Version and one Content-Type: the message's own.
  EXPECT_EQ(result.out.find("MIME-Version"), result.out.rfind("MIME-Version"));
  EXPECT_EQ(result.out.find("application/ms-tnef"), std::string::npos);
}

// The charset of stored HTML: its Internet code page, its own meta, UTF-8 when
// it is, else windows-1252; the bytes are never changed.
TEST(Mime, HtmlKeepsItsBytesUnderItsCharset) {
  struct Case {
    std::string html;
    std::int32_t codePage;  // 0: none
    std::string charset;
  } cases[] = {
      {"<p>\xF0\xD2\xC9</p>", 20866, "koi8-r"},
      {"<meta charset=\"iso-8859-2\"><p>\xB1</p>", 0, "iso-8859-2"},
      {"<meta http-equiv=Content-Type content=\"text/html; charset=Windows-1251\">\xE0", 0, "windows-1251"},
      {"<p>caf\xC3\xA9</p>", 0, "utf-8"},
      {"<p>caf\xE9</p>", 0, "windows-1252"},
      {"<p>\xA4\xA2</p>", 51932, "euc-jp"},
  };
  for (const Case& c : cases) {
    ItemProperties p;
    p.binary(0x1013, textBytes(c.html));
    if (c.codePage != 0) p.integer(0x3FDE, c.codePage);
    TempDir dir;
    writeFile(dir / "s.tnef", StreamBuilder().record(0x00069003, p.bytes()).bytes());
    Parsed parsed = parse(runMime({"s.tnef"}, dir.path()).out);
    std::vector<const Leaf*> html = parsed.ofType("text/html");
    ASSERT_EQ(html.size(), 1u) << c.charset;
    EXPECT_EQ(html[0]->parameters.at("charset"), c.charset);
    EXPECT_EQ(html[0]->content, c.html) << c.charset;
  }
}

// ---- Nothing is lost ----

TEST(Mime, DamagedStreamsGoAlongAsTheyStood) {
  Bytes note = noteStream();
  struct Case {
    std::string name;
    Bytes stream;
    bool converted, kept;
    std::string error;  // what standard error says, in part
  } cases[] = {
      {"a record cut short", Bytes(note.begin(), note.end() - 20), true, true, "damaged"},
      {"a stray line end", [&] { Bytes b = note; b.push_back('\r'); b.push_back('\n'); return b; }(), true, false, ""},
      {"no TNEF signature", [&] { Bytes b = note; b[0] = 0; return b; }(), false, true, "no TNEF signature"},
  };
  for (const Case& c : cases) {
    std::string input = wrapped(bytesText(c.stream), "application/ms-tnef");
    RunResult result = convertBytes(input);
    EXPECT_EQ(result.status, 0) << c.name;
    Parsed parsed = parse(result.out);
    std::vector<const Leaf*> tnef = parsed.ofType("application/ms-tnef");
    EXPECT_EQ(tnef.size(), c.kept ? 1u : 0u) << c.name;
    if (c.kept && !tnef.empty()) {
      EXPECT_EQ(tnef[0]->content, bytesText(c.stream)) << c.name;
    }
    EXPECT_EQ(!parsed.ofType("text/csv").empty(), c.converted) << c.name;
    if (c.error.empty()) {
      EXPECT_EQ(result.err, "") << c.name;
    } else {
      EXPECT_NE(result.err.find(c.error), std::string::npos) << c.name << ": " << result.err;
    }
  }
}

// Each TNEF part is judged on its own: one that holds nothing stays as it is
// whatever comes before or after it.
TEST(Mime, EachPartOnItsOwn) {
  std::string good = bytesText(noteStream());
  std::string empty = bytesText(StreamBuilder().bytes());
  auto part = [&](const std::string& stream) {
    return "--o\r\nContent-Type: application/ms-tnef\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(stream);
  };
  for (bool goodFirst : {true, false}) {
    std::string input = "Subject: two\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"o\"\r\n\r\n" +
                        (goodFirst ? part(good) + part(empty) : part(empty) + part(good)) + "--o--\r\n";
    RunResult result = convertBytes(input);
    Parsed parsed = parse(result.out);
    EXPECT_EQ(parsed.ofType("text/csv").size(), 1u) << goodFirst;
    ASSERT_EQ(parsed.ofType("application/ms-tnef").size(), 1u) << goodFirst;
    EXPECT_EQ(parsed.ofType("application/ms-tnef")[0]->content, empty) << goodFirst;
    EXPECT_NE(result.err.find("holds nothing that can be shown"), std::string::npos) << result.err;
  }
}

// Converting what a signature covers would break it.
TEST(Mime, SignedContentStaysAsItIs) {
  std::string input = "Subject: signed\r\nMIME-Version: 1.0\r\n"
                      "Content-Type: multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; boundary=\"s\"\r\n\r\n"
                      "--s\r\nContent-Type: multipart/mixed; boundary=\"m\"\r\n\r\n--m\r\n"
                      "Content-Type: application/ms-tnef\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(bytesText(noteStream())) +
                      "--m--\r\n--s\r\nContent-Type: application/pkcs7-signature\r\n\r\nsignature\r\n--s--\r\n";
  RunResult result = convertBytes(input);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, input);
  EXPECT_NE(result.err.find("TNEF in signed or encrypted content is kept as it stands"), std::string::npos) << result.err;
}

// An attached message whose stream ends on a damaged record goes along as it
// stood, beside what it gave.
TEST(Mime, DamagedAttachedMessagesAreKept) {
  Bytes inner = StreamBuilder().record(0x00018004, cString("inner")).record(0x00018010, cString("a.txt"), 2)
                    .record(0x0006800F, textBytes("inner data"), 2).recordClaiming(0x00018004, 500, cString("cut")).bytes();
  Bytes outer = StreamBuilder().record(0x00018004, cString("outer")).record(0x00069002, Bytes(14, 0), 2)
                    .record(0x00069005, objectProperties({embeddedMessage(inner)}, "inner.msg"), 2).bytes();
  TempDir dir;
  writeFile(dir / "s.tnef", outer);
  RunResult result = runMime({"s.tnef"}, dir.path());
  EXPECT_EQ(result.status, 0);
  Parsed parsed = parse(result.out);
  std::vector<const Leaf*> kept = parsed.ofType("application/ms-tnef");
  ASSERT_EQ(kept.size(), 1u) << result.out;
  EXPECT_EQ(kept[0]->filename, "inner.msg.tnef");
  EXPECT_EQ(kept[0]->content, bytesText(inner));
  // What the message held before the damage is converted all the same.
  bool converted = std::any_of(parsed.leaves.begin(), parsed.leaves.end(), [](const Leaf& leaf) {
    return leaf.filename == "a.txt" && leaf.content == "inner data" && leaf.path.back() == "multipart/mixed" &&
           leaf.path.size() >= 2 && leaf.path[leaf.path.size() - 2] == "message/rfc822";
  });
  EXPECT_TRUE(converted) << result.out;
  EXPECT_NE(result.err.find("attached message inner.msg is damaged"), std::string::npos) << result.err;
}

// A stream gets one part per KiB of itself (at least 64): one of empty
// attachments gives that many, and goes along as it stood.
TEST(Mime, PartsAreBoundedByTheStreamsSize) {
  StreamBuilder stream;
  for (int i = 0; i < 5000; ++i) stream.record(0x00018010, cString("e"), 2).record(0x0006800F, {}, 2);
  Bytes bytes = stream.bytes();
  TempDir dir;
  writeFile(dir / "s.tnef", bytes);
  RunResult result = runMime({"s.tnef"}, dir.path());
  EXPECT_EQ(result.status, 0);
  Parsed parsed = parse(result.out);
  std::size_t made = 0;
  for (const Leaf& leaf : parsed.leaves) made += leaf.filename == "e" ? 1 : 0;
  EXPECT_EQ(made, std::max<std::size_t>(64, bytes.size() / 1024));
  std::vector<const Leaf*> kept = parsed.ofType("application/ms-tnef");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]->content, bytesText(bytes));
  EXPECT_NE(result.err.find("holds more attachments than are made parts"), std::string::npos) << result.err;
}

// Without a submit time the Date is attDateSent, the sender's wall time in a
// zone the stream does not say: -0000.
TEST(Mime, DateFromTheSendersClock) {
  TempDir dir;
  writeFile(dir / "s.tnef", StreamBuilder().record(0x00038005, dateBytes(2003, 3, 4, 9, 30, 0, 2))
                                .record(0x00018004, cString("x")).bytes());
  RunResult result = runMime({"s.tnef"}, dir.path());
  EXPECT_NE(result.out.find("Date: Tue, 04 Mar 2003 09:30:00 -0000\n"), std::string::npos) << result.out;
}

TEST(Mime, MessagesWithoutTnefComeOutUnchanged) {
  std::string inputs[] = {
      "From: a@example.org\r\nSubject: plain\r\n\r\nJust text.\r\n",
      wrapped("not TNEF at all", "application/octet-stream"),
      "Subject: broken\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nno end",
      "Subject: " + std::string(1 << 20, 'h') + "\r\n\r\nhuge header\r\n",
      "",
      "\x78\x9F\x3E",
  };
  for (const std::string& input : inputs) {
    RunResult result = convertBytes(input);
    EXPECT_EQ(result.status, 0) << input.substr(0, 40);
    EXPECT_EQ(result.out, input) << input.substr(0, 40);
  }
}

// A part nested deeper than the limit is left as it stands; one just above it
// is converted.
TEST(Mime, DeepNestingHasALimit) {
  std::string stream = bytesText(noteStream());
  for (int depth : {mime::kDeepestPart - 2, mime::kDeepestPart + 5, 2000}) {
    std::string input = "Subject: deep\r\nMIME-Version: 1.0\r\n";
    for (int i = 0; i < depth; ++i) input += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" + std::to_string(i) + "\r\n";
    input += "Content-Type: application/ms-tnef\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64(stream);
    for (int i = depth - 1; i >= 0; --i) input += "--b" + std::to_string(i) + "--\r\n";
    RunResult result = convertBytes(input);
    EXPECT_EQ(result.status, 0) << depth;
    bool converted = depth < mime::kDeepestPart;
    EXPECT_EQ(result.out.find("Content-Type: text/csv") != std::string::npos, converted) << depth;
    if (!converted) {
      EXPECT_EQ(result.out, input) << depth;
    }
  }
}

// ---- The command line ----

TEST(Mime, CommandLine) {
  TempDir dir;
  writeFile(dir / "note.tnef", noteStream());
  RunResult help = runMime({"--help"}, dir.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: wendrel-mime [-o OUTPUT] [FILE]\n", 0), 0u);
  RunResult version = runMime({"--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("wendrel-mime (wendrel/", 0), 0u);
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"-x"}, {"--bogus"}, {"-o"}, {"a", "b"}, {"-o", ""}}) {
    RunResult result = runMime(wrong, dir.path());
    EXPECT_EQ(result.status, 2) << wrong[0];
    EXPECT_NE(result.err.find("Try 'wendrel-mime --help'"), std::string::npos) << wrong[0];
  }
  RunResult missing = runMime({"missing.eml"}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "wendrel-mime: cannot read missing.eml: No such file or directory\n");

  // Standard input, as "-" and when no file is named.
  std::string fromFile = runMime({"note.tnef"}, dir.path()).out;
  EXPECT_EQ(runMime({"-"}, dir.path(), (dir / "note.tnef").string()).out.size(), fromFile.size());
  EXPECT_EQ(runMime({}, dir.path(), (dir / "note.tnef").string()).out.size(), fromFile.size());
  // "--" ends the options.
  writeFile(dir / "-o", noteStream());
  EXPECT_EQ(runMime({"--", "-o"}, dir.path()).status, 0);

  // -o writes the file whole and leaves nothing else; a failed write leaves
  // nothing at all.
  RunResult written = runMime({"-o", "out.eml", "note.tnef"}, dir.path());
  EXPECT_EQ(written.status, 0);
  EXPECT_EQ(written.out, "");
  EXPECT_EQ(fileText(dir / "out.eml").size(), fromFile.size());
  RunResult nowhere = runMime({"-o", "no/such/dir/out.eml", "note.tnef"}, dir.path());
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_NE(nowhere.err.find("wendrel-mime: cannot write no/such/dir/out.eml: "), std::string::npos) << nowhere.err;
  std::vector<std::string> left;
  for (const auto& [name, contents] : snapshot(dir.path())) left.push_back(name);
  EXPECT_EQ(left, (std::vector<std::string>{"-o", "note.tnef", "out.eml"}));
  if (std::string why = devFullUnavailable(); why.empty()) {
    RunOptions options;
    options.executable = WENDREL_MIME_BINARY;
    options.workingDirectory = dir.path();
    options.stdoutPath = "/dev/full";
    RunResult full = runWendrel({"note.tnef"}, options);
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("cannot write standard output: No space left on device"), std::string::npos) << full.err;
  }
}

}  // namespace
}  // namespace wendrel::test
