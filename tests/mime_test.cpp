// wendrel-mime: what it writes is read back with GMime (and, where it is
// installed, Python's email package) and compared with what `wendrel -s`
// saves from the same stream; the rest of a message must stay as it was.

#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "calendar_builder.h"
#include "rtf_builder.h"
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
// the same bytes, bodies and calendar items as parts with the same content
// (an RTF body that shows no text is left out: rtfShowsText false).
void expectEverythingSaved(const std::map<std::string, std::string>& saved, const Parsed& parsed, const std::string& label,
                           bool rtfShowsText = true) {
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
        EXPECT_EQ(contents.count(bytes) != 0, rtfShowsText) << label << ": RTF body " << name;
      }
    } else if (isBodyName(name)) {
      std::string text = bytes.starts_with(kByteOrderMark) ? bytes.substr(kByteOrderMark.size()) : bytes;
      // A text of blanks and line ends only shows nothing.
      if (text.find_first_not_of(" \t\r\n") == std::string::npos) continue;
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

// The multipart/signed entity in message: from its Content-Type line to its
// closing boundary, as it is written there.
std::string signedEntityOf(const std::string& message) {
  std::size_t start = message.find("Content-Type: multipart/signed");
  if (start == std::string::npos) return "";
  std::size_t key = message.find("boundary=\"", start);
  if (key == std::string::npos) return "";
  key += 10;
  std::string boundary = "--" + message.substr(key, message.find('"', key) - key) + "--";
  std::size_t end = message.find(boundary, key);
  if (end == std::string::npos) return "";
  return message.substr(start, end + boundary.size() - start) + "\n";
}

// openssl smime -verify (the certificate itself not checked) on the signed
// entity message holds; true when there is none to check it with.
bool signatureVerifies(const std::string& message) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) return true;
  TempDir dir;
  std::ofstream(dir / "entity.eml", std::ios::binary) << signedEntityOf(message);
  std::string command = "openssl smime -verify -noverify -in '" + (dir / "entity.eml").string() + "' -out /dev/null 2>/dev/null";
  return std::system(command.c_str()) == 0;
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

// text with every CRLF made LF.
std::string withLf(std::string text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += text[i];
  }
  return result;
}

// True when every line of text ends in CRLF (crlf) or in a bare LF.
bool onlyLineEnd(const std::string& text, bool crlf) {
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    if ((at > 0 && text[at - 1] == '\r') != crlf) return false;
  }
  return true;
}

// Converts input as wendrel-mime reads a file, twice, and its output once
// more: the same input gives the same bytes, and a message already converted
// is left as it is.
RunResult convertSteadily(const std::string& input, const std::string& label,
                          const std::vector<std::string>& options = {}) {
  TempDir dir;
  std::ofstream(dir / "in", std::ios::binary) << input;
  std::vector<std::string> arguments = options;
  arguments.insert(arguments.end(), {"-o", "out.eml", "in"});
  RunResult first = runMime(arguments, dir.path());
  std::string output = fileText(dir / "out.eml");
  RunResult second = runMime(arguments, dir.path());
  EXPECT_TRUE(fileText(dir / "out.eml") == output) << label << ": a second run gave other bytes";
  EXPECT_EQ(second.err, first.err) << label;
  RunResult again = runMime({"-o", "again.eml", "out.eml"}, dir.path());
  EXPECT_EQ(again.status, 0) << label;
  EXPECT_TRUE(fileText(dir / "again.eml") == output) << label << ": converting the output changed it";
  first.out = output;
  return first;
}

TEST(Mime, RealStreamsBareAndWrapped) {
  std::vector<fs::path> files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << noCorpus();
  for (const fs::path& file : files) {
    std::string name = file.filename().string();
    std::string stream = fileText(file);
    std::map<std::string, std::string> saved = savedFiles(file);
    struct Form {
      std::string label, input;
      bool bare, crlf;
    } forms[] = {
        {"bare", stream, true, false},
        {"application/ms-tnef", wrapped(stream, "application/ms-tnef"), false, true},
        {"application/octet-stream", wrapped(stream, "application/octet-stream"), false, true},
        {"forwarded", wrapped(stream, "application/vnd.ms-tnef", true), false, true},
        {"LF", withLf(wrapped(stream, "application/ms-tnef")), false, false},
        {"forwarded LF", withLf(wrapped(stream, "application/vnd.ms-tnef", true)), false, false},
    };
    for (const Form& form : forms) {
      std::string label = name + " " + form.label;
      RunResult result = convertSteadily(form.input, label);
      ASSERT_EQ(result.status, 0) << label << result.err;
      const std::string& output = result.out;
      EXPECT_TRUE(onlyLineEnd(output, form.crlf)) << label;
      Parsed parsed = parse(output);
      ASSERT_TRUE(parsed.parsed) << label;
      // oom.tnef holds nothing; its stream goes along as it stands. The
      // signed message is its signed entity, whose signature still verifies.
      if (name == "uponu-signed.tnef") {
        EXPECT_TRUE(signatureVerifies(output)) << label;
      } else if (name != "oom.tnef") {
        // Two RTF bodies show no text: the meeting's (a line break), and the
        // Russian mail's (only the places of its attachments).
        expectEverythingSaved(saved, parsed, label,
                              name != "horde-TnefMeetingRequest.tnef" && name != "mailtnef-winmail-cp1251.tnef");
      }
      TempDir dir;
      std::ofstream(dir / "out.eml", std::ios::binary) << output;
      std::string python = pythonView(dir / "out.eml");
      if (!python.empty()) {
        EXPECT_NE(python.find("defects 0"), std::string::npos) << label << ": " << python;
      }
      if (form.bare) continue;
      // The outer message's own parts and headers are as they were, byte for byte.
      std::string newline = form.crlf ? "\r\n" : "\n";
      auto lines = [&](const std::string& text) { return form.crlf ? text : withLf(text); };
      EXPECT_EQ(parsed.headers["Subject"], "Fwd: the mail") << label;
      EXPECT_EQ(parsed.headers["From"], "Ada <ada@example.org>") << label;
      ASSERT_GE(parsed.leaves.size(), 2u) << label;
      // (The line break before a boundary belongs to the boundary.)
      EXPECT_EQ(parsed.leaves[0].content + newline, lines(kOuterText)) << label;
      EXPECT_EQ(parsed.leaves[1].filename, "other.pdf") << label;
      EXPECT_EQ(parsed.leaves[1].content + newline, lines(kOtherAttachment)) << label;
      std::string head = form.input.substr(0, form.input.find("--outer" + newline + "Content-Type: application/"));
      EXPECT_EQ(output.compare(0, head.size(), head), 0) << label;
      // No TNEF part is left, but oom.tnef's, as it stood.
      std::size_t kept = std::count_if(parsed.leaves.begin(), parsed.leaves.end(), [&](const Leaf& leaf) {
        return leaf.filename == "winmail.dat" && leaf.content == stream;
      });
      EXPECT_EQ(kept, name == "oom.tnef" ? 1u : 0u) << label;
      EXPECT_TRUE(parsed.ofType("application/ms-tnef").empty() || name == "oom.tnef") << label;
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
  EXPECT_EQ(help.out.rfind("Usage: wendrel-mime [--crlf] [-o OUTPUT] [FILE]\n", 0), 0u);
  RunResult version = runMime({"--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("wendrel-mime (wendrel/", 0), 0u);
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"-x"}, {"--bogus"}, {"-o"}, {"a", "b"}, {"-o", ""}, {"--output-dir"}, {"--output-dir", "d"},
           {"--files-from", "list"}, {"-o", "x", "--output-dir", "d", "a"}, {"--output-dir=", "a"}}) {
    RunResult result = runMime(wrong, dir.path());
    EXPECT_EQ(result.status, 64) << ::testing::PrintToString(wrong);
    EXPECT_NE(result.err.find("Try 'wendrel-mime --help'"), std::string::npos) << wrong[0];
  }

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
  EXPECT_EQ(nowhere.status, 75);
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
    EXPECT_EQ(full.status, 75);
    EXPECT_NE(full.err.find("cannot write standard output: No space left on device"), std::string::npos) << full.err;
  }
}

// ---- In a mail system's delivery path ----

RunResult runMimeWith(const std::vector<std::string>& arguments, RunOptions options) {
  if (options.executable.empty()) options.executable = WENDREL_MIME_BINARY;
  options.invocationName = "wendrel-mime";
  return runWendrel(arguments, options);
}

// A bare stream with one attachment of size bytes.
Bytes streamWithAttachment(std::size_t size) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
  return StreamBuilder().record(0x00018004, cString("big")).record(0x00018010, cString("big.bin"), 2)
      .record(0x0006800F, data, 2).bytes();
}

// Every failure gets the status sysexits.h gives it: 66 for an input that is
// not there or not readable (the mail bounces), 75 for all a later try may
// get past (the mail waits in the queue).
TEST(Mime, StatusesThatMailSystemsActOn) {
  TempDir dir;
  writeFile(dir / "note.tnef", noteStream());
  fs::create_directory(dir / "directory");
  struct Case {
    std::string name;
    std::vector<std::string> arguments;
    int status;
    std::string err;
  } cases[] = {
      {"a missing file", {"missing.eml"}, 66, "wendrel-mime: cannot read missing.eml: No such file or directory\n"},
      {"a directory", {"directory"}, 66, "wendrel-mime: cannot read directory: Is a directory\n"},
      {"no such directory for OUTPUT", {"-o", "no/such/out.eml", "note.tnef"}, 75,
       "wendrel-mime: cannot write no/such/out.eml: No such file or directory\n"},
      {"OUTPUT a directory", {"-o", "directory", "note.tnef"}, 75, "wendrel-mime: cannot write directory: Is a directory\n"},
  };
  for (const Case& c : cases) {
    RunOptions options;
    options.workingDirectory = dir.path();
    RunResult result = runMimeWith(c.arguments, options);
    EXPECT_EQ(result.status, c.status) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
  }
  // A device that is always full, made here: written in place, never replaced.
  if (::mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
    RunOptions options;
    options.workingDirectory = dir.path();
    RunResult result = runMimeWith({"-o", "full", "note.tnef"}, options);
    EXPECT_EQ(result.status, 75);
    EXPECT_EQ(result.err, "wendrel-mime: cannot write full: No space left on device\n");
    struct stat status {};
    EXPECT_TRUE(::stat((dir / "full").c_str(), &status) == 0 && S_ISCHR(status.st_mode));
  }
  // A file system that fills up part way: OUTPUT stays as it was.
  RunOptions mounted;
  mounted.workingDirectory = dir.path();
  mounted.launcher = {"unshare", "--mount", "bash", "-c",
                      "mount -t tmpfs -o size=64k tmpfs directory || exit 99; printf before > directory/out.eml; "
                      "\"$0\" \"$@\"; status=$?; cat directory/out.eml > kept; ls directory > left; exit $status"};
  writeFile(dir / "big.tnef", streamWithAttachment(200'000));
  RunResult full = runMimeWith({"-o", "directory/out.eml", "big.tnef"}, mounted);
  if (full.status != 99 && full.status != 126 && full.status != 127) {
    EXPECT_EQ(full.status, 75) << full.err;
    EXPECT_EQ(full.err, "wendrel-mime: cannot write directory/out.eml: No space left on device\n");
    EXPECT_EQ(readFile(dir / "kept"), "before");
    EXPECT_EQ(readFile(dir / "left"), "out.eml\n");
  }
  // What only another user meets: a file it may not read (66), a directory
  // it may not write in (75).
  std::string why;
  std::unique_ptr<TempDir> scratch = scratchForNobody(WENDREL_MIME_BINARY, "--version", why);
  if (!scratch) GTEST_SKIP() << "no directory from which user nobody can run wendrel-mime:" << why;
  writeFile(*scratch / "note.tnef", noteStream());
  fs::permissions(*scratch / "note.tnef", fs::perms::owner_all | fs::perms::others_read);
  RunOptions nobody;
  nobody.executable = *scratch / "wendrel-mime";
  nobody.workingDirectory = scratch->path();
  nobody.asNobody = true;
  RunResult unreadable = runMimeWith({"locked.tnef"}, nobody);
  EXPECT_EQ(unreadable.status, 66);
  EXPECT_EQ(unreadable.err, "wendrel-mime: cannot read locked.tnef: Permission denied\n");
  if (::geteuid() == 0) {
    RunResult readOnly = runMimeWith({"-o", "out.eml", "note.tnef"}, nobody);
    EXPECT_EQ(readOnly.status, 75);
    EXPECT_EQ(readOnly.err, "wendrel-mime: cannot write out.eml: Permission denied\n");
  }
}

// However little memory there is, the run ends with 0 or 75 (never a
// signal), and OUTPUT is whole or as it was.
TEST(Mime, MemoryThatRunsOutDefersTheMessage) {
  if (WENDREL_SANITIZED) GTEST_SKIP() << "the sanitizers reserve more address space than a limit leaves";
  TempDir dir;
  writeFile(dir / "big.tnef", streamWithAttachment(std::size_t{24} << 20));
  std::ofstream(dir / "big.eml", std::ios::binary) << wrapped(bytesText(streamWithAttachment(std::size_t{8} << 20)),
                                                              "application/ms-tnef");
  bool deferred = false, written = false;
  for (const char* input : {"big.tnef", "big.eml"}) {
    for (int limit : {24'000, 40'000, 60'000, 90'000, 130'000, 200'000, 400'000}) {
      std::string label = std::string(input) + " " + std::to_string(limit) + " KiB";
      writeFile(dir / "out.eml", textBytes("before"));
      RunOptions options;
      options.workingDirectory = dir.path();
      options.launcher = {"bash", "-c", "ulimit -v " + std::to_string(limit) + " && exec \"$0\" \"$@\""};
      RunResult result = runMimeWith({"-o", "out.eml", input}, options);
      ASSERT_TRUE(result.status == 0 || result.status == 75) << label << ": " << result.status << " " << result.err;
      std::string output = readFile(dir / "out.eml");
      if (result.status == 75) {
        EXPECT_EQ(output, "before") << label;
        EXPECT_NE(result.err.find("out of memory"), std::string::npos) << label << result.err;
        deferred = true;
      } else {
        EXPECT_TRUE(parse(output).parsed) << label;
        written = true;
      }
      std::vector<std::string> left;
      for (const auto& [name, contents] : snapshot(dir.path())) left.push_back(name);
      EXPECT_EQ(left, (std::vector<std::string>{"big.eml", "big.tnef", "out.eml"})) << label;
    }
  }
  EXPECT_TRUE(deferred && written);
}

// The mbox envelope line stays first, as it was.
TEST(Mime, MboxEnvelopeLineStaysFirst) {
  std::string envelope = "From ada@example.org Tue Dec 10 10:00:00 2024\r\n";
  std::string input = envelope + wrapped(bytesText(noteStream()), "application/ms-tnef");
  RunResult result = convertSteadily(input, "mbox");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.compare(0, envelope.size(), envelope), 0) << result.out.substr(0, 200);
  EXPECT_EQ(parse(result.out.substr(envelope.size())).ofType("text/csv").size(), 1u);
  EXPECT_TRUE(onlyLineEnd(result.out, true));
  // Without TNEF the whole input comes out as it came.
  std::string plain = "From ada@example.org Tue Dec 10 10:00:00 2024\nSubject: plain\n\nText.\n";
  EXPECT_EQ(convertBytes(plain).out, plain);
}

// A bare stream's message ends its lines in LF, or with --crlf in CRLF.
TEST(Mime, BareStreamsTakeTheLineEndAskedFor) {
  std::string stream = bytesText(noteStream());
  for (bool crlf : {false, true}) {
    RunResult result = convertSteadily(stream, crlf ? "--crlf" : "LF", crlf ? std::vector<std::string>{"--crlf"}
                                                                           : std::vector<std::string>{});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(onlyLineEnd(result.out, crlf)) << crlf;
    EXPECT_EQ(parse(result.out).ofType("text/csv").size(), 1u) << crlf;
  }
}

// -o writes into what is there: a device or a FIFO in place, a symbolic
// link's target (the link stays), a file with its own mode and owner; a new
// file is made 0600.
TEST(Mime, OutputIntoWhatIsThere) {
  TempDir dir;
  writeFile(dir / "note.tnef", noteStream());
  RunOptions options;
  options.workingDirectory = dir.path();
  std::string expected = runMimeWith({"note.tnef"}, options).out;
  ASSERT_FALSE(expected.empty());
  auto modeOf = [](const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0u;
  };
  auto only = [&](std::vector<std::string> names) {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    std::sort(names.begin(), names.end());
    return left == names;
  };
  ::umask(022);
  // A new file, and files of other modes.
  EXPECT_EQ(runMimeWith({"-o", "new.eml", "note.tnef"}, options).status, 0);
  EXPECT_EQ(modeOf(dir / "new.eml") & 07777, 0600u);
  for (unsigned mode : {0600u, 0640u, 0444u}) {
    writeFile(dir / "old.eml", textBytes("old"));
    ::chmod((dir / "old.eml").c_str(), mode);
    EXPECT_EQ(runMimeWith({"-o", "old.eml", "note.tnef"}, options).status, 0) << mode;
    EXPECT_EQ(modeOf(dir / "old.eml") & 07777, mode);
    EXPECT_EQ(readFile(dir / "old.eml"), expected) << mode;
  }
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((dir / "old.eml").c_str(), 65534, 65534), 0);
    EXPECT_EQ(runMimeWith({"-o", "old.eml", "note.tnef"}, options).status, 0);
    struct stat status {};
    ASSERT_EQ(::stat((dir / "old.eml").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(status.st_gid, 65534u);
  }
  // Symbolic links, to a file and to where one will be: the target is written.
  fs::create_directory(dir / "real");
  writeFile(dir / "real" / "target.eml", textBytes("old"));
  fs::create_symlink("real/target.eml", dir / "link.eml");
  fs::create_symlink(dir / "real" / "later.eml", dir / "dangling.eml");
  for (const char* link : {"link.eml", "dangling.eml"}) {
    EXPECT_EQ(runMimeWith({"-o", link, "note.tnef"}, options).status, 0) << link;
    EXPECT_TRUE(S_ISLNK(modeOf(dir / link))) << link;
  }
  EXPECT_EQ(readFile(dir / "real" / "target.eml"), expected);
  EXPECT_EQ(readFile(dir / "real" / "later.eml"), expected);
  EXPECT_EQ(modeOf(dir / "real" / "later.eml") & 07777, 0600u);
  std::vector<std::string> inReal;
  for (const auto& entry : fs::directory_iterator(dir / "real")) inReal.push_back(entry.path().filename().string());
  std::sort(inReal.begin(), inReal.end());
  EXPECT_EQ(inReal, (std::vector<std::string>{"later.eml", "target.eml"}));
  // A FIFO: written in place for whoever reads it.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  RunOptions reader = options;
  reader.launcher = {"bash", "-c", "cat fifo > got & \"$0\" \"$@\"; status=$?; wait; exit $status"};
  EXPECT_EQ(runMimeWith({"-o", "fifo", "note.tnef"}, reader).status, 0);
  EXPECT_EQ(readFile(dir / "got"), expected);
  EXPECT_TRUE(S_ISFIFO(modeOf(dir / "fifo")));
  // A character device (a copy of /dev/null, made here): it stays one.
  std::vector<std::string> names{"note.tnef", "new.eml", "old.eml", "real", "link.eml", "dangling.eml", "fifo", "got"};
  if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    EXPECT_EQ(runMimeWith({"-o", "null", "note.tnef"}, options).status, 0);
    EXPECT_TRUE(S_ISCHR(modeOf(dir / "null")));
    names.push_back("null");
  }
  EXPECT_TRUE(only(names));
}

// Every text from the input that a diagnostic carries is made safe to show:
// no escape sequence reaches a terminal, no line break a log.
TEST(Mime, DiagnosticsAreSafeToShow) {
  TempDir dir;
  auto notTnef = [](const std::string& disposition) {
    return "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
           "Content-Type: application/ms-tnef\r\nContent-Disposition: attachment; " + disposition + "\r\n\r\n"
           "not TNEF\r\n--b--\r\n";
  };
  std::ofstream(dir / "escape.eml", std::ios::binary) << notTnef("filename*=utf-8''ev%1B%5D0%3Bpwned%07il.dat");
  std::ofstream(dir / "forged.eml", std::ios::binary) << notTnef("filename*=utf-8''x.dat%0Awendrel-mime:%20forged%20line");
  Bytes inner = StreamBuilder().record(0x00018004, cString("inner")).recordClaiming(0x00018004, 500, cString("cut")).bytes();
  writeFile(dir / "attached.tnef", StreamBuilder().record(0x00018004, cString("outer")).record(0x00069002, Bytes(14, 0), 2)
                                        .record(0x00069005, objectProperties({embeddedMessage(inner)}, "in\x1b[2Jner\x07"), 2)
                                        .bytes());
  struct Case {
    std::string input, shows;
  } cases[] = {
      {"escape.eml", "TNEF part ev\\x1b]0;pwned\\x07il.dat has no TNEF signature"},
      {"forged.eml", "TNEF part x.dat\\x0awendrel-mime: forged line has no TNEF signature"},
      {"attached.tnef", "attached message in\\x1b[2Jner\\x07 is damaged"},
      {"missing\x1b[31m\nname\xFF.eml", "cannot read missing\\x1b[31m\\x0aname\\xff.eml: No such file"},
  };
  for (const Case& c : cases) {
    RunOptions options;
    options.workingDirectory = dir.path();
    RunResult result = runMimeWith({"-o", "out.eml", c.input}, options);
    EXPECT_NE(result.err.find(c.shows), std::string::npos) << c.shows << "\n" << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(std::none_of(result.err.begin(), result.err.end() - 1, [](char ch) {
      auto byte = static_cast<unsigned char>(ch);
      return byte < 0x20 || byte == 0x7F || byte >= 0x80;
    })) << result.err;
  }
}

// The same input gives the same bytes, and converting the output changes
// nothing, whatever a conversion keeps or makes.
TEST(Mime, TheSameInputGivesTheSameMessage) {
  Bytes note = noteStream();
  ItemProperties meetingProperties;
  meetingProperties.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, unixTime(2024, 3, 4, 17))
      .time(NamedSet::appointment, 0x820E, unixTime(2024, 3, 4, 18));
  Bytes meeting = calendarStream("IPM.Schedule.Meeting.Request", meetingProperties);
  // An attachment that is itself a TNEF stream is what the conversion gives.
  Bytes carrier = StreamBuilder().record(0x00018004, cString("carrier")).record(0x00018010, cString("winmail.dat"), 2)
                      .record(0x0006800F, note, 2).bytes();
  std::string inputs[] = {
      bytesText(note),
      bytesText(meeting),
      bytesText(carrier),
      bytesText(Bytes(note.begin(), note.end() - 20)),
      wrapped(bytesText(note), "application/ms-tnef"),
      withLf(wrapped(bytesText(meeting), "application/octet-stream", true)),
      wrapped(bytesText(Bytes(note.begin(), note.end() - 20)), "application/ms-tnef"),
      wrapped(bytesText(carrier), "application/ms-tnef"),
  };
  for (std::size_t i = 0; i < std::size(inputs); ++i) {
    RunResult result = convertSteadily(inputs[i], "input " + std::to_string(i));
    EXPECT_EQ(result.status, 0) << i;
    EXPECT_EQ(result.out.find("=-"), std::string::npos) << i << ": a boundary GMime made up";
  }
}

// --output-dir converts each input on its own; one that fails is reported
// on its own line, and the status is the worst of them.
TEST(Mime, ManyMessagesInOneRun) {
  TempDir dir;
  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  fs::create_directories(dir / "out");
  Bytes note = noteStream();
  writeFile(dir / "a" / "note.tnef", note);
  writeFile(dir / "b" / "note.tnef", Bytes(note.begin(), note.end() - 20));
  std::ofstream(dir / "mail.eml", std::ios::binary) << wrapped(bytesText(note), "application/ms-tnef");
  std::ofstream(dir / "list", std::ios::binary) << "mail.eml\nmissing.eml\n";
  RunOptions options;
  options.workingDirectory = dir.path();
  options.stdinPath = (dir / "list").string();
  RunResult result = runMimeWith({"--output-dir", "out", "a/note.tnef", "b/note.tnef", "--files-from", "-"}, options);
  EXPECT_EQ(result.status, 66) << result.err;
  EXPECT_EQ(result.err, "wendrel-mime: b/note.tnef: the TNEF stream is damaged 59 bytes before its end: converted as far "
                        "as it goes, and attached as it stands\n"
                        "wendrel-mime: cannot read missing.eml: No such file or directory\n");
  std::vector<std::string> made;
  for (const auto& [name, contents] : snapshot(dir / "out")) {
    made.push_back(name);
    EXPECT_TRUE(parse(contents).parsed) << name;
  }
  EXPECT_EQ(made, (std::vector<std::string>{"mail.eml", "note-1.tnef", "note.tnef"}));
  // Each the same as converted alone.
  EXPECT_EQ(readFile(dir / "out" / "note.tnef"), runMimeWith({"a/note.tnef"}, options).out);
  EXPECT_EQ(readFile(dir / "out" / "mail.eml"), runMimeWith({"mail.eml"}, options).out);
  // An output that cannot be written is worse than a missing input.
  fs::remove(dir / "out" / "mail.eml");
  fs::create_directory(dir / "out" / "mail.eml");
  RunResult blocked = runMimeWith({"--output-dir", "out", "missing.eml", "mail.eml", "a/note.tnef"}, options);
  EXPECT_EQ(blocked.status, 75);
  EXPECT_NE(blocked.err.find("cannot write out/mail.eml: Is a directory"), std::string::npos) << blocked.err;
  EXPECT_EQ(runMimeWith({"--output-dir", "no-such-dir", "a/note.tnef"}, options).status, 75);
}

}  // namespace
}  // namespace wendrel::test

namespace wendrel::test {
namespace {

// ---- Every kind of message ----

// Converts a stream bare and inside a message; each must read back without
// a defect and leave no TNEF part. Returns the two outputs.
std::vector<std::string> convertBothWays(const Bytes& stream, const std::string& label) {
  std::vector<std::string> outputs;
  for (const std::string& input : {bytesText(stream), wrapped(bytesText(stream), "application/ms-tnef")}) {
    RunResult result = convertSteadily(input, label);
    EXPECT_EQ(result.status, 0) << label << result.err;
    Parsed parsed = parse(result.out);
    EXPECT_TRUE(parsed.parsed) << label;
    EXPECT_TRUE(parsed.ofType("application/ms-tnef").empty()) << label;
    TempDir dir;
    std::ofstream(dir / "out.eml", std::ios::binary) << result.out;
    std::string python = pythonView(dir / "out.eml");
    EXPECT_TRUE(python.empty() || python.find("defects 0") != std::string::npos) << label << ": " << python;
    outputs.push_back(result.out);
  }
  return outputs;
}

TEST(MimeKinds, ReceiptsAreDispositionNotifications) {
  struct Case {
    std::string messageClass, disposition, says;
  } cases[] = {
      {"REPORT.IPM.Note.IPNRN", "displayed", "was read on Tue, 05 Mar 2024 09:00:00 +0000."},
      {"report.ipm.note.ipnnrn", "deleted", "was deleted without being read on Tue, 05 Mar 2024 09:00:00 +0000."},
      {"IPM.Microsoft Mail.Read Receipt", "displayed", "was read on"},
  };
  for (const Case& c : cases) {
    ItemProperties p;
    p.text(0x0049, "Quarterly figures").text(0x0074, "grace@example.org").time(0x0032, unixTime(2024, 3, 5, 9))
        .time(0x004E, unixTime(2024, 3, 4, 17)).text(0x1046, "<1234@example.org>")
        .text(0x0C1A, "Grace Hopper").text(0x5D01, "grace@example.org");
    for (const std::string& output : convertBothWays(calendarStream(c.messageClass, p), c.messageClass)) {
      EXPECT_NE(output.find("report-type=disposition-notification"), std::string::npos) << c.messageClass;
      Parsed parsed = parse(output);
      std::vector<const Leaf*> text = parsed.ofType("text/plain");
      std::vector<const Leaf*> report = parsed.ofType("message/disposition-notification");
      ASSERT_FALSE(text.empty()) << c.messageClass;
      ASSERT_EQ(report.size(), 1u) << c.messageClass;
      EXPECT_EQ(report[0]->path.back(), "multipart/report");
      EXPECT_NE(text.back()->content.find("Subject: Quarterly figures"), std::string::npos) << text.back()->content;
      EXPECT_NE(text.back()->content.find(c.says), std::string::npos) << text.back()->content;
      for (const std::string& field : {std::string("Final-Recipient: rfc822;grace@example.org"),
                                       std::string("Original-Message-ID: <1234@example.org>"),
                                       "Disposition: manual-action/MDN-sent-manually; " + c.disposition}) {
        EXPECT_NE(report[0]->content.find(field), std::string::npos) << c.messageClass << ": " << report[0]->content;
      }
    }
  }
}

TEST(MimeKinds, DeliveryReportsAreDeliveryStatusNotifications) {
  ItemProperties byCode = recipientRow("Grace Hopper", "grace@example.org", 1);
  byCode.integer(0x0C20, 511).text(0x0C21, "mx.example.org")
      .text(0x0C1B, "<mx.example.org #5.1.1 smtp;550 5.1.1 no such user>");
  ItemProperties byDiagnostic = recipientRow("Alan Turing", "alan@example.org", 1);
  byDiagnostic.integer(0x0C05, 48).integer(0x0C04, 0);
  Bytes rows = recipientTable({byCode, byDiagnostic});
  struct Case {
    std::string messageClass, action, grace, alan;
  } cases[] = {
      {"REPORT.IPM.Note.NDR", "failed", "5.1.1", "5.1.2"},
      {"REPORT.IPM.Note.DR", "delivered", "5.1.1", "2.0.0"},
      {"Report.IPM.Note.Delayed.DR", "delayed", "5.1.1", "4.0.0"},
  };
  for (const Case& c : cases) {
    ItemProperties p;
    p.text(0x0049, "Quarterly figures").text(0x6820, "relay.example.org");
    for (const std::string& output : convertBothWays(calendarStream(c.messageClass, p, rows), c.messageClass)) {
      EXPECT_NE(output.find("report-type=delivery-status"), std::string::npos) << c.messageClass;
      Parsed parsed = parse(output);
      std::vector<const Leaf*> report = parsed.ofType("message/delivery-status");
      ASSERT_EQ(report.size(), 1u) << c.messageClass;
      const std::string& fields = report[0]->content;
      for (std::string field : {"Reporting-MTA: dns; relay.example.org\n\nFinal-Recipient: rfc822;grace@example.org\n"
                                "Action: " + c.action + "\nStatus: " + c.grace + "\nRemote-MTA: dns; mx.example.org\n"
                                "Diagnostic-Code: smtp;550 5.1.1 no such user\n",
                                "Final-Recipient: rfc822;alan@example.org\nAction: " + c.action + "\nStatus: " + c.alan + "\n"}) {
        std::string lf = withLf(fields);
        EXPECT_NE(lf.find(field), std::string::npos) << c.messageClass << ":\n" << lf;
      }
      // The text the report made, before its report part.
      std::vector<const Leaf*> text = parsed.ofType("text/plain");
      ASSERT_FALSE(text.empty());
      EXPECT_EQ(text.back()->path.back(), "multipart/report");
      EXPECT_NE(text.back()->content.find("Grace Hopper <grace@example.org>"), std::string::npos) << text.back()->content;
    }
  }
}

TEST(MimeKinds, RecallsSayWhatTheyAre) {
  ItemProperties p;
  p.text(0x0049, "Quarterly figures").text(0x0C1A, "Ada Lovelace").text(0x5D01, "ada@example.org");
  for (const std::string& output : convertBothWays(calendarStream("IPM.Outlook.Recall", p), "recall")) {
    Parsed parsed = parse(output);
    std::vector<const Leaf*> text = parsed.ofType("text/plain");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(withLf(text.back()->content), "Ada Lovelace would like to recall the message, \"Quarterly figures\".\n");
  }
  // One that says it in its own words keeps them.
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  Bytes real = textBytes(readFile(corpusDirectory() / "lkml-recall-cp949.tnef"));
  for (const std::string& output : convertBothWays(real, "lkml recall")) {
    Parsed parsed = parse(output);
    std::vector<const Leaf*> text = parsed.ofType("text/plain");
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back()->content.find("[PATCH] arm64: fpsimd"), std::string::npos) << text.back()->content;
  }
}

// Signed and encrypted mail keeps what makes it so: the signed entity goes
// as it stands and still verifies; the encrypted data, under its type,
// still decrypts. With a key and a certificate made here for the test.
TEST(MimeKinds, SignedAndEncryptedMailStaysSo) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not installed";
  TempDir dir;
  auto run = [&](const std::string& command) {
    return std::system(("cd '" + dir.path().string() + "' && " + command + " >/dev/null 2>&1").c_str()) == 0;
  };
  ASSERT_TRUE(run("openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=wendrel-test"));
  std::ofstream(dir / "content.eml", std::ios::binary)
      << "Content-Type: text/plain; charset=us-ascii\r\n\r\nSigned with a long line " << std::string(200, 'x') << "\r\n";
  ASSERT_TRUE(run("openssl smime -sign -in content.eml -signer cert.pem -inkey key.pem -out signed.eml"));
  ASSERT_TRUE(run("openssl smime -encrypt -in content.eml -outform DER -out encrypted.der cert.pem"));
  auto smimeStream = [](std::string_view messageClass, const std::string& data, std::string_view type) {
    return StreamBuilder().record(0x00078008, cString(messageClass)).record(0x00018004, cString("Secure"))
        .record(0x00069002, Bytes(14, 0), 2).record(0x00018010, cString("smime.p7m"), 2)
        .record(0x0006800F, textBytes(data), 2)
        .record(0x00069005, MapiListBuilder().unicode(0x370E001F, type).bytes(), 2).bytes();
  };
  Bytes signedStream = smimeStream("IPM.Note.SMIME.MultipartSigned", readFile(dir / "signed.eml"), "multipart/signed");
  std::vector<std::string> outputs = convertBothWays(signedStream, "signed");
  outputs.push_back(convertSteadily(withLf(wrapped(bytesText(signedStream), "application/ms-tnef")), "signed LF").out);
  for (const std::string& output : outputs) {
    EXPECT_TRUE(signatureVerifies(output)) << output;
    Parsed parsed = parse(output);
    // (openssl names it with "x-".)
    EXPECT_EQ(parsed.ofType("application/x-pkcs7-signature").size() + parsed.ofType("application/pkcs7-signature").size(), 1u);
  }
  EXPECT_TRUE(onlyLineEnd(outputs.back(), false));
  // A NUL in its header could not be written as it stands: the entity stays an attachment.
  std::string withNul = readFile(dir / "signed.eml");
  withNul.insert(withNul.find("multipart/signed;") + 17, 1, '\0');
  for (const std::string& output : convertBothWays(smimeStream("IPM.Note.SMIME.MultipartSigned", withNul, ""), "NUL")) {
    Parsed parsed = parse(output);
    EXPECT_TRUE(parsed.ofType("multipart/signed").empty()) << output;
    std::vector<const Leaf*> kept = parsed.ofType("application/pkcs7-mime");
    ASSERT_EQ(kept.size(), 1u) << output;
    EXPECT_EQ(kept[0]->content, withNul);
  }
  // The encrypted data is the message's body, and decrypts.
  Bytes encrypted = smimeStream("IPM.Note.SMIME", readFile(dir / "encrypted.der"), "application/pkcs7-mime");
  outputs = convertBothWays(encrypted, "encrypted");
  std::ofstream(dir / "bare.eml", std::ios::binary) << outputs[0];
  EXPECT_NE(outputs[0].find("smime-type=enveloped-data"), std::string::npos) << outputs[0];
  ASSERT_TRUE(run("openssl smime -decrypt -in bare.eml -recip cert.pem -inkey key.pem -out decrypted.eml"));
  EXPECT_EQ(readFile(dir / "decrypted.eml"), readFile(dir / "content.eml"));
}

// The real receipt, signed message and task request.
TEST(MimeKinds, RealReceiptSignedMailAndTaskRequest) {
  if (corpusDirectory().empty()) GTEST_SKIP() << noCorpus();
  auto stream = [](const char* name) { return textBytes(readFile(corpusDirectory() / name)); };
  for (const std::string& output : convertBothWays(stream("spamassassin-read-receipt-cp1250.tnef"), "receipt")) {
    Parsed parsed = parse(output);
    std::vector<const Leaf*> report = parsed.ofType("message/disposition-notification");
    ASSERT_EQ(report.size(), 1u);
    EXPECT_NE(report[0]->content.find("Final-Recipient: rfc822;miha.mohorcic@ijs.si"), std::string::npos);
    EXPECT_NE(report[0]->content.find("; displayed"), std::string::npos);
    EXPECT_NE(parsed.ofType("text/plain").back()->content.find("Subject: PhD tema"), std::string::npos);
  }
  for (const std::string& output : convertBothWays(stream("horde-activesync-task-from-mike.tnef"), "task request")) {
    Parsed parsed = parse(output);
    std::vector<const Leaf*> calendars = parsed.ofType("text/calendar");
    ASSERT_EQ(calendars.size(), 1u);
    EXPECT_EQ(calendars[0]->filename, "Task from Mike.ics");
    EXPECT_EQ(calendars[0]->disposition, "attachment");
    // What a mail program shows: the request's own text.
    bool shown = std::any_of(parsed.leaves.begin(), parsed.leaves.end(), [](const Leaf& leaf) {
      return leaf.content.find("Due Date:") != std::string::npos && leaf.type == "text/plain";
    });
    EXPECT_TRUE(shown);
  }
  std::string signedOutput = convertBothWays(stream("uponu-signed.tnef"), "signed")[0];
  EXPECT_TRUE(signatureVerifies(signedOutput));
  EXPECT_EQ(signedOutput.find("Subject: Outlook 2003 signiert + Anhang\n"), 0u) << signedOutput.substr(0, 300);
}

// Tasks, which mail programs do not show as invitations, go after the
// bodies as a file; meetings stay among them.
TEST(MimeKinds, TasksAreFilesMeetingsAreInvitations) {
  ItemProperties task;
  task.text(0x0037, "Paint the shed").text(0x1000, "Before the rain.");
  ItemProperties meetingProperties;
  meetingProperties.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, unixTime(2024, 3, 4, 17))
      .time(NamedSet::appointment, 0x820E, unixTime(2024, 3, 4, 18)).text(0x1000, "The figures.");
  struct Case {
    std::string name;
    Bytes stream;
    bool attached;
  } cases[] = {
      {"task", calendarStream("IPM.Task", task), true},
      {"meeting", calendarStream("IPM.Schedule.Meeting.Request", meetingProperties), false},
  };
  for (const Case& c : cases) {
    for (const std::string& output : convertBothWays(c.stream, c.name)) {
      Parsed parsed = parse(output);
      std::vector<const Leaf*> calendars = parsed.ofType("text/calendar");
      ASSERT_EQ(calendars.size(), 1u) << c.name;
      EXPECT_EQ(calendars[0]->path.back() == "multipart/alternative", !c.attached) << c.name;
      EXPECT_EQ(calendars[0]->disposition == "attachment", c.attached) << c.name;
      if (c.attached) {
        EXPECT_EQ(calendars[0]->filename, "Paint the shed.ics");
      }
      EXPECT_FALSE(parsed.ofType("text/plain").empty()) << c.name;
    }
  }
}

// cid: URLs are percent-encoded (RFC 2392).
TEST(MimeKinds, PicturesByEncodedContentIds) {
  ItemProperties p;
  p.binary(0x1013, textBytes("<img src=\"cid:chart%40example.com\"><img src=\"CID:Other@Example.com\">"));
  StreamBuilder stream;
  stream.record(0x00069003, p.bytes());
  for (const char* id : {"chart@example.com", "<other@example.com>"}) {
    stream.record(0x00069002, Bytes(14, 0), 2).record(0x00018010, cString("p.png"), 2)
        .record(0x0006800F, textBytes("\x89PNG"), 2)
        .record(0x00069005, MapiListBuilder().unicode(0x3712001F, id).bytes(), 2);
  }
  for (const std::string& output : convertBothWays(stream.bytes(), "cid")) {
    Parsed parsed = parse(output);
    std::size_t inline_ = 0;
    for (const Leaf& leaf : parsed.leaves) {
      if (leaf.filename == "p.png" && leaf.disposition == "inline" && leaf.path.back() == "multipart/related") ++inline_;
    }
    EXPECT_EQ(inline_, 2u) << output;
  }
}

// Names made from a subject hold nothing a file name may not; attached
// messages have one; an RTF body that shows no text is left out.
TEST(MimeKinds, NamesMadeFromSubjects) {
  Bytes inner = StreamBuilder().record(0x00018004, cString("Re: \"Plan\" <v2>?")).record(0x0002800C, cString("inner text"))
                    .bytes();
  Bytes untitled = StreamBuilder().record(0x0002800C, cString("no subject")).bytes();
  ItemProperties shows, blank;
  shows.binary(0x1009, compressedRtf("{\\rtf1\\ansi Quarterly figures\\par}"));
  blank.binary(0x1009, compressedRtf("{\\rtf1\\ansi\\par\\par}"));
  StreamBuilder stream;
  stream.record(0x00018004, cString("Figures: Q1|Q2")).record(0x00069003, shows.bytes());
  for (const Bytes& message : {inner, untitled}) {
    stream.record(0x00069002, Bytes(14, 0), 2).record(0x00069005, objectProperties({embeddedMessage(message)}), 2);
  }
  for (const std::string& output : convertBothWays(stream.bytes(), "names")) {
    std::vector<std::string> names;
    for (const Leaf& leaf : parse(output).leaves) {
      if (leaf.filename.ends_with(".rtf")) names.push_back(leaf.filename);
    }
    EXPECT_NE(output.find("filename=\"Re_ _Plan_ _v2__.eml\""), std::string::npos) << output;
    EXPECT_NE(output.find("filename=message.eml"), std::string::npos) << output;
    EXPECT_EQ(names, std::vector<std::string>{"Figures_ Q1_Q2.rtf"});
  }
  Bytes blankBody = StreamBuilder().record(0x00018004, cString("x")).record(0x00069003, blank.bytes()).bytes();
  RunResult result = convertBytes(wrapped(bytesText(blankBody), "application/ms-tnef"));
  EXPECT_EQ(result.out.find("application/rtf"), std::string::npos) << result.out;
  EXPECT_EQ(decodeAndSave(blankBody).files.size(), 1u);  // wendrel -s still saves it
}

// A message that shows nothing holds one empty text, not an empty multipart.
TEST(MimeKinds, NothingToShowIsAnEmptyText) {
  Bytes list = StreamBuilder().record(0x00078008, cString("IPM.StickyNote")).record(0x00018004, cString("Team")).bytes();
  StreamBuilder stream;
  stream.record(0x0002800C, cString("Our team.")).record(0x00069002, Bytes(14, 0), 2)
      .record(0x00069005, objectProperties({embeddedMessage(list)}), 2);
  for (const std::string& output : convertBothWays(stream.bytes(), "empty")) {
    Parsed parsed = parse(output);
    bool empty = std::any_of(parsed.leaves.begin(), parsed.leaves.end(), [](const Leaf& leaf) {
      return leaf.type == "text/plain" && leaf.content.empty() && leaf.path.back() == "multipart/mixed" &&
             leaf.path.size() >= 2 && leaf.path[leaf.path.size() - 2] == "message/rfc822";
    });
    EXPECT_TRUE(empty) << output;
  }
}

// Contacts and lists, attached or the message itself, are vCard
// attachments named as wendrel saves them; a list alone still has a body.
TEST(MimeKinds, ContactsAndListsAreVCards) {
  Bytes contact = StreamBuilder().record(0x00078008, cString("IPM.Contact"))
                      .record(0x00069003, ItemProperties().text(0x3001, "Ada: Lovelace").text(0x3A08, "+1 555 0100").bytes())
                      .bytes();
  Bytes list = StreamBuilder().record(0x00078008, cString("IPM.DistList")).record(0x00018004, cString("Team")).bytes();
  StreamBuilder note;
  note.record(0x0002800C, cString("Two cards."));
  for (const Bytes& message : {contact, list}) {
    note.record(0x00069002, Bytes(14, 0), 2).record(0x00069005, objectProperties({embeddedMessage(message)}), 2);
  }
  struct Case {
    std::string name;
    Bytes stream;
    std::vector<std::string> cards;
  } cases[] = {
      {"attached", note.bytes(), {"Ada_ Lovelace.vcf", "Team.vcf"}},
      {"list alone", list, {"Team.vcf"}},
  };
  for (const Case& c : cases) {
    for (const std::string& output : convertBothWays(c.stream, c.name)) {
      Parsed parsed = parse(output);
      std::vector<std::string> names;
      for (const Leaf* card : parsed.ofType("text/vcard")) {
        names.push_back(card->filename);
        EXPECT_EQ(card->disposition, "attachment");
        EXPECT_TRUE(card->content.starts_with("BEGIN:VCARD\r\nVERSION:")) << card->content;
      }
      EXPECT_EQ(names, c.cards) << c.name;
      EXPECT_TRUE(parsed.ofType("message/rfc822").empty()) << c.name;
    }
  }
}

}  // namespace
}  // namespace wendrel::test
