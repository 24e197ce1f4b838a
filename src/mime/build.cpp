// What a decoded TNEF stream becomes in MIME: the parts of one message
// (bodies, calendar item, attachments, attached messages) and, for a whole
// message, its headers.

#include "build.h"

#include "base64.h"
#include "entity.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "wendrel/calendar.h"
#include "wendrel/contacts.h"
#include "wendrel/formats/civil_time.h"
#include "wendrel/formats/code_pages.h"
#include "wendrel/formats/compressed_rtf.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/mime.h"

namespace wendrel::mime {

bool appendTo(ByteView block, void* text) {
  static_cast<std::string*>(text)->append(reinterpret_cast<const char*>(block.data()), block.size());
  return true;
}

std::string lowercase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  return result;
}

GMimeStream* streamOf(const std::string& bytes) {
  return g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
}

std::string text(const PropertyValue* value) {
  std::string result;
  writeTextValue(value, appendTo, &result);
  return result;
}

std::string rfc5322Date(std::int64_t seconds, std::string_view zone) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  civil::DateTime t = civil::fromSeconds(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02u %s %04lld %02u:%02u:%02u %.*s",
                kDays[civil::weekday(civil::floorDivide(seconds, civil::kSecondsPerDay))], t.date.day,
                kMonths[t.date.month - 1], static_cast<long long>(t.date.year), t.hour, t.minute, t.second,
                static_cast<int>(zone.size()), zone.data());
  return text;
}

namespace {

bool isTokenCharacter(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7F && std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// ---- Parts ----

// A part made here whose content starts like a TNEF stream (an attached
// winmail.dat, a damaged stream kept as it stood) is what the conversion
// gives, not TNEF to convert again: it is marked so, and a later run of the
// output leaves it as it is.
void markIfTnefLike(GMimePart* part, GMimeStream* stream) {
  static constexpr char kSignature[4] = {0x78, static_cast<char>(0x9F), 0x3E, 0x22};
  char head[sizeof kSignature];
  g_mime_stream_reset(stream);
  ssize_t count = g_mime_stream_read(stream, head, sizeof head);
  g_mime_stream_reset(stream);
  if (count == sizeof head && std::memcmp(head, kSignature, sizeof head) == 0) {
    g_mime_object_set_header(GMIME_OBJECT(part), kKeptHeader, kKeptValue, nullptr);
  }
}


// Calls look with each block of a stream's bytes, from its start, until it
// returns true; leaves the stream at its start again. Each block after the
// first begins with the last keep bytes of the one before, so that a text of
// up to keep + 1 bytes that spans two blocks is seen whole.
template <typename Look>
bool searchStream(GMimeStream* stream, std::size_t keep, Look look) {
  char block[16384];
  std::size_t carried = 0;
  bool found = false;
  g_mime_stream_reset(stream);
  for (ssize_t count; !found && (count = g_mime_stream_read(stream, block + carried, sizeof block - carried)) > 0;) {
    std::size_t size = carried + static_cast<std::size_t>(count);
    found = look(std::string_view(block, size));
    carried = std::min(keep, size);
    std::memmove(block, block + size - carried, carried);
  }
  g_mime_stream_reset(stream);
  return found;
}

// Boundaries are at most 70 characters (RFC 2046).
constexpr std::size_t kLongestBoundary = 70;

bool holdsAny(std::string_view text, const std::vector<std::string>& needles) {
  return std::any_of(needles.begin(), needles.end(),
                     [&](const std::string& needle) { return !needle.empty() && text.find(needle) != std::string_view::npos; });
}

// A file name as RFC 2231 has it, in UTF-8 (GMime would pick the smallest
// charset that holds the name).
void setFileName(GMimePart* part, const std::string& name) {
  g_mime_part_set_filename(part, name.c_str());
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(GMIME_OBJECT(part));
  GMimeContentType* type = g_mime_object_get_content_type(GMIME_OBJECT(part));
  for (auto [list, key] : {std::pair{disposition != nullptr ? g_mime_content_disposition_get_parameters(disposition) : nullptr, "filename"},
                           std::pair{type != nullptr ? g_mime_content_type_get_parameters(type) : nullptr, "name"}}) {
    if (GMimeParam* parameter = list != nullptr ? g_mime_param_list_get_parameter(list, key) : nullptr) {
      g_mime_param_set_charset(parameter, "utf-8");
    }
  }
}

// Marks a part an attachment, under name when it has one (RFC 2231 UTF-8).
void setAttachment(GMimeObject* object, std::string_view name) {
  GMimeContentDisposition* disposition = g_mime_content_disposition_new();
  g_mime_content_disposition_set_disposition(disposition, "attachment");
  g_mime_object_set_content_disposition(object, disposition);
  g_object_unref(disposition);
  if (name.empty()) return;
  if (GMIME_IS_PART(object)) return setFileName(GMIME_PART(object), std::string(name));
  g_mime_object_set_content_disposition_parameter(object, "filename", std::string(name).c_str());
  GMimeParamList* list = g_mime_content_disposition_get_parameters(g_mime_object_get_content_disposition(object));
  if (GMimeParam* parameter = list != nullptr ? g_mime_param_list_get_parameter(list, "filename") : nullptr) {
    g_mime_param_set_charset(parameter, "utf-8");
  }
}

// A part of type whose content goes in base64, written by our own loop.
GMimePart* base64Part(std::string_view type, GMimeStream* stream) {
  std::size_t slash = type.find('/');
  std::string major(type.substr(0, slash)), minor(type.substr(slash + 1));
  g_object_ref(stream);
  GMimePart* part = newBase64Part(major.c_str(), minor.c_str(), stream);
  markIfTnefLike(part, stream);
  g_object_unref(stream);
  return part;
}

}  // namespace

GMimePart* newPart(std::string_view type, GMimeStream* stream) {
  std::size_t slash = type.find('/');
  std::string major(type.substr(0, slash)), minor(type.substr(slash + 1));
  GMimePart* part = g_mime_part_new_with_type(major.c_str(), minor.c_str());
  GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
  g_mime_part_set_content(part, content);
  g_object_unref(content);
  markIfTnefLike(part, stream);
  g_object_unref(stream);
  return part;
}

// ---- Media types ----

bool isMediaType(std::string_view type) {
  std::size_t slash = type.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == type.size()) return false;
  return std::all_of(type.begin(), type.begin() + static_cast<std::ptrdiff_t>(slash), isTokenCharacter) &&
         std::all_of(type.begin() + static_cast<std::ptrdiff_t>(slash) + 1, type.end(), isTokenCharacter);
}

std::optional<std::string> mediaTypeOf(std::string_view fileName, const char* typesFile) {
  std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == fileName.size()) return std::nullopt;
  std::string extension = lowercase(fileName.substr(dot + 1));
  // Read once per file, the first time it is asked for.
  static std::map<std::string, std::map<std::string, std::string>> tables;
  auto [table, fresh] = tables.try_emplace(typesFile);
  if (fresh) {
    std::ifstream in(typesFile);
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::size_t end = line.find_first_of(" \t");
      std::string type = line.substr(0, end);
      if (end == std::string::npos || !isMediaType(type)) continue;
      for (std::size_t at = end; (at = line.find_first_not_of(" \t", at)) != std::string::npos;) {
        std::size_t stop = line.find_first_of(" \t", at);
        table->second.try_emplace(lowercase(line.substr(at, stop - at)), lowercase(type));
        at = stop;
      }
    }
  }
  auto found = table->second.find(extension);
  if (found == table->second.end()) return std::nullopt;
  return found->second;
}

std::string htmlCharsetLabel(const MessageRecord& message, ByteView html) {
  char buffer[40];
  return std::string(htmlCharsetName(message, html, buffer));
}

// ---- Builder ----

// Text in charset, in whichever of quoted-printable and base64 keeps it
// shortest in 7 bits. Text with CRs goes in base64, which keeps its line
// ends as they are whatever line ends the message is written with (an
// iCalendar object must keep its CRLFs); so does text that holds the
// boundary of a multipart it goes into, where a line of it could end a part.
GMimePart* Builder::textPart(std::string_view type, GMimeStream* stream, const std::string& charset) {
  GMimePart* part = newPart(type, stream);
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "charset", charset.c_str());
  bool base64 = searchStream(stream, kLongestBoundary, [&](std::string_view block) {
    return block.find('\r') != std::string_view::npos || holdsAny(block, enclosing_);
  });
  g_mime_part_set_content_encoding(part, base64 ? GMIME_CONTENT_ENCODING_BASE64
                                                : g_mime_part_get_best_content_encoding(part, GMIME_ENCODING_CONSTRAINT_7BIT));
  return part;
}

GMimeMultipart* Builder::multipart(const char* subtype, const std::vector<GMimeObject*>& parts) {
  GMimeMultipart* container = g_mime_multipart_new_with_subtype(subtype);
  for (GMimeObject* part : parts) {
    g_mime_multipart_add(container, part);
    g_object_unref(part);
  }
  made_.add(container);
  return container;
}

GMimeStream* Builder::range(ByteView bytes) const {
  auto start = bytes.data() - base_;
  if (bytes.data() < base_ || static_cast<std::size_t>(start) > size_ || bytes.size() > size_ - static_cast<std::size_t>(start)) {
    return g_mime_stream_mem_new_with_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  return g_mime_stream_substream(source_, start, start + static_cast<gint64>(bytes.size()));
}

bool Builder::takePart() {
  if (partsLeft_ == 0) {
    overflowed_ = true;
    return false;
  }
  --partsLeft_;
  return true;
}

const PropertySet& Builder::propertiesOf(const MessagePart& part) {
  auto [entry, fresh] = lists_.try_emplace({part.properties.data(), part.properties.size()});
  if (fresh) keepPropertyList(part.properties, entry->second, part.codePage);
  return entry->second;
}

// The type an attachment is sent as: its own MIME tag when that is a type,
// else the one its extension has, else bytes.
std::string Builder::attachmentType(const MessagePart& part) {
  std::string tag = lowercase(text(propertiesOf(part).find(Prop::attachMimeTag)));
  while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\t')) tag.pop_back();
  if (isMediaType(tag)) return tag;
  return mediaTypeOf(part.fileName(), typesFile_).value_or("application/octet-stream");
}

// The bytes of an attachment as wendrel saves them.
GMimeStream* Builder::attachmentBytes(const MessagePart& part) const {
  if (part.kind != PartKind::oleContents) return range(part.bytes);
  GByteArray* picture = g_byte_array_sized_new(static_cast<guint>(std::min<std::uint64_t>(part.contents.size, G_MAXUINT)));
  auto append = [](ByteView block, void* array) {
    g_byte_array_append(static_cast<GByteArray*>(array), block.data(), static_cast<guint>(block.size()));
    return true;
  };
  readCompoundStream(part.contents, append, picture);
  return g_mime_stream_mem_new_with_byte_array(picture);
}

GMimeObject* Builder::attachment(const MessagePart& part, std::string_view contentId) {
  GMimePart* mime = base64Part(attachmentType(part), attachmentBytes(part));
  std::string name(part.fileName());
  GMimeContentDisposition* disposition = g_mime_content_disposition_new();
  g_mime_content_disposition_set_disposition(disposition, contentId.empty() ? "attachment" : "inline");
  g_mime_object_set_content_disposition(GMIME_OBJECT(mime), disposition);
  g_object_unref(disposition);
  if (!name.empty()) setFileName(mime, name);
  if (!contentId.empty()) g_mime_object_set_content_id(GMIME_OBJECT(mime), std::string(contentId).c_str());
  return GMIME_OBJECT(mime);
}

// An attached message, named after its subject so that mail programs show
// it (and save it) under a name.
GMimeObject* Builder::attachedMessage(const MessagePart& part) {
  GMimeMessage* inner = message(*part.message);
  // A multipart holds at least one part (RFC 2046 5.1.1): a message that
  // shows nothing (a list, a task with no text) holds an empty text.
  GMimeObject* body = g_mime_message_get_mime_part(inner);
  if (GMIME_IS_MULTIPART(body) && g_mime_multipart_get_count(GMIME_MULTIPART(body)) == 0) {
    GMimePart* empty = textPart("text/plain", streamOf(""), "utf-8");
    g_mime_multipart_add(GMIME_MULTIPART(body), GMIME_OBJECT(empty));
    g_object_unref(empty);
  }
  GMimeMessagePart* container = g_mime_message_part_new_with_message("rfc822", inner);
  g_object_unref(inner);
  char subject[kScratchSize], name[kScratchSize];
  setAttachment(GMIME_OBJECT(container), fileNameFrom(subjectText(*part.message, subject), ".eml", "message", name));
  return GMIME_OBJECT(container);
}

// An attached message's stream as it stands, beside what it gave when its
// walk ended on a damaged record.
GMimeObject* Builder::damagedMessage(const MessagePart& part) {
  std::string name(part.fileName());
  notes_.push_back("attached message " + (name.empty() ? std::string("without a name") : name) + " is damaged " +
                   std::to_string(part.message->bytesLeft) +
                   " bytes before its end: converted as far as it goes, and attached as it stands");
  GMimePart* original = base64Part("application/ms-tnef", range(part.bytes));
  setFileName(original, (name.empty() ? std::string("attachment") : name) + ".tnef");
  return GMIME_OBJECT(original);
}

// The HTML body: its stored bytes labelled with their charset, Unicode as
// UTF-8; else the HTML its RTF encapsulates. Its UTF-8 (or ASCII-compatible)
// text goes to html for finding the pictures it names.
GMimeObject* Builder::htmlPart(const MessageRecord& record, std::string& html) {
  const PropertyValue* value = record.find(Prop::htmlBody);
  constexpr std::uint16_t PT_UNICODE = 0x001F;
  if (value != nullptr && value->type != PT_UNICODE) {
    ByteView stored = storedHtml(value);
    html.assign(reinterpret_cast<const char*>(stored.data()), stored.size());
    return GMIME_OBJECT(textPart("text/html", range(stored), htmlCharsetLabel(record, stored)));
  }
  if (value != nullptr) {
    html = text(value);
  } else if (encapsulationOf(record.find(Prop::rtfCompressed)) != RtfEncapsulation::html ||
             !writeRtfBody(record.find(Prop::rtfCompressed), RtfEncapsulation::html, appendTo, &html)) {
    return nullptr;
  }
  return GMIME_OBJECT(textPart("text/html", streamOf(html), "utf-8"));
}

// The calendar item the message carries: its own, or for a task request
// the task attached to it. A meeting goes among the bodies, where mail
// programs show it as an invitation; a task, which they do not, goes as an
// attachment named as wendrel saves it, so that the text is what they show.
GMimeObject* Builder::calendarPart(const MessageRecord& record, bool& asAttachment) {
  const MessageRecord* itemRecord = &record;
  CalendarItem item = calendarItemOf(record);
  if (item.kind == ItemKind::task && item.request != nullptr) return nullptr;  // with the request's bodies
  for (std::uint32_t i = 0; item.kind == ItemKind::none && i < record.partCount; ++i) {
    const MessageRecord* attached = record.parts[i].message;
    if (attached == nullptr) continue;
    CalendarItem task = calendarItemOf(*attached);
    if (task.kind == ItemKind::task && task.request == &record) {
      item = task;
      itemRecord = attached;
    }
  }
  if (item.kind == ItemKind::none) return nullptr;
  char name[kScratchSize];
  std::string calendar;
  writeCalendarItem(*itemRecord, item, calendarFileName(*itemRecord, name), appendTo, &calendar);
  GMimePart* part = textPart("text/calendar", streamOf(calendar), "utf-8");
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "method", std::string(methodName(item.method)).c_str());
  asAttachment = item.kind == ItemKind::task;
  if (asAttachment) setAttachment(GMIME_OBJECT(part), calendarFileName(*itemRecord, name));
  return GMIME_OBJECT(part);
}

// An RTF body that encapsulates nothing goes as an attachment too, named
// after the message's subject (else as wendrel saves it); a damaged one as it
// stands. One that shows no text (a line break or two, as many meeting
// messages carry) is left out: the message says nothing more with it.
GMimeObject* Builder::rtfAttachment(const MessageRecord& record) {
  const PropertyValue* value = record.find(Prop::rtfCompressed);
  std::optional<ByteView> data = binaryValue(value);
  if (!data || encapsulationOf(value) != RtfEncapsulation::none) return nullptr;
  CompressedRtf rtf = inspectCompressedRtf(*data);
  GMimeStream* stream = nullptr;
  std::string_view type = "application/rtf";
  if (rtf.damage == RtfDamage::none) {
    std::string shown;
    writeRtfBody(value, RtfEncapsulation::text, appendTo, &shown);
    if (shown.find_first_not_of(" \t\r\n") == std::string::npos) return nullptr;
    std::string document;
    expandCompressedRtf(rtf, appendTo, &document);
    stream = streamOf(document);
  } else {
    stream = range(*data);
    type = "application/octet-stream";
  }
  GMimePart* part = base64Part(type, stream);
  std::string_view stem(record.rtfBodyName);
  stem = stem.empty() ? "message" : stem.substr(0, stem.size() - std::string_view(".rtf").size());
  char subject[kScratchSize], name[kScratchSize];
  setAttachment(GMIME_OBJECT(part), fileNameFrom(subjectText(record, subject), ".rtf", stem, name));
  return GMIME_OBJECT(part);
}

namespace {

// The Content-IDs the HTML shows by cid: URLs, lowercase. A cid: URL is
// percent-encoded (RFC 2392: "cid:chart%40example.com" is the part whose
// Content-ID is chart@example.com) and ends where the attribute does.
std::set<std::string> referencedIds(const std::string& html) {
  std::set<std::string> ids;
  auto hexValue = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  for (std::size_t at = html.find("cid:"); at != std::string::npos; at = html.find("cid:", at + 4)) {
    std::size_t end = html.find_first_of(" \t\r\n\"'<>()", at + 4);
    std::string_view url(html.data() + at + 4, std::min(end, html.size()) - at - 4);
    std::string id;
    for (std::size_t i = 0; i < url.size(); ++i) {
      if (url[i] == '%' && i + 2 < url.size() && hexValue(url[i + 1]) >= 0 && hexValue(url[i + 2]) >= 0) {
        id += static_cast<char>(hexValue(url[i + 1]) * 16 + hexValue(url[i + 2]));
        i += 2;
      } else {
        id += url[i];
      }
    }
    if (!id.empty()) ids.insert(id);
  }
  return ids;
}

// The Content-ID of a part that the HTML shows, or nothing.
std::string referencedId(const PropertySet& properties, const std::set<std::string>& shown) {
  std::string id = text(properties.find(Prop::attachContentId));
  if (!id.empty() && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  if (id.empty()) return {};
  return shown.count(lowercase(id)) != 0 ? id : std::string();
}

}  // namespace

GMimeMultipart* Builder::content(const MessageRecord& record) {
  std::vector<GMimeObject*> alternatives, attachments, related;
  std::string text;
  writePlainText(record, appendTo, &text);
  // RTF that shows nothing still gives a line break or two. A recall with no
  // text of its own says what it is.
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) text = recallText(record);
  if (!text.empty()) alternatives.push_back(GMIME_OBJECT(textPart("text/plain", streamOf(text), "utf-8")));
  std::string html;
  GMimeObject* htmlBody = htmlPart(record, html);
  std::set<std::string> shown = referencedIds(lowercase(html));
  for (std::uint32_t i = 0; i < record.partCount; ++i) {
    const MessagePart& part = record.parts[i];
    if ((part.kind == PartKind::message && part.message == nullptr) || !takePart()) continue;
    if (part.kind == PartKind::message && contactKindOf(*part.message) != ContactKind::none) {
      // An attached contact or list is its vCard, which address books take.
      attachments.push_back(contactPart(*part.message));
      continue;
    }
    if (part.kind == PartKind::message) {
      attachments.push_back(attachedMessage(part));
      if (part.message->endsDamaged() && takePart()) attachments.push_back(damagedMessage(part));
      continue;
    }
    std::string id = htmlBody != nullptr ? referencedId(propertiesOf(part), shown) : std::string();
    (id.empty() ? attachments : related).push_back(attachment(part, id));
  }
  if (htmlBody != nullptr && !related.empty()) {
    related.insert(related.begin(), htmlBody);
    GMimeMultipart* container = multipart("related", related);
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(container), "type", "text/html");
    htmlBody = GMIME_OBJECT(container);
  }
  if (htmlBody != nullptr) alternatives.push_back(htmlBody);
  bool calendarAttached = false;
  if (GMimeObject* calendar = calendarPart(record, calendarAttached)) {
    if (calendarAttached) {
      attachments.insert(attachments.begin(), calendar);
    } else {
      alternatives.push_back(calendar);
    }
  }
  if (GMimeObject* rtf = rtfAttachment(record)) attachments.insert(attachments.begin(), rtf);
  if (contactKindOf(record) != ContactKind::none) attachments.insert(attachments.begin(), contactPart(record));
  if (ReportKind report = reportKindOf(record); report != ReportKind::none) {
    return reportContent(record, report, alternatives, attachments);
  }
  std::vector<GMimeObject*> parts;
  if (alternatives.size() == 1) {
    parts.push_back(alternatives.front());
  } else if (!alternatives.empty()) {
    parts.push_back(GMIME_OBJECT(multipart("alternative", alternatives)));
  }
  parts.insert(parts.end(), attachments.begin(), attachments.end());
  return multipart("mixed", parts);
}

// ---- Headers ----

namespace {

bool isContentHeader(std::string_view name) {
  return lowercase(name).starts_with("content-") || lowercase(name) == "mime-version";
}

// The original header block: every field but MIME-Version and Content-*,
// with its value as it was written.
bool copyTransportHeaders(GMimeMessage* message, const std::string& block) {
  std::string whole = block;
  while (!whole.empty() && (whole.back() == '\n' || whole.back() == '\r')) whole.pop_back();
  whole += "\n\n";
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(whole.data(), whole.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_object_unref(stream);
  GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  if (parsed == nullptr) return false;
  GMimeHeaderList* from = g_mime_object_get_header_list(GMIME_OBJECT(parsed));
  GMimeHeaderList* to = g_mime_object_get_header_list(GMIME_OBJECT(message));
  int copied = 0;
  for (int i = 0; i < g_mime_header_list_get_count(from); ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(from, i);
    const char* name = g_mime_header_get_name(header);
    const char* raw = g_mime_header_get_raw_value(header);
    if (name == nullptr || raw == nullptr || isContentHeader(name)) continue;
    g_mime_header_list_append(to, name, "", nullptr);
    std::string value;
    for (const char* p = raw; *p != '\0'; ++p) {
      if (*p != '\r') value += *p;
    }
    if (value.empty() || value.back() != '\n') value += '\n';
    g_mime_header_set_raw_value(g_mime_header_list_get_header_at(to, g_mime_header_list_get_count(to) - 1), value.c_str());
    ++copied;
  }
  g_object_unref(parsed);
  return copied > 0;
}

void addMailbox(InternetAddressList* list, const Mailbox& mailbox) {
  std::string name(mailbox.name.view()), address(mailbox.address.view());
  InternetAddress* entry = internet_address_mailbox_new(name.empty() ? nullptr : name.c_str(), address.c_str());
  internet_address_list_add(list, entry);
  g_object_unref(entry);
}

struct Recipients {
  GMimeMessage* message;
};

bool addRecipient(const PropertySet& row, void* context) {
  auto* message = static_cast<Recipients*>(context)->message;
  Mailbox mailbox;
  if (!recipientOf(row, mailbox)) return true;
  std::int64_t type = recipientTypeOf(row);
  GMimeAddressType kind = type == kRecipientCc    ? GMIME_ADDRESS_TYPE_CC
                          : type == kRecipientBcc ? GMIME_ADDRESS_TYPE_BCC
                                                  : GMIME_ADDRESS_TYPE_TO;
  addMailbox(g_mime_message_get_addresses(message, kind), mailbox);
  return true;
}

// The Date header: when the message was submitted (UTC), else attDateSent,
// the sender's wall time in a zone the stream does not name: -0000 says so
// (RFC 5322 3.3).
void setDate(GMimeMessage* message, const MessageRecord& record) {
  constexpr std::int64_t kUnixEpoch = 11644473600;  // seconds from 1601 to 1970
  if (std::optional<std::int64_t> submitted = timeValue(record.find(Prop::clientSubmitTime))) {
    if (GDateTime* date = g_date_time_new_from_unix_utc(*submitted - kUnixEpoch)) {
      g_mime_message_set_date(message, date);
      g_date_time_unref(date);
    }
    return;
  }
  std::optional<std::int64_t> sent = dateValue(record.find(Prop::attDateSent));
  if (!sent) return;
  g_mime_object_set_header(GMIME_OBJECT(message), "Date", rfc5322Date(*sent, "-0000").c_str(), nullptr);
}

// An identifier header's value as it is written: one <id> or several.
std::string identifiers(std::string value) {
  while (!value.empty() && (value.back() == ' ' || value.back() == '\r' || value.back() == '\n')) value.pop_back();
  return value;
}

void buildHeaders(GMimeMessage* message, const MessageRecord& record) {
  // The sender, else the account it was sent from (as a receipt from Outlook
  // 2003 names its reader).
  Mailbox sender;
  if (senderOf(record, sender) || sendingAccountOf(record, sender)) {
    addMailbox(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_FROM), sender);
  }
  Recipients recipients{message};
  forEachRecipient(record.find(Prop::attRecipTable), addRecipient, &recipients);
  const PropertyValue* subject = record.find(Prop::attSubject);
  if (subject == nullptr) subject = record.find(Prop::subject);
  if (subject == nullptr) subject = record.find(Prop::conversationTopic);
  if (subject != nullptr) g_mime_message_set_subject(message, text(subject).c_str(), "utf-8");
  setDate(message, record);
  std::string id = identifiers(text(record.find(Prop::internetMessageId)));
  if (id.size() > 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  if (!id.empty() && id.find_first_of(" <>\t") == std::string::npos) g_mime_message_set_message_id(message, id.c_str());
  for (auto [prop, header] : {std::pair{Prop::inReplyToId, "In-Reply-To"}, std::pair{Prop::internetReferences, "References"}}) {
    std::string value = identifiers(text(record.find(prop)));
    if (!value.empty()) g_mime_object_set_header(GMIME_OBJECT(message), header, value.c_str(), nullptr);
  }
}

}  // namespace

GMimeMessage* Builder::message(const MessageRecord& record) {
  GMimeMessage* message = g_mime_message_new(FALSE);
  std::string transport = text(record.find(Prop::transportMessageHeaders));
  if (transport.empty() || !copyTransportHeaders(message, transport)) buildHeaders(message, record);
  g_mime_object_set_header(GMIME_OBJECT(message), "MIME-Version", "1.0", nullptr);
  GMimeObject* body = secureEntity(record);
  if (body != nullptr) {
    // The message says its MIME version itself.
    g_mime_header_list_remove(g_mime_object_get_header_list(body), "MIME-Version");
  } else {
    body = GMIME_OBJECT(content(record));
  }
  g_mime_message_set_mime_part(message, body);
  g_object_unref(body);
  return message;
}

// A contact's or a list's vCard, named as wendrel saves it. vCard text has
// CRLF line ends, so it goes in base64 (see textPart).
GMimeObject* Builder::contactPart(const MessageRecord& record) {
  char name[kScratchSize];
  std::string_view fileName = contactFileName(record, name);
  std::string card;
  writeContact(record, contactKindOf(record), fileName, appendTo, &card);
  GMimePart* part = textPart("text/vcard", streamOf(card), "utf-8");
  setAttachment(GMIME_OBJECT(part), fileName);
  return GMIME_OBJECT(part);
}

// ---- S/MIME ----

namespace {

// What CMS data is, from its content type's object identifier at its start
// (RFC 5652: 1.2.840.113549.1.7.2 signed data, .7.3 enveloped data).
std::string_view smimeTypeOf(ByteView data) {
  static constexpr std::uint8_t kPkcs7[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07};
  ByteView head = data.sub(0, 32);
  for (std::size_t at = 0; at + sizeof kPkcs7 < head.size(); ++at) {
    if (std::memcmp(head.data() + at, kPkcs7, sizeof kPkcs7) != 0) continue;
    std::uint8_t kind = head.byte(at + sizeof kPkcs7);
    return kind == 2 ? "signed-data" : kind == 3 ? "enveloped-data" : "";
  }
  return "";
}

}  // namespace

GMimeObject* Builder::secureEntity(const MessageRecord& record) {
  char buffer[kScratchSize];
  std::string_view name = messageClassText(record, buffer);
  bool clearSigned = endsWithIgnoringCase(name, ".SMIME.MultipartSigned");
  bool opaque = !clearSigned && endsWithIgnoringCase(name, ".SMIME");
  // It is the message's one attachment.
  if ((!clearSigned && !opaque) || record.partCount != 1 || record.parts[0].kind != PartKind::data) return nullptr;
  const MessagePart& part = record.parts[0];
  if (clearSigned) {
    Entity entity = splitEntity(part.bytes);
    // Header values go to GMime as C strings: one holding a NUL could not be
    // written as it stands, so such an entity stays an attachment.
    if (!entity.found || entity.header.find('\0') != std::string_view::npos) return nullptr;
    GMimePart* signedEntity = newEntityPart(entity, range(part.bytes.sub(entity.bodyOffset)));
    GMimeContentType* type = g_mime_object_get_content_type(GMIME_OBJECT(signedEntity));
    if (type != nullptr && g_mime_content_type_is_type(type, "multipart", "signed")) return GMIME_OBJECT(signedEntity);
    g_object_unref(signedEntity);
    return nullptr;
  }
  // The CMS data, under the Content-Type the message kept of it.
  std::string type = text(record.find(Prop::internetContentType));
  GMimeContentType* contentType = type.empty() ? nullptr : g_mime_content_type_parse(nullptr, type.c_str());
  bool pkcs7 = contentType != nullptr && (g_mime_content_type_is_type(contentType, "application", "pkcs7-mime") ||
                                          g_mime_content_type_is_type(contentType, "application", "x-pkcs7-mime"));
  if (!pkcs7) {
    if (contentType != nullptr) g_object_unref(contentType);
    std::string_view smimeType = smimeTypeOf(part.bytes);
    std::string made = "application/pkcs7-mime; name=smime.p7m";
    if (!smimeType.empty()) made += "; smime-type=" + std::string(smimeType);
    contentType = g_mime_content_type_parse(nullptr, made.c_str());
  }
  GMimePart* data = base64Part("application/pkcs7-mime", range(part.bytes));
  g_mime_object_set_content_type(GMIME_OBJECT(data), contentType);
  g_object_unref(contentType);
  setAttachment(GMIME_OBJECT(data), "smime.p7m");
  return GMIME_OBJECT(data);
}

// ---- Boundaries ----

namespace {

// Whether text occurs anywhere in what a multipart encloses as it will be
// written: the headers and contents of its parts, their own multiparts'
// prologues, epilogues and boundaries, attached messages whole. The content
// of a part written in base64 or quoted-printable is left out: it cannot
// hold a boundary of ours, which begins with "=_".
class Occurrence {
 public:
  explicit Occurrence(const std::string& text) : text_(text), options_(g_mime_format_options_new()) {}
  ~Occurrence() { g_mime_format_options_free(options_); }
  Occurrence(const Occurrence&) = delete;
  Occurrence& operator=(const Occurrence&) = delete;

  bool within(GMimeMultipart* multipart, int depth = 0) {
    if (depth > kDeepestPart + 2) return false;
    if (inText(g_mime_multipart_get_prologue(multipart)) || inText(g_mime_multipart_get_epilogue(multipart))) return true;
    for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
      if (inObject(g_mime_multipart_get_part(multipart, i), depth + 1)) return true;
    }
    return false;
  }

 private:
  bool inText(const char* text) const { return text != nullptr && std::strstr(text, text_.c_str()) != nullptr; }

  bool inHeaders(GMimeObject* object) {
    char* headers = g_mime_object_get_headers(object, options_);
    bool found = inText(headers);
    g_free(headers);
    return found;
  }

  bool inContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* stream = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (stream == nullptr) return false;
    // Content we made is encoded as it is written; content read from the
    // input is written as it came.
    GMimeContentEncoding encoding = g_mime_part_get_content_encoding(part);
    if (g_mime_data_wrapper_get_encoding(content) == GMIME_CONTENT_ENCODING_DEFAULT &&
        (encoding == GMIME_CONTENT_ENCODING_BASE64 || encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE)) {
      return false;
    }
    return searchStream(stream, text_.size(), [&](std::string_view block) { return block.find(text_) != std::string_view::npos; });
  }

  bool inObject(GMimeObject* object, int depth) {
    if (inHeaders(object)) return true;
    if (GMIME_IS_MULTIPART(object)) {
      const char* boundary = g_mime_object_get_content_type_parameter(object, "boundary");
      return inText(boundary) || within(GMIME_MULTIPART(object), depth);
    }
    if (GMIME_IS_MESSAGE_PART(object)) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      if (inner == nullptr) return false;
      GMimeObject* body = g_mime_message_get_mime_part(inner);
      return inHeaders(GMIME_OBJECT(inner)) || (body != nullptr && inObject(body, depth + 1));
    }
    return GMIME_IS_PART(object) && inContent(GMIME_PART(object));
  }

  const std::string& text_;
  GMimeFormatOptions* options_;
};

// FNV-1a of the input's size and of its first and last 64 KiB: enough to
// tell messages apart, and cheap for a large one.
std::uint64_t inputFingerprint(ByteView input) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  auto mix = [&](ByteView bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) hash = (hash ^ bytes.data()[i]) * 0x100000001B3u;
  };
  std::uint8_t size[8];
  for (int i = 0; i < 8; ++i) size[i] = static_cast<std::uint8_t>(std::uint64_t{input.size()} >> (8 * i));
  mix(ByteView(size, sizeof size));
  constexpr std::size_t kSample = 64 * 1024;
  mix(input.sub(0, kSample));
  if (input.size() > kSample) mix(input.sub(std::max(kSample, input.size() - kSample)));
  return hash;
}

// splitmix64's finalizer: every bit of the result hangs on every bit of x.
std::uint64_t scramble(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

// "=_" cannot occur in base64 or quoted-printable text.
std::string boundaryText(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "=_wendrel_";
  for (int shift = 60; shift >= 0; shift -= 4) text += kDigits[value >> shift & 15];
  return text;
}

}  // namespace

void Made::take(Made& other) {
  multiparts_.insert(multiparts_.end(), other.multiparts_.begin(), other.multiparts_.end());
  other.multiparts_.clear();
}

void Made::assignBoundaries(ByteView input) {
  std::uint64_t seed = inputFingerprint(input);
  for (std::size_t i = 0; i < multiparts_.size(); ++i) {
    for (std::uint64_t attempt = 0;; ++attempt) {
      std::string boundary = boundaryText(scramble(seed + scramble(i) + scramble(attempt ^ 0x5EED)));
      if (!Occurrence(boundary).within(multiparts_[i])) {
        g_mime_multipart_set_boundary(multiparts_[i], boundary.c_str());
        break;
      }
    }
  }
}

}  // namespace wendrel::mime
