// The C interface (include/wendrel.h) over the decoder and its model: each
// handle is a view of what a decoder with keepModel set keeps of a message.

#include "wendrel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "wendrel/calendar.h"
#include "wendrel/contacts.h"
#include "wendrel/decoder.h"
#include "wendrel/formats/compressed_rtf.h"
#include "wendrel/message.h"
#include "wendrel/tnef.h"
#include "wendrel/version.h"

using namespace wendrel;

struct wendrel_decoder {
  Decoder* decoder;
  char error[256];
};

struct wendrel_attachment {
  const ModelAttachment* model;
  const MessagePart* part;     // what wendrel saves of it, or null
  wendrel_message* message;    // an attached message's, or null
  char* mimeType;
  char* contentId;
  const ModelAttribute** attributes;
  std::size_t attributeCount;
};

struct wendrel_message {
  MessageRecord* record;
  bool top;
  wendrel_attachment* attachments;
  std::size_t attachmentCount;
  const ModelAttribute** attachmentAttributes;  // every attachment's, grouped by attachment
  char htmlCharset[40];
  bool hasHtmlCharset;
};

namespace {

constexpr std::uint16_t PT_I2 = 0x0002, PT_LONG = 0x0003, PT_R4 = 0x0004, PT_DOUBLE = 0x0005, PT_CURRENCY = 0x0006,
                        PT_APPTIME = 0x0007, PT_ERROR = 0x000A, PT_BOOLEAN = 0x000B, PT_OBJECT = 0x000D,
                        PT_I8 = 0x0014, PT_STRING8 = 0x001E, PT_UNICODE = 0x001F, PT_SYSTIME = 0x0040,
                        PT_CLSID = 0x0048, PT_BINARY = 0x0102, kMultiValued = 0x1000;

const ModelAttribute& attributeOf(const wendrel_attribute* attribute) {
  return *reinterpret_cast<const ModelAttribute*>(attribute);
}
const wendrel_attribute* handleOf(const ModelAttribute* attribute) {
  return reinterpret_cast<const wendrel_attribute*>(attribute);
}
const ModelProperty& propertyOf(const wendrel_property* property) {
  return *reinterpret_cast<const ModelProperty*>(property);
}
const wendrel_property* handleOf(const ModelProperty* property) {
  return reinterpret_cast<const wendrel_property*>(property);
}
const PropertyList& listOf(const wendrel_property_list* list) { return *reinterpret_cast<const PropertyList*>(list); }
const wendrel_property_list* handleOf(const PropertyList* list) {
  return reinterpret_cast<const wendrel_property_list*>(list);
}

// The library's code reads and writes the state of the decoder its thread
// runs; a call that reads a message runs one of its own, on the stack, so
// that threads reading messages at once share nothing. It prints nothing.
class Reading {
 public:
  Reading() : scope_(decoder_) {
    out::useBuffer(decoder_.output, decoder_.droppedOutput, sizeof decoder_.droppedOutput);
    decoder_.output.discarding = true;
    decoder_.output.errorsSilenced = true;
  }

 private:
  Decoder decoder_;
  DecoderScope scope_;
};

// A wendrel_write_fn behind a BlockSink.
struct Writer {
  wendrel_write_fn write;
  void* context;
  bool failed = false;
};

bool writeThrough(ByteView block, void* writer) {
  auto& w = *static_cast<Writer*>(writer);
  if (block.empty()) return true;
  if (w.write(w.context, block.data(), block.size()) == 0) return true;
  w.failed = true;
  return false;
}

// What a writer's run ends in: false from a producer whose writes all went
// through means memory ran out.
wendrel_status ending(bool written, const Writer& writer) {
  if (writer.failed) return WENDREL_ERROR_WRITE;
  return written ? WENDREL_OK : WENDREL_ERROR_MEMORY;
}

// (Converting a text touches no decoder's state: no Reading needed.)
wendrel_status writeText(const PropertyValue& value, wendrel_write_fn write, void* context) {
  if (write == nullptr) return WENDREL_ERROR_ARGUMENT;
  Writer writer{write, context};
  return ending(writeTextValue(&value, writeThrough, &writer), writer);
}

// A text as a NUL-terminated string of its own (malloc'd), or null.
char* ownedText(const PropertyValue& value) {
  wendrel_buffer buffer{};
  Writer writer{wendrel_buffer_write, &buffer};
  if (!writeTextValue(&value, writeThrough, &writer) || wendrel_buffer_write(&buffer, "", 0) != 0) {
    wendrel_buffer_free(&buffer);
    return nullptr;
  }
  return buffer.data;
}

bool isClassAttribute(std::uint32_t id) { return id == attMessageClass || id == attOriginalMessageClass; }

ByteView valueOf(const ModelAttribute& attribute) {
  return attribute.record.sub(kRecordValueOffset, attribute.record.dword(5));
}

// ---- Property values ----

std::uint16_t typeOf(const ModelProperty& property) { return static_cast<std::uint16_t>(property.tag); }
std::uint16_t baseTypeOf(const ModelProperty& property) {
  return static_cast<std::uint16_t>(typeOf(property) & ~kMultiValued);
}
bool multiValued(const ModelProperty& property) { return (typeOf(property) & kMultiValued) != 0; }

std::size_t slotOf(std::uint16_t type) {
  switch (type) {
    case PT_I2: case PT_LONG: case PT_R4: case PT_ERROR: case PT_BOOLEAN: return 4;
    case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME: case PT_I8: case PT_SYSTIME: return 8;
    case PT_CLSID: return 16;
    default: return 0;
  }
}

bool counted(std::uint16_t type) {
  return type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY || type == PT_OBJECT;
}

std::size_t valueCount(const ModelProperty& property) {
  if (!multiValued(property)) return 1;
  std::uint16_t base = baseTypeOf(property);
  if (slotOf(base) == 0 && !counted(base)) return 0;
  return property.value().dword(0);
}

// The bytes of value index: a fixed slot, or a counted value's data.
bool valueAt(const ModelProperty& property, std::size_t index, ByteView& value) {
  if (index >= valueCount(property)) return false;
  if (!multiValued(property)) {
    value = property.value();
    return true;
  }
  std::uint16_t base = baseTypeOf(property);
  if (counted(base)) {
    if (property.values == nullptr) return false;
    value = property.values[index];
    return true;
  }
  value = property.value().sub(4 + index * slotOf(base), slotOf(base));
  return true;
}

wendrel_status fixedValue(const wendrel_property* handle, std::size_t index, std::initializer_list<std::uint16_t> types,
                          ByteView& value, std::uint16_t& type) {
  if (handle == nullptr) return WENDREL_ERROR_ARGUMENT;
  const ModelProperty& property = propertyOf(handle);
  type = baseTypeOf(property);
  if (std::find(types.begin(), types.end(), type) == types.end()) return WENDREL_ERROR_TYPE;
  if (!valueAt(property, index, value)) return WENDREL_ERROR_ARGUMENT;
  return WENDREL_OK;
}

std::uint64_t little(ByteView bytes, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{bytes.byte(i)} << (8 * i);
  return value;
}

// ---- Named properties ----

// A named property's name as stored: the GUID (16 bytes), a kind (4), then
// a number (4), or a length (4) and that many bytes of UTF-16LE. The walk
// took it whole from inside its list, so all of it is there.
constexpr std::size_t kNameHead = 16 + 4 + 4;

bool namedByString(const ModelProperty& property) {
  return property.name != nullptr && ByteView(property.name + 16, 4).dword(0) != 0;
}

std::uint32_t nameNumber(const ModelProperty& property) { return ByteView(property.name + 20, 4).dword(0); }

ByteView nameString(const ModelProperty& property) { return ByteView(property.name + kNameHead, nameNumber(property)); }

bool sameGuid(const ModelProperty& property, const std::uint8_t* guid) {
  return property.name != nullptr && guid != nullptr && std::memcmp(property.name, guid, 16) == 0;
}

// Whether a UTF-16LE name is the UTF-8 text, without regard to ASCII case.
bool nameIs(ByteView utf16, const char* text) {
  wendrel_buffer buffer{};
  Writer writer{wendrel_buffer_write, &buffer};
  PropertyValue value{PT_UNICODE, utf16, nullptr};
  bool same = writeTextValue(&value, writeThrough, &writer) && buffer.size == std::strlen(text);
  for (std::size_t i = 0; same && i < buffer.size; ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    same = lower(buffer.data[i]) == lower(text[i]);
  }
  wendrel_buffer_free(&buffer);
  return same;
}

// ---- Building the handles of a decoded message ----

const ModelProperty* findInList(const PropertyList& list, std::uint16_t id) {
  for (const ModelProperty& property : list.properties) {
    if (property.tag >> 16 == id && (baseTypeOf(property) == PT_STRING8 || baseTypeOf(property) == PT_UNICODE) &&
        !multiValued(property)) {
      return &property;
    }
  }
  return nullptr;
}

char* listText(const PropertyList& list, std::uint16_t id) {
  const ModelProperty* property = findInList(list, id);
  if (property == nullptr) return nullptr;
  return ownedText(PropertyValue{typeOf(*property), property->value(), property->codePage});
}

void freeHandles(wendrel_message* message);

wendrel_message* buildHandles(MessageRecord* record, bool top);

bool buildAttachments(wendrel_message& message) {
  const MessageModel& model = message.record->model;
  message.attachmentCount = model.attachments.count;
  if (message.attachmentCount == 0) return true;
  message.attachments = static_cast<wendrel_attachment*>(std::calloc(message.attachmentCount, sizeof(wendrel_attachment)));
  std::size_t attached = 0;
  for (const ModelAttribute& attribute : model.attributes) attached += attribute.attachment != 0 ? 1 : 0;
  message.attachmentAttributes =
      static_cast<const ModelAttribute**>(std::malloc(std::max<std::size_t>(attached, 1) * sizeof(ModelAttribute*)));
  if (message.attachments == nullptr || message.attachmentAttributes == nullptr) return false;
  // Each attachment's records, in stream order, one after the other's.
  std::size_t next = 0;
  for (std::size_t i = 0; i < message.attachmentCount; ++i) {
    wendrel_attachment& attachment = message.attachments[i];
    attachment.model = &model.attachments.items[i];
    attachment.attributes = message.attachmentAttributes + next;
    for (const ModelAttribute& attribute : model.attributes) {
      if (attribute.attachment == i + 1) message.attachmentAttributes[next++] = &attribute;
    }
    attachment.attributeCount = static_cast<std::size_t>(message.attachmentAttributes + next - attachment.attributes);
    const ModelAttachment& kept = *attachment.model;
    if (kept.partCount != 0 && kept.firstPart < message.record->partCount) {
      attachment.part = &message.record->parts[kept.firstPart];
      if (attachment.part->message != nullptr) {
        attachment.message = buildHandles(attachment.part->message, false);
        if (attachment.message == nullptr) return false;
      }
    }
    attachment.mimeType = listText(kept.properties, 0x370E);     // PR_ATTACH_MIME_TAG
    attachment.contentId = listText(kept.properties, 0x3712);    // PR_ATTACH_CONTENT_ID
  }
  return true;
}

wendrel_message* buildHandles(MessageRecord* record, bool top) {
  auto* message = static_cast<wendrel_message*>(std::calloc(1, sizeof(wendrel_message)));
  if (message == nullptr) return nullptr;
  message->record = record;
  message->top = top;
  const PropertyValue* html = record->find(Prop::htmlBody);
  if (html != nullptr) {
    std::string_view name = html->type == PT_UNICODE ? std::string_view("utf-8")
                                                     : htmlCharsetName(*record, storedHtml(html), message->htmlCharset);
    std::size_t length = std::min(name.size(), sizeof message->htmlCharset - 1);
    std::memmove(message->htmlCharset, name.data(), length);
    message->htmlCharset[length] = '\0';
    message->hasHtmlCharset = true;
  }
  if (!buildAttachments(*message)) {
    freeHandles(message);
    return nullptr;
  }
  return message;
}

void freeHandles(wendrel_message* message) {
  if (message == nullptr) return;
  for (std::size_t i = 0; message->attachments != nullptr && i < message->attachmentCount; ++i) {
    freeHandles(message->attachments[i].message);
    std::free(message->attachments[i].mimeType);
    std::free(message->attachments[i].contentId);
  }
  std::free(message->attachments);
  std::free(message->attachmentAttributes);
  std::free(message);
}

void setError(wendrel_decoder* decoder, const char* text) {
  std::size_t length = std::min(std::strlen(text), sizeof decoder->error - 1);
  std::memcpy(decoder->error, text, length);
  decoder->error[length] = '\0';
}

wendrel_status fail(wendrel_decoder* decoder, wendrel_status status) {
  setError(decoder, wendrel_status_text(status));
  return status;
}

// A compressed-RTF body that decompresses.
bool soundRtf(const PropertyValue* rtf) {
  std::optional<ByteView> value = binaryValue(rtf);
  return value && inspectCompressedRtf(*value).damage == RtfDamage::none;
}

// The whole text of the first of props the message has.
wendrel_status firstText(const wendrel_message* message, std::initializer_list<Prop> props, wendrel_write_fn write,
                         void* context) {
  if (message == nullptr || write == nullptr) return WENDREL_ERROR_ARGUMENT;
  for (Prop prop : props) {
    const PropertyValue* value = message->record->find(prop);
    if (value != nullptr && hasText(value)) return writeText(*value, write, context);
  }
  return WENDREL_ERROR_ABSENT;
}

}  // namespace

extern "C" {

// ---- Version, statuses, buffers ----

const char* wendrel_version(void) { return WENDREL_VERSION_STRING; }
int wendrel_version_number(void) { return WENDREL_VERSION_NUMBER; }

const char* wendrel_status_text(wendrel_status status) {
  switch (status) {
    case WENDREL_OK: return "success";
    case WENDREL_ERROR_ARGUMENT: return "an argument is null or out of range";
    case WENDREL_ERROR_MEMORY: return "memory ran out";
    case WENDREL_ERROR_NOT_TNEF: return "the input does not start with the TNEF signature";
    case WENDREL_ERROR_TOO_LARGE: return "the input is 4 GiB or more";
    case WENDREL_ERROR_ABSENT: return "there is no such value";
    case WENDREL_ERROR_TYPE: return "the value is of another type";
    case WENDREL_ERROR_WRITE: return "the write function stopped the output";
  }
  return "unknown status";
}

int wendrel_buffer_write(void* buffer, const void* bytes, size_t size) {
  auto* b = static_cast<wendrel_buffer*>(buffer);
  if (b == nullptr || (bytes == nullptr && size != 0)) return 1;
  if (size >= b->capacity - b->size || b->data == nullptr) {
    if (size > SIZE_MAX / 2 - b->size - 1) return 1;
    std::size_t capacity = std::max(std::max<std::size_t>(2 * b->capacity, 64), b->size + size + 1);
    auto* grown = static_cast<char*>(std::realloc(b->data, capacity));
    if (grown == nullptr) return 1;
    b->data = grown;
    b->capacity = capacity;
  }
  if (size != 0) std::memcpy(b->data + b->size, bytes, size);
  b->size += size;
  b->data[b->size] = '\0';
  return 0;
}

void wendrel_buffer_free(wendrel_buffer* buffer) {
  if (buffer == nullptr) return;
  std::free(buffer->data);
  *buffer = wendrel_buffer{};
}

// ---- Decoders ----

wendrel_status wendrel_decoder_new(wendrel_decoder** decoder) {
  if (decoder == nullptr) return WENDREL_ERROR_ARGUMENT;
  *decoder = nullptr;
  auto* made = static_cast<wendrel_decoder*>(std::calloc(1, sizeof(wendrel_decoder)));
  if (made == nullptr) return WENDREL_ERROR_MEMORY;
  made->decoder = newDecoder();
  if (made->decoder == nullptr) {
    std::free(made);
    return WENDREL_ERROR_MEMORY;
  }
  // It keeps the whole model, prints nothing, and tells its damage through
  // the model rather than on standard error.
  made->decoder->keepModel = true;
  made->decoder->keepWholeMessages = true;
  made->decoder->output.errorsSilenced = true;
  *decoder = made;
  return WENDREL_OK;
}

void wendrel_decoder_free(wendrel_decoder* decoder) {
  if (decoder == nullptr) return;
  freeDecoder(decoder->decoder);
  std::free(decoder);
}

const char* wendrel_decoder_error(const wendrel_decoder* decoder) { return decoder != nullptr ? decoder->error : ""; }

wendrel_status wendrel_decode(wendrel_decoder* decoder, const void* data, size_t size, unsigned flags,
                              wendrel_message** message) {
  if (message != nullptr) *message = nullptr;
  if (decoder == nullptr) return WENDREL_ERROR_ARGUMENT;
  decoder->error[0] = '\0';
  if (message == nullptr || (data == nullptr && size != 0)) return fail(decoder, WENDREL_ERROR_ARGUMENT);
  if (size >= (std::uint64_t{1} << 32)) return fail(decoder, WENDREL_ERROR_TOO_LARGE);
  ByteView input(static_cast<const std::uint8_t*>(data), size);
  if ((flags & WENDREL_DECODE_ANY_SIGNATURE) == 0 && (size < 4 || input.dword(0) != kTnefSignature)) {
    return fail(decoder, WENDREL_ERROR_NOT_TNEF);
  }
  void* copy = nullptr;
  if ((flags & WENDREL_DECODE_BORROW) == 0 && size != 0) {
    copy = std::malloc(size);
    if (copy == nullptr) return fail(decoder, WENDREL_ERROR_MEMORY);
    std::memcpy(copy, data, size);
    input = ByteView(static_cast<const std::uint8_t*>(copy), size);
  }
  MessageRecord* record = nullptr;
  {
    DecoderScope scope(*decoder->decoder);
    resetDecoderState();
    decodeStream(std::span<const std::uint8_t>(input.data(), input.size()));
    record = takeDecodedMessage();
  }
  if (record == nullptr) {
    std::free(copy);
    return fail(decoder, WENDREL_ERROR_MEMORY);
  }
  record->ownedBytes = copy;
  *message = buildHandles(record, true);
  if (*message == nullptr) {
    freeMessage(record);
    return fail(decoder, WENDREL_ERROR_MEMORY);
  }
  return WENDREL_OK;
}

// ---- Messages ----

void wendrel_message_free(wendrel_message* message) {
  if (message == nullptr || !message->top) return;
  MessageRecord* record = message->record;
  freeHandles(message);
  freeMessage(record);
}

int wendrel_message_signature_ok(const wendrel_message* message) {
  return message != nullptr && message->record->model.signatureOk ? 1 : 0;
}

uint16_t wendrel_message_attach_key(const wendrel_message* message) {
  return message != nullptr ? message->record->model.attachKey : 0;
}

uint64_t wendrel_message_offset(const wendrel_message* message) {
  return message != nullptr ? message->record->model.offset : 0;
}

wendrel_status wendrel_message_class(const wendrel_message* message, wendrel_write_fn write, void* context) {
  return firstText(message, {Prop::attMessageClass, Prop::messageClass}, write, context);
}

wendrel_status wendrel_message_subject(const wendrel_message* message, wendrel_write_fn write, void* context) {
  return firstText(message, {Prop::attSubject, Prop::subject, Prop::conversationTopic}, write, context);
}

size_t wendrel_message_attribute_count(const wendrel_message* message) {
  return message != nullptr ? message->record->model.attributes.count : 0;
}

const wendrel_attribute* wendrel_message_attribute(const wendrel_message* message, size_t index) {
  if (index >= wendrel_message_attribute_count(message)) return nullptr;
  return handleOf(&message->record->model.attributes.items[index]);
}

const wendrel_property_list* wendrel_message_properties(const wendrel_message* message) {
  return message != nullptr ? handleOf(&message->record->model.properties) : nullptr;
}

size_t wendrel_message_recipient_count(const wendrel_message* message) {
  return message != nullptr ? message->record->model.recipients.count : 0;
}

const wendrel_property_list* wendrel_message_recipient(const wendrel_message* message, size_t index) {
  if (index >= wendrel_message_recipient_count(message)) return nullptr;
  return handleOf(&message->record->model.recipients.items[index]);
}

size_t wendrel_message_attachment_count(const wendrel_message* message) {
  return message != nullptr ? message->attachmentCount : 0;
}

const wendrel_attachment* wendrel_message_attachment(const wendrel_message* message, size_t index) {
  if (index >= wendrel_message_attachment_count(message)) return nullptr;
  return &message->attachments[index];
}

// ---- Bodies and items ----

wendrel_status wendrel_message_body(const wendrel_message* message, wendrel_body body, wendrel_write_fn write,
                                    void* context) {
  if (message == nullptr || write == nullptr) return WENDREL_ERROR_ARGUMENT;
  const MessageRecord& record = *message->record;
  Writer writer{write, context};
  Reading reading;
  const PropertyValue* rtf = record.find(Prop::rtfCompressed);
  const PropertyValue* html = record.find(Prop::htmlBody);
  switch (body) {
    case WENDREL_BODY_TEXT:
      if (!hasText(record.find(Prop::body)) && !hasText(record.find(Prop::attBody)) && !soundRtf(rtf)) {
        return WENDREL_ERROR_ABSENT;
      }
      return ending(writePlainText(record, writeThrough, &writer), writer);
    case WENDREL_BODY_HTML:
      if (html == nullptr) return WENDREL_ERROR_ABSENT;
      if (html->type == PT_UNICODE) return ending(writeTextValue(html, writeThrough, &writer), writer);
      return ending(writeThrough(storedHtml(html), &writer), writer);
    case WENDREL_BODY_HTML_UTF8:
      if (html != nullptr) return ending(writeHtmlText(record, html, writeThrough, &writer), writer);
      if (encapsulationOf(rtf) != RtfEncapsulation::html) return WENDREL_ERROR_ABSENT;
      return ending(writeRtfBody(rtf, RtfEncapsulation::html, writeThrough, &writer), writer);
    case WENDREL_BODY_RTF: {
      if (!soundRtf(rtf)) return WENDREL_ERROR_ABSENT;
      CompressedRtf compressed = inspectCompressedRtf(*binaryValue(rtf));
      return ending(expandCompressedRtf(compressed, writeThrough, &writer), writer);
    }
    case WENDREL_BODY_RTF_HTML:
      if (encapsulationOf(rtf) != RtfEncapsulation::html) return WENDREL_ERROR_ABSENT;
      return ending(writeRtfBody(rtf, RtfEncapsulation::html, writeThrough, &writer), writer);
    case WENDREL_BODY_RTF_TEXT:
      if (!soundRtf(rtf)) return WENDREL_ERROR_ABSENT;
      return ending(writeRtfBody(rtf, RtfEncapsulation::text, writeThrough, &writer), writer);
  }
  return WENDREL_ERROR_ARGUMENT;
}

const char* wendrel_message_html_charset(const wendrel_message* message) {
  return message != nullptr && message->hasHtmlCharset ? message->htmlCharset : nullptr;
}

wendrel_status wendrel_message_calendar(const wendrel_message* message, wendrel_write_fn write, void* context) {
  if (message == nullptr || write == nullptr) return WENDREL_ERROR_ARGUMENT;
  Reading reading;
  CalendarItem item = calendarItemOf(*message->record);
  if (item.kind == ItemKind::none) return WENDREL_ERROR_ABSENT;
  char name[kScratchSize];
  Writer writer{write, context};
  return ending(writeCalendarItem(*message->record, item, calendarFileName(*message->record, name), writeThrough,
                                  &writer),
                writer);
}

wendrel_status wendrel_message_vcard(const wendrel_message* message, wendrel_write_fn write, void* context) {
  if (message == nullptr || write == nullptr) return WENDREL_ERROR_ARGUMENT;
  Reading reading;
  ContactKind kind = contactKindOf(*message->record);
  if (kind == ContactKind::none) return WENDREL_ERROR_ABSENT;
  char name[kScratchSize];
  Writer writer{write, context};
  return ending(writeContact(*message->record, kind, contactFileName(*message->record, name), writeThrough, &writer),
                writer);
}

wendrel_status wendrel_message_item_file_name(const wendrel_message* message, char name[WENDREL_NAME_MAX]) {
  if (message == nullptr || name == nullptr) return WENDREL_ERROR_ARGUMENT;
  Reading reading;
  char buffer[kScratchSize];
  std::string_view found;
  if (calendarItemOf(*message->record).kind != ItemKind::none) {
    found = calendarFileName(*message->record, buffer);
  } else if (contactKindOf(*message->record) != ContactKind::none) {
    found = contactFileName(*message->record, buffer);
  } else {
    return WENDREL_ERROR_ABSENT;
  }
  std::size_t length = std::min<std::size_t>(found.size(), WENDREL_NAME_MAX - 1);
  std::memmove(name, found.data(), length);
  name[length] = '\0';
  return WENDREL_OK;
}

// ---- Damage ----

size_t wendrel_message_damage_count(const wendrel_message* message) {
  return message != nullptr ? message->record->model.damage.count : 0;
}

wendrel_status wendrel_message_damage(const wendrel_message* message, size_t index, wendrel_damage* kind,
                                      uint64_t* offset) {
  if (index >= wendrel_message_damage_count(message)) return WENDREL_ERROR_ARGUMENT;
  const ModelDamage& damage = message->record->model.damage.items[index];
  if (kind != nullptr) *kind = static_cast<wendrel_damage>(damage.kind);
  if (offset != nullptr) *offset = damage.offset;
  return WENDREL_OK;
}

const char* wendrel_damage_text(wendrel_damage kind) {
  switch (kind) {
    case WENDREL_DAMAGE_SHORT_STREAM: return "stream too short for a TNEF header";
    case WENDREL_DAMAGE_BAD_SIGNATURE: return "bad TNEF signature";
    case WENDREL_DAMAGE_TRUNCATED_RECORD: return "truncated attribute record";
    case WENDREL_DAMAGE_TRUNCATED_PROPERTIES: return "truncated MAPI property list";
    case WENDREL_DAMAGE_TRUNCATED_RECIPIENTS: return "truncated recipient table";
    case WENDREL_DAMAGE_RTF: return "damaged compressed RTF";
    case WENDREL_DAMAGE_OLE_OBJECT: return "damaged OLE object";
    case WENDREL_DAMAGE_NESTED_TOO_DEEP: return "embedded message nested too deeply to decode";
    case WENDREL_DAMAGE_MEMORY: return "memory ran out";
  }
  return "unknown damage";
}

// ---- Attributes ----

int wendrel_attribute_level(const wendrel_attribute* attribute) {
  return attribute != nullptr ? attributeOf(attribute).record.byte(0) : 0;
}

uint32_t wendrel_attribute_id(const wendrel_attribute* attribute) {
  return attribute != nullptr ? attributeOf(attribute).record.dword(1) : 0;
}

const char* wendrel_attribute_name(const wendrel_attribute* attribute) {
  // The catalogue's names are string literals, so they end in NUL.
  return attribute != nullptr ? attributeName(wendrel_attribute_id(attribute)).data() : "";
}

const uint8_t* wendrel_attribute_data(const wendrel_attribute* attribute, size_t* size) {
  ByteView value = attribute != nullptr ? valueOf(attributeOf(attribute)) : ByteView();
  if (size != nullptr) *size = value.size();
  return value.data();
}

uint16_t wendrel_attribute_checksum(const wendrel_attribute* attribute) {
  if (attribute == nullptr) return 0;
  const ModelAttribute& a = attributeOf(attribute);
  return a.record.word(kRecordValueOffset + valueOf(a).size());
}

int wendrel_attribute_checksum_ok(const wendrel_attribute* attribute) {
  if (attribute == nullptr) return 0;
  ByteView value = valueOf(attributeOf(attribute));
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < value.size(); ++i) sum += value.data()[i];
  return static_cast<std::uint16_t>(sum) == wendrel_attribute_checksum(attribute) ? 1 : 0;
}

uint64_t wendrel_attribute_offset(const wendrel_attribute* attribute) {
  return attribute != nullptr ? attributeOf(attribute).offset : 0;
}

size_t wendrel_attribute_attachment(const wendrel_attribute* attribute) {
  if (attribute == nullptr || attributeOf(attribute).attachment == 0) return static_cast<size_t>(-1);
  return attributeOf(attribute).attachment - 1;
}

wendrel_status wendrel_attribute_string(const wendrel_attribute* attribute, wendrel_write_fn write, void* context) {
  if (attribute == nullptr) return WENDREL_ERROR_ARGUMENT;
  std::uint16_t type = attributeType(wendrel_attribute_id(attribute));
  // The message class is text whatever its type code says (it carries atpWord).
  if (type != atpString && type != atpText && !isClassAttribute(wendrel_attribute_id(attribute))) {
    return WENDREL_ERROR_TYPE;
  }
  const ModelAttribute& a = attributeOf(attribute);
  return writeText(PropertyValue{PT_STRING8, valueOf(a), a.codePage}, write, context);
}

wendrel_status wendrel_attribute_date(const wendrel_attribute* attribute, wendrel_date* date) {
  if (attribute == nullptr || date == nullptr) return WENDREL_ERROR_ARGUMENT;
  if (attributeType(wendrel_attribute_id(attribute)) != atpDate) return WENDREL_ERROR_TYPE;
  TnefDate fields = readTnefDate(valueOf(attributeOf(attribute)));
  *date = wendrel_date{fields.year, fields.month, fields.day, fields.hour, fields.minute, fields.second, fields.dayOfWeek};
  return WENDREL_OK;
}

wendrel_status wendrel_attribute_integer(const wendrel_attribute* attribute, int64_t* value) {
  if (attribute == nullptr || value == nullptr) return WENDREL_ERROR_ARGUMENT;
  // The message classes are text, whatever their type code says.
  if (isClassAttribute(wendrel_attribute_id(attribute))) return WENDREL_ERROR_TYPE;
  ByteView bytes = valueOf(attributeOf(attribute));
  switch (attributeType(wendrel_attribute_id(attribute))) {
    case atpByte:
      // Bytes are mostly a block (attAttachData, attMAPIProps): a number only alone.
      if (bytes.size() != 1) return WENDREL_ERROR_TYPE;
      *value = bytes.byte(0);
      return WENDREL_OK;
    case atpShort: *value = static_cast<std::int16_t>(bytes.word(0)); return WENDREL_OK;
    case atpWord: *value = bytes.word(0); return WENDREL_OK;
    case atpLong: *value = static_cast<std::int32_t>(bytes.dword(0)); return WENDREL_OK;
    case atpDword: *value = bytes.dword(0); return WENDREL_OK;
    default: return WENDREL_ERROR_TYPE;
  }
}

// ---- Property lists ----

size_t wendrel_property_list_count(const wendrel_property_list* list) {
  return list != nullptr ? listOf(list).properties.count : 0;
}

const wendrel_property* wendrel_property_list_get(const wendrel_property_list* list, size_t index) {
  if (index >= wendrel_property_list_count(list)) return nullptr;
  return handleOf(&listOf(list).properties.items[index]);
}

int wendrel_property_list_complete(const wendrel_property_list* list) {
  return list != nullptr && listOf(list).whole ? 1 : 0;
}

const wendrel_property* wendrel_property_list_find(const wendrel_property_list* list, uint32_t tag) {
  if (list == nullptr) return nullptr;
  for (const ModelProperty& property : listOf(list).properties) {
    if (property.tag == tag) return handleOf(&property);
  }
  return nullptr;
}

const wendrel_property* wendrel_property_list_find_number(const wendrel_property_list* list, const uint8_t guid[16],
                                                          uint32_t number) {
  if (list == nullptr || guid == nullptr) return nullptr;
  for (const ModelProperty& property : listOf(list).properties) {
    if (sameGuid(property, guid) && !namedByString(property) && nameNumber(property) == number) {
      return handleOf(&property);
    }
  }
  return nullptr;
}

const wendrel_property* wendrel_property_list_find_name(const wendrel_property_list* list, const uint8_t guid[16],
                                                        const char* name) {
  if (list == nullptr || guid == nullptr || name == nullptr) return nullptr;
  for (const ModelProperty& property : listOf(list).properties) {
    if (sameGuid(property, guid) && namedByString(property) && nameIs(nameString(property), name)) {
      return handleOf(&property);
    }
  }
  return nullptr;
}

// ---- Properties ----

uint32_t wendrel_property_tag(const wendrel_property* property) {
  return property != nullptr ? propertyOf(property).tag : 0;
}

uint16_t wendrel_property_id(const wendrel_property* property) {
  return static_cast<uint16_t>(wendrel_property_tag(property) >> 16);
}

uint16_t wendrel_property_type(const wendrel_property* property) {
  return static_cast<uint16_t>(wendrel_property_tag(property));
}

const char* wendrel_property_type_name(const wendrel_property* property) {
  if (property == nullptr) return "unknown";
  struct Name {
    std::uint16_t type;
    const char* single;
    const char* multiple;
  };
  static constexpr Name kNames[] = {
      {PT_I2, "PT_I2", "PT_MV_I2"},           {PT_LONG, "PT_LONG", "PT_MV_LONG"},
      {PT_R4, "PT_R4", "PT_MV_R4"},           {PT_DOUBLE, "PT_DOUBLE", "PT_MV_DOUBLE"},
      {PT_CURRENCY, "PT_CURRENCY", "PT_MV_CURRENCY"}, {PT_APPTIME, "PT_APPTIME", "PT_MV_APPTIME"},
      {PT_ERROR, "PT_ERROR", "PT_MV_ERROR"},  {PT_BOOLEAN, "PT_BOOLEAN", "PT_MV_BOOLEAN"},
      {PT_OBJECT, "PT_OBJECT", "PT_MV_OBJECT"}, {PT_I8, "PT_I8", "PT_MV_I8"},
      {PT_STRING8, "PT_STRING8", "PT_MV_STRING8"}, {PT_UNICODE, "PT_UNICODE", "PT_MV_UNICODE"},
      {PT_SYSTIME, "PT_SYSTIME", "PT_MV_SYSTIME"}, {PT_CLSID, "PT_CLSID", "PT_MV_CLSID"},
      {PT_BINARY, "PT_BINARY", "PT_MV_BINARY"},
  };
  const ModelProperty& p = propertyOf(property);
  for (const Name& name : kNames) {
    if (name.type == baseTypeOf(p)) return multiValued(p) ? name.multiple : name.single;
  }
  return "unknown";
}

int wendrel_property_is_named(const wendrel_property* property) {
  return property != nullptr && propertyOf(property).name != nullptr ? 1 : 0;
}

wendrel_status wendrel_property_guid(const wendrel_property* property, uint8_t guid[16]) {
  if (property == nullptr || guid == nullptr) return WENDREL_ERROR_ARGUMENT;
  if (propertyOf(property).name == nullptr) return WENDREL_ERROR_ABSENT;
  std::memcpy(guid, propertyOf(property).name, 16);
  return WENDREL_OK;
}

int wendrel_property_name_is_string(const wendrel_property* property) {
  return property != nullptr && namedByString(propertyOf(property)) ? 1 : 0;
}

wendrel_status wendrel_property_name_number(const wendrel_property* property, uint32_t* number) {
  if (property == nullptr || number == nullptr) return WENDREL_ERROR_ARGUMENT;
  const ModelProperty& p = propertyOf(property);
  if (p.name == nullptr || namedByString(p)) return WENDREL_ERROR_ABSENT;
  *number = nameNumber(p);
  return WENDREL_OK;
}

wendrel_status wendrel_property_name_string(const wendrel_property* property, wendrel_write_fn write, void* context) {
  if (property == nullptr) return WENDREL_ERROR_ARGUMENT;
  if (!namedByString(propertyOf(property))) return WENDREL_ERROR_ABSENT;
  return writeText(PropertyValue{PT_UNICODE, nameString(propertyOf(property)), nullptr}, write, context);
}

size_t wendrel_property_value_count(const wendrel_property* property) {
  return property != nullptr ? valueCount(propertyOf(property)) : 0;
}

wendrel_status wendrel_property_integer(const wendrel_property* property, size_t index, int64_t* value) {
  ByteView bytes;
  std::uint16_t type = 0;
  wendrel_status status = fixedValue(property, index, {PT_I2, PT_LONG, PT_ERROR, PT_I8, PT_CURRENCY, PT_BOOLEAN}, bytes, type);
  if (status != WENDREL_OK) return status;
  if (value == nullptr) return WENDREL_ERROR_ARGUMENT;
  switch (type) {
    case PT_I2: *value = static_cast<std::int16_t>(bytes.word(0)); break;
    case PT_LONG: *value = static_cast<std::int32_t>(bytes.dword(0)); break;
    case PT_ERROR: *value = bytes.dword(0); break;
    case PT_BOOLEAN: *value = bytes.word(0) != 0 ? 1 : 0; break;
    default: *value = static_cast<std::int64_t>(little(bytes, 8)); break;
  }
  return WENDREL_OK;
}

wendrel_status wendrel_property_boolean(const wendrel_property* property, size_t index, int* value) {
  ByteView bytes;
  std::uint16_t type = 0;
  wendrel_status status = fixedValue(property, index, {PT_BOOLEAN, PT_I2, PT_LONG, PT_I8}, bytes, type);
  if (status != WENDREL_OK) return status;
  if (value == nullptr) return WENDREL_ERROR_ARGUMENT;
  *value = little(bytes, type == PT_I8 ? 8 : type == PT_LONG ? 4 : 2) != 0 ? 1 : 0;
  return WENDREL_OK;
}

wendrel_status wendrel_property_double(const wendrel_property* property, size_t index, double* value) {
  ByteView bytes;
  std::uint16_t type = 0;
  wendrel_status status = fixedValue(property, index, {PT_R4, PT_DOUBLE, PT_APPTIME}, bytes, type);
  if (status != WENDREL_OK) return status;
  if (value == nullptr) return WENDREL_ERROR_ARGUMENT;
  if (type == PT_R4) {
    std::uint32_t bits = bytes.dword(0);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    *value = f;
  } else {
    std::uint64_t bits = little(bytes, 8);
    std::memcpy(value, &bits, sizeof *value);
  }
  return WENDREL_OK;
}

wendrel_status wendrel_property_time(const wendrel_property* property, size_t index, int64_t* ticks) {
  ByteView bytes;
  std::uint16_t type = 0;
  wendrel_status status = fixedValue(property, index, {PT_SYSTIME}, bytes, type);
  if (status != WENDREL_OK) return status;
  if (ticks == nullptr) return WENDREL_ERROR_ARGUMENT;
  *ticks = static_cast<std::int64_t>(little(bytes, 8));
  return WENDREL_OK;
}

wendrel_status wendrel_property_clsid(const wendrel_property* property, size_t index, uint8_t guid[16]) {
  ByteView bytes;
  std::uint16_t type = 0;
  wendrel_status status = fixedValue(property, index, {PT_CLSID}, bytes, type);
  if (status != WENDREL_OK) return status;
  if (guid == nullptr) return WENDREL_ERROR_ARGUMENT;
  for (std::size_t i = 0; i < 16; ++i) guid[i] = bytes.byte(i);
  return WENDREL_OK;
}

wendrel_status wendrel_property_string(const wendrel_property* property, size_t index, wendrel_write_fn write,
                                       void* context) {
  ByteView bytes;
  std::uint16_t type = 0;
  wendrel_status status = fixedValue(property, index, {PT_STRING8, PT_UNICODE}, bytes, type);
  if (status != WENDREL_OK) return status;
  return writeText(PropertyValue{type, bytes, propertyOf(property).codePage}, write, context);
}

wendrel_status wendrel_property_binary(const wendrel_property* property, size_t index, const uint8_t** data,
                                       size_t* size) {
  if (property == nullptr || data == nullptr || size == nullptr) return WENDREL_ERROR_ARGUMENT;
  const ModelProperty& p = propertyOf(property);
  if (!counted(baseTypeOf(p))) return WENDREL_ERROR_TYPE;
  ByteView bytes;
  if (!valueAt(p, index, bytes)) return WENDREL_ERROR_ARGUMENT;
  *data = bytes.data();
  *size = bytes.size();
  return WENDREL_OK;
}

int64_t wendrel_ticks_to_unix(int64_t ticks) {
  constexpr std::int64_t kTicksPerSecond = 10000000, kSecondsTo1970 = 11644473600;
  std::int64_t seconds = ticks / kTicksPerSecond - (ticks % kTicksPerSecond < 0 ? 1 : 0);
  return seconds - kSecondsTo1970;
}

// ---- Attachments ----

const wendrel_property_list* wendrel_attachment_properties(const wendrel_attachment* attachment) {
  return attachment != nullptr ? handleOf(&attachment->model->properties) : nullptr;
}

size_t wendrel_attachment_attribute_count(const wendrel_attachment* attachment) {
  return attachment != nullptr ? attachment->attributeCount : 0;
}

const wendrel_attribute* wendrel_attachment_attribute(const wendrel_attachment* attachment, size_t index) {
  if (index >= wendrel_attachment_attribute_count(attachment)) return nullptr;
  return handleOf(attachment->attributes[index]);
}

wendrel_attachment_kind wendrel_attachment_kind_of(const wendrel_attachment* attachment) {
  if (attachment == nullptr || attachment->part == nullptr) return WENDREL_ATTACHMENT_NONE;
  switch (attachment->part->kind) {
    case PartKind::data: return WENDREL_ATTACHMENT_DATA;
    case PartKind::oleContents: return WENDREL_ATTACHMENT_OLE_PICTURE;
    case PartKind::oleFile: return WENDREL_ATTACHMENT_OLE_FILE;
    case PartKind::message: return WENDREL_ATTACHMENT_MESSAGE;
  }
  return WENDREL_ATTACHMENT_NONE;
}

const char* wendrel_attachment_name(const wendrel_attachment* attachment) {
  return attachment != nullptr && attachment->part != nullptr ? attachment->part->name : "";
}

const char* wendrel_attachment_mime_type(const wendrel_attachment* attachment) {
  return attachment != nullptr ? attachment->mimeType : nullptr;
}

const char* wendrel_attachment_content_id(const wendrel_attachment* attachment) {
  return attachment != nullptr ? attachment->contentId : nullptr;
}

const uint8_t* wendrel_attachment_data(const wendrel_attachment* attachment, size_t* size) {
  ByteView data;
  if (attachment != nullptr && attachment->part != nullptr) {
    const MessagePart& part = *attachment->part;
    data = part.kind == PartKind::oleContents ? ByteView(part.picture, part.pictureSize) : part.bytes;
  }
  if (size != nullptr) *size = data.size();
  return data.empty() ? nullptr : data.data();
}

const wendrel_message* wendrel_attachment_message(const wendrel_attachment* attachment) {
  return attachment != nullptr ? attachment->message : nullptr;
}

}  // extern "C"
