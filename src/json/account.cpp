// The account of each TNEF stream, from the C interface alone (see
// account.h and schema/wendrel-json.schema.json).

#include "account.h"

#include <wendrel.h>

#include "tnef_search.h"
#include "values.h"
#include "wendrel/version.h"

namespace wendrel::json {

namespace {

const char* statusName(wendrel_status status) {
  switch (status) {
    case WENDREL_OK: return "decoded";
    case WENDREL_ERROR_NOT_TNEF: return "not_tnef";
    case WENDREL_ERROR_TOO_LARGE: return "too_large";
    case WENDREL_ERROR_MEMORY: return "out_of_memory";
    default: return "error";
  }
}

const char* kindName(wendrel_attachment_kind kind) {
  switch (kind) {
    case WENDREL_ATTACHMENT_NONE: return "none";
    case WENDREL_ATTACHMENT_DATA: return "data";
    case WENDREL_ATTACHMENT_OLE_PICTURE: return "ole_picture";
    case WENDREL_ATTACHMENT_OLE_FILE: return "ole_file";
    case WENDREL_ATTACHMENT_MESSAGE: return "message";
  }
  return "none";
}

const char* damageName(wendrel_damage kind) {
  switch (kind) {
    case WENDREL_DAMAGE_SHORT_STREAM: return "short_stream";
    case WENDREL_DAMAGE_BAD_SIGNATURE: return "bad_signature";
    case WENDREL_DAMAGE_TRUNCATED_RECORD: return "truncated_record";
    case WENDREL_DAMAGE_TRUNCATED_PROPERTIES: return "truncated_properties";
    case WENDREL_DAMAGE_TRUNCATED_RECIPIENTS: return "truncated_recipients";
    case WENDREL_DAMAGE_RTF: return "rtf";
    case WENDREL_DAMAGE_OLE_OBJECT: return "ole_object";
    case WENDREL_DAMAGE_NESTED_TOO_DEEP: return "nested_too_deep";
    case WENDREL_DAMAGE_MEMORY: return "memory";
  }
  return "unknown";
}

void writeMessage(Writing& writing, const wendrel_message* message);

// ---- Attribute records ----

void writeDate(JsonOutput& out, const wendrel_date& date) {
  out.beginObject();
  const struct {
    const char* name;
    std::uint16_t value;
  } fields[] = {{"year", date.year},     {"month", date.month},   {"day", date.day},
                {"hour", date.hour},     {"minute", date.minute}, {"second", date.second},
                {"day_of_week", date.day_of_week}};
  for (const auto& field : fields) {
    out.key(field.name);
    out.integer(field.value);
  }
  out.endObject();
}

// Its value as the catalogue types it: text, else a date, else a number;
// nothing for a block of bytes. (The message class is text although its ID
// says atpWord, which would also read as a number.)
void writeAttributeValue(Writing& writing, const wendrel_attribute* attribute) {
  JsonOutput& out = writing.out;
  bool text = writeTextMember(writing, "text", [&](wendrel_write_fn write, void* context) {
    return wendrel_attribute_string(attribute, write, context);
  });
  wendrel_date date{};
  std::int64_t number = 0;
  if (text) return;
  if (wendrel_attribute_date(attribute, &date) == WENDREL_OK) {
    out.key("date");
    writeDate(out, date);
  } else if (wendrel_attribute_integer(attribute, &number) == WENDREL_OK) {
    out.key("number");
    out.integer(number);
  }
}

void writeAttribute(Writing& writing, const wendrel_attribute* attribute) {
  JsonOutput& out = writing.out;
  out.beginObject();
  out.key("offset");
  out.unsignedInteger(wendrel_attribute_offset(attribute));
  out.key("level");
  out.integer(wendrel_attribute_level(attribute));
  out.key("id");
  out.string(hexText(wendrel_attribute_id(attribute), 8));
  out.key("name");
  out.string(wendrel_attribute_name(attribute));
  out.key("attachment");
  std::size_t attachment = wendrel_attribute_attachment(attribute);
  if (attachment == static_cast<std::size_t>(-1)) {
    out.null();
  } else {
    out.unsignedInteger(attachment);
  }
  std::size_t size = 0;
  wendrel_attribute_data(attribute, &size);
  out.key("size");
  out.unsignedInteger(size);
  out.key("checksum");
  out.integer(wendrel_attribute_checksum(attribute));
  out.key("checksum_ok");
  out.boolean(wendrel_attribute_checksum_ok(attribute) != 0);
  writeAttributeValue(writing, attribute);
  out.endObject();
}

// ---- Attachments ----

void writeAttachmentData(Writing& writing, const wendrel_attachment* attachment) {
  JsonOutput& out = writing.out;
  std::size_t size = 0;
  const std::uint8_t* data = wendrel_attachment_data(attachment, &size);
  if (wendrel_attachment_kind_of(attachment) != WENDREL_ATTACHMENT_NONE) return writeBlockMembers(writing, data, size);
  out.key("size");
  out.unsignedInteger(0);
  out.key("sha256");
  out.null();
}

void writeAttachment(Writing& writing, const wendrel_attachment* attachment, std::size_t index) {
  JsonOutput& out = writing.out;
  out.beginObject();
  out.key("index");
  out.unsignedInteger(index);
  out.key("kind");
  out.string(kindName(wendrel_attachment_kind_of(attachment)));
  out.key("name");
  out.string(wendrel_attachment_name(attachment));
  out.key("mime_type");
  writeOptional(out, wendrel_attachment_mime_type(attachment));
  out.key("content_id");
  writeOptional(out, wendrel_attachment_content_id(attachment));
  writeAttachmentData(writing, attachment);
  out.key("attribute_offsets");
  out.beginArray();
  for (std::size_t i = 0; i < wendrel_attachment_attribute_count(attachment); ++i) {
    out.unsignedInteger(wendrel_attribute_offset(wendrel_attachment_attribute(attachment, i)));
  }
  out.endArray();
  out.key("properties");
  writePropertyList(writing, wendrel_attachment_properties(attachment));
  out.key("message");
  if (const wendrel_message* attached = wendrel_attachment_message(attachment)) {
    writeMessage(writing, attached);
  } else {
    out.null();
  }
  out.endObject();
}

// ---- Bodies ----

auto bodyOf(const wendrel_message* message, wendrel_body body) {
  return [message, body](wendrel_write_fn write, void* context) {
    return wendrel_message_body(message, body, write, context);
  };
}

// The HTML in UTF-8 (the HTML body's, else what the RTF body encapsulates),
// and for an HTML body its charset and its bytes as stored.
void writeHtml(Writing& writing, const wendrel_message* message) {
  JsonOutput& out = writing.out;
  if (!hasContent(bodyOf(message, WENDREL_BODY_HTML_UTF8))) return out.null();
  const char* charset = wendrel_message_html_charset(message);
  out.beginObject();
  out.key("text");
  writeText(writing, bodyOf(message, WENDREL_BODY_HTML_UTF8));
  out.key("charset");
  writeOptional(out, charset);
  out.key("from_rtf");
  out.boolean(charset == nullptr);
  out.key("stored");
  if (charset == nullptr) {
    out.null();
  } else if (beginStreamedBlock(writing, bodyOf(message, WENDREL_BODY_HTML))) {
    out.endObject();
  }
  out.endObject();
}

void writeRtf(Writing& writing, const wendrel_message* message) {
  if (!beginStreamedBlock(writing, bodyOf(message, WENDREL_BODY_RTF))) return;
  writing.out.key("encapsulates_html");
  writing.out.boolean(hasContent(bodyOf(message, WENDREL_BODY_RTF_HTML)));
  writing.out.endObject();
}

void writeBodies(Writing& writing, const wendrel_message* message) {
  JsonOutput& out = writing.out;
  out.beginObject();
  out.key("text");
  writeText(writing, bodyOf(message, WENDREL_BODY_TEXT));
  out.key("html");
  writeHtml(writing, message);
  out.key("rtf");
  writeRtf(writing, message);
  out.endObject();
}

// ---- The message ----

using MessageText = wendrel_status (*)(const wendrel_message*, wendrel_write_fn, void*);

// A text of the message as writeText takes it.
auto textOf(const wendrel_message* message, MessageText text) {
  return [message, text](wendrel_write_fn write, void* context) { return text(message, write, context); };
}

void writeItem(Writing& writing, const wendrel_message* message) {
  JsonOutput& out = writing.out;
  out.key("calendar");
  writeText(writing, textOf(message, wendrel_message_calendar));
  out.key("vcard");
  writeText(writing, textOf(message, wendrel_message_vcard));
  out.key("item_file_name");
  char name[WENDREL_NAME_MAX];
  writeOptional(out, wendrel_message_item_file_name(message, name) == WENDREL_OK ? name : nullptr);
}

void writeDamage(Writing& writing, const wendrel_message* message) {
  JsonOutput& out = writing.out;
  out.beginArray();
  for (std::size_t i = 0; i < wendrel_message_damage_count(message); ++i) {
    wendrel_damage kind = WENDREL_DAMAGE_SHORT_STREAM;
    std::uint64_t offset = 0;
    wendrel_message_damage(message, i, &kind, &offset);
    if (kind == WENDREL_DAMAGE_MEMORY) writing.memoryShort = true;
    out.beginObject();
    out.key("kind");
    out.string(damageName(kind));
    out.key("description");
    out.string(wendrel_damage_text(kind));
    out.key("offset");
    out.unsignedInteger(offset);
    out.endObject();
  }
  out.endArray();
}

void writeHeader(Writing& writing, const wendrel_message* message) {
  JsonOutput& out = writing.out;
  out.key("offset");
  out.unsignedInteger(wendrel_message_offset(message));
  out.key("signature_ok");
  out.boolean(wendrel_message_signature_ok(message) != 0);
  out.key("attach_key");
  out.integer(wendrel_message_attach_key(message));
  out.key("class");
  writeText(writing, textOf(message, wendrel_message_class));
  out.key("subject");
  writeText(writing, textOf(message, wendrel_message_subject));
}

void writeRecords(Writing& writing, const wendrel_message* message) {
  JsonOutput& out = writing.out;
  out.key("attributes");
  out.beginArray();
  for (std::size_t i = 0; i < wendrel_message_attribute_count(message); ++i) {
    writeAttribute(writing, wendrel_message_attribute(message, i));
  }
  out.endArray();
  out.key("properties");
  writePropertyList(writing, wendrel_message_properties(message));
  out.key("recipients");
  out.beginArray();
  for (std::size_t i = 0; i < wendrel_message_recipient_count(message); ++i) {
    writePropertyList(writing, wendrel_message_recipient(message, i));
  }
  out.endArray();
  out.key("attachments");
  out.beginArray();
  for (std::size_t i = 0; i < wendrel_message_attachment_count(message); ++i) {
    writeAttachment(writing, wendrel_message_attachment(message, i), i);
  }
  out.endArray();
}

void writeMessage(Writing& writing, const wendrel_message* message) {
  writing.out.beginObject();
  writeHeader(writing, message);
  writeRecords(writing, message);
  writing.out.key("bodies");
  writeBodies(writing, message);
  writeItem(writing, message);
  writing.out.key("damage");
  writeDamage(writing, message);
  writing.out.endObject();
}

// ---- Streams ----

// Where a stream was found: the part of the message, or nothing for a bare stream.
void writeWhereFound(JsonOutput& out, const TnefEntity* part) {
  if (part == nullptr) return out.null();
  out.beginObject();
  out.key("path");
  out.string(part->path);
  out.key("content_type");
  out.string(part->contentType);
  out.key("filename");
  writeOptional(out, part->fileName ? part->fileName->c_str() : nullptr);
  out.endObject();
}

class Streams {
 public:
  Streams(JsonOutput& out, const AccountOptions& options) : out_(out), options_(options) {
    if (wendrel_decoder_new(&decoder_) != WENDREL_OK) result.memoryShort = true;
  }
  ~Streams() { wendrel_decoder_free(decoder_); }
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;

  // One stream's account. Its bytes are read in place: they outlive the
  // message decoded from them, which goes before the next stream comes.
  void write(const TnefEntity* part, const std::uint8_t* bytes, std::size_t size) {
    out_.beginObject();
    out_.key("part");
    writeWhereFound(out_, part);
    out_.key("size");
    out_.unsignedInteger(size);
    wendrel_message* message = nullptr;
    wendrel_status status = decoder_ != nullptr ? wendrel_decode(decoder_, bytes, size, WENDREL_DECODE_BORROW, &message)
                                                : WENDREL_ERROR_MEMORY;
    if (status == WENDREL_ERROR_MEMORY) result.memoryShort = true;
    out_.key("status");
    out_.string(statusName(status));
    out_.key("status_text");
    out_.string(wendrel_status_text(status));
    out_.key("message");
    writeDecoded(message);
    wendrel_message_free(message);
    out_.endObject();
  }

  AccountResult result;

 private:
  void writeDecoded(const wendrel_message* message) {
    if (message == nullptr) return out_.null();
    // (A digest is known by the place of its bytes, which the next stream reuses.)
    Writing writing{out_, options_.contents};
    writeMessage(writing, message);
    if (writing.memoryShort) result.memoryShort = true;
  }

  JsonOutput& out_;
  const AccountOptions& options_;
  wendrel_decoder* decoder_ = nullptr;
};

void writeInput(JsonOutput& out, const char* kind, std::size_t size, bool deeperLevelsSkipped) {
  out.key("input");
  out.beginObject();
  out.key("kind");
  out.string(kind);
  out.key("size");
  out.unsignedInteger(size);
  out.key("deeper_parts_skipped");
  out.boolean(deeperLevelsSkipped);
  out.endObject();
}

}  // namespace

AccountResult writeAccount(JsonOutput& out, GBytes* input, const AccountOptions& options) {
  std::size_t size = 0;
  const auto* data = static_cast<const std::uint8_t*>(g_bytes_get_data(input, &size));
  out.beginObject();
  out.key("wendrel_json");
  out.integer(kDocumentVersion);
  out.key("generator");
  out.string(kProgramVersion);
  out.key("library");
  out.string(wendrel_version());
  Streams streams(out, options);
  if (startsWithTnefSignature(data, size)) {
    writeInput(out, "tnef", size, false);
    out.key("streams");
    out.beginArray();
    streams.write(nullptr, data, size);
  } else {
    TnefSearch found = findTnefEntities(input);
    writeInput(out, "message", size, found.deeperLevelsSkipped);
    out.key("streams");
    out.beginArray();
    for (const TnefEntity& part : found.entities) streams.write(&part, part.content->data, part.content->len);
  }
  out.endArray();
  out.endObject();
  return streams.result;
}

}  // namespace wendrel::json
