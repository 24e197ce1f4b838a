#pragma once
// The record of one decoded message: what output written after the walk (a
// calendar item, a MIME message) needs of it. The walk prints as it goes; a
// calendar item or a MIME message needs properties from several records, so
// while it walks a message the walk also fills this record, and the writers
// read it at the end of the message instead of the raw records.
//
// The record holds the message's attributes and MAPI properties that those
// writers use (a fixed catalogue, found by tag or, for named properties, by
// property set and number: the tags of named properties differ from stream
// to stream), each as a view of the stream's bytes with its type, the first
// one of each kind winning. The stream outlives every record.
//
// A program that rebuilds whole messages sets its decoder's
// keepWholeMessages before the walk: each record then also keeps the message's attachments in the form
// wendrel saves them (and the records of attached messages), and the record
// of the file's own stream is handed over at the end instead of freed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "wendrel/bytes.h"
#include "wendrel/formats/compound_file.h"
#include "wendrel/formats/compressed_rtf.h"
#include "wendrel/formats/encapsulated_rtf.h"
#include "wendrel/tnef.h"

namespace wendrel {

// The properties a record keeps. Attribute values are 8-bit text (subject,
// class, body), a TNEF date or bytes; the rest are MAPI properties.
enum class Prop : std::uint8_t {
  // Attributes
  attMessageClass,
  attSubject,
  attBody,
  attDateStart,
  attDateEnd,
  attDateSent,
  attRecipTable,
  // Tagged MAPI properties (of messages, attachments and recipient rows)
  importance,
  messageClass,
  sensitivity,
  subject,
  clientSubmitTime,
  subjectPrefix,
  sentRepresentingName,
  responseRequested,
  sentRepresentingAddressType,
  sentRepresentingEmailAddress,
  conversationTopic,
  transportMessageHeaders,
  senderName,
  recipientType,
  senderAddressType,
  senderEmailAddress,
  normalizedSubject,
  primarySendAccount,
  body,
  rtfCompressed,
  htmlBody,
  internetMessageId,
  internetReferences,
  inReplyToId,
  displayName,
  addressType,
  emailAddress,
  creationTime,
  lastModificationTime,
  attachMimeTag,
  attachContentId,
  smtpAddress,
  internetCodePage,
  senderSmtpAddress,
  sentRepresentingSmtpAddress,
  recipientFlags,
  recipientTrackStatus,
  // Reports (read receipts, delivery reports) and what they report on
  reportTime,
  originalSubject,
  originalSubmitTime,
  originalDisplayTo,
  ndrReasonCode,
  ndrDiagCode,
  supplementaryInfo,
  ndrStatusCode,
  remoteMta,
  reportText,
  originalMessageId,
  reportingMta,
  // Named by a string: PS_INTERNET_HEADERS
  internetContentType,
  attMessageId,
  // Contacts and distribution lists (MS-OXOCNTC)
  surname,
  givenName,
  middleName,
  displayNamePrefix,
  generation,
  nickname,
  companyName,
  departmentName,
  title,
  profession,
  businessPhone,
  homePhone,
  home2Phone,
  business2Phone,
  otherPhone,
  mobilePhone,
  pagerPhone,
  carPhone,
  isdnNumber,
  homeFax,
  businessFax,
  primaryFax,
  primaryPhone,
  assistantPhone,
  callbackPhone,
  companyMainPhone,
  radioPhone,
  ttyPhone,
  telexNumber,
  homePostOfficeBox,
  homeStreet,
  homeCity,
  homeState,
  homePostalCode,
  homeCountry,
  otherPostOfficeBox,
  otherStreet,
  otherCity,
  otherState,
  otherPostalCode,
  otherCountry,
  businessHomePage,
  personalHomePage,
  birthday,
  weddingAnniversary,
  spouseName,
  managerName,
  assistantName,
  attachContactPhoto,
  // Named: PSETID_Address
  email1DisplayName,
  email1AddressType,
  email1Address,
  email1OriginalDisplayName,
  email2DisplayName,
  email2AddressType,
  email2Address,
  email2OriginalDisplayName,
  email3DisplayName,
  email3AddressType,
  email3Address,
  email3OriginalDisplayName,
  workStreet,
  workCity,
  workState,
  workPostalCode,
  workCountry,
  workPostOfficeBox,
  postalAddressId,
  fileUnder,
  instantMessagingAddress,
  freeBusyLocation,
  birthdayLocal,
  weddingAnniversaryLocal,
  distributionListName,
  distributionListOneOffMembers,
  distributionListMembers,
  // Named by a string: PS_PUBLIC_STRINGS
  keywords,
  // The picture of a contact: the data of its attachment marked as one
  contactPhoto,
  // Named: PSETID_Meeting
  attendeeCriticalChange,
  globalObjectId,
  cleanGlobalObjectId,
  // Named: PSETID_Appointment
  appointmentSequence,
  busyStatus,
  location,
  appointmentStartWhole,
  appointmentEndWhole,
  appointmentSubType,
  appointmentRecur,
  timeZoneStruct,
  timeZoneDescription,
  toAttendeesString,
  ccAttendeesString,
  timeZoneDefinitionStartDisplay,
  timeZoneDefinitionRecur,
  // Named: PSETID_Common
  reminderDelta,
  reminderTime,
  reminderSet,
  taskGlobalId,
  internetAccountName,
  // Named: PSETID_Task
  taskStatus,
  percentComplete,
  taskStartDate,
  taskDueDate,
  taskDateCompleted,
  taskRecurrence,
  count
};

// The type a date attribute's value is kept under (no MAPI type has it).
inline constexpr std::uint16_t kTnefDateType = 0xFFFF;

struct PropertyValue {
  std::uint16_t type = 0;  // PT_* (or kTnefDateType); 0 for none
  ByteView data;           // a counted value's data, or a fixed value's slot
  const codepage::CodePage* codePage = nullptr;  // in force when it was read, for 8-bit text
};

// The kept properties of one message, attachment or recipient row: only
// those present take room.
class PropertySet {
 public:
  static constexpr std::size_t kPresenceWords = 4;

  PropertySet() = default;
  PropertySet(const PropertySet&) = delete;
  PropertySet& operator=(const PropertySet&) = delete;
  PropertySet(PropertySet&& other) noexcept;
  PropertySet& operator=(PropertySet&& other) noexcept;
  ~PropertySet();

  // nullptr when the set holds no such property.
  const PropertyValue* find(Prop prop) const;
  // One bit test: the walk asks this for every property it meets, and most
  // repeat one the set holds already.
  bool has(Prop prop) const {
    auto bit = static_cast<unsigned>(prop);
    return (present_[bit / 64] >> (bit % 64) & 1) != 0;
  }
  // Keeps value unless the set holds the property already (the first wins),
  // or memory runs out.
  void add(Prop prop, const PropertyValue& value);

 private:
  struct Entry {
    Prop prop;
    PropertyValue value;
  };
  std::uint64_t present_[kPresenceWords] = {};
  Entry* entries_ = nullptr;
  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = 0;
};
static_assert(static_cast<std::size_t>(Prop::count) <= 64 * PropertySet::kPresenceWords,
              "PropertySet keeps a bit of presence for every Prop");

// The kept property for an attribute ID, a property tag's ID, or a named
// property (its set's GUID, and its number), when the catalogue has one.
std::optional<Prop> propForAttribute(std::uint32_t attributeId);
std::optional<Prop> propForTag(std::uint16_t id);
std::optional<Prop> propForName(ByteView guid, std::uint32_t number);
// A property named by a string (its UTF-16LE name), compared without regard
// to case.
std::optional<Prop> propForStringName(ByteView guid, ByteView name);
// Whether the catalogue keeps a value of this type for prop.
bool takesType(Prop prop, std::uint16_t type);

// ---- Values ----
// A number (PT_LONG, PT_I2, PT_BOOLEAN, PT_I8).
std::optional<std::int64_t> integerValue(const PropertyValue* value);
// PT_BOOLEAN, or any number (non-zero is true).
std::optional<bool> booleanValue(const PropertyValue* value);
// PT_DOUBLE, PT_R4 or a number.
std::optional<double> floatValue(const PropertyValue* value);
// PT_SYSTIME as seconds since 1601-01-01 UTC.
std::optional<std::int64_t> timeValue(const PropertyValue* value);
// A date attribute's fields as seconds since 1601, in whatever zone the
// sender wrote it (attDateStart and attDateEnd hold the item's wall time,
// attDateSent the sender's); nothing for a date no calendar has.
std::optional<std::int64_t> dateValue(const PropertyValue* value);
// PT_BINARY (and PT_OBJECT) data.
std::optional<ByteView> binaryValue(const PropertyValue* value);
// Calls visit with each value of a multi-valued string or binary property
// (each as a single value of the base type), in order, until visit returns
// false; false when a value does not fit.
bool forEachValue(const PropertyValue* value, bool (*visit)(const PropertyValue& single, void* context), void* context);
// A text value (PT_STRING8 in its code page, PT_UNICODE) as UTF-8, whole,
// handed to write in blocks; false when it is no text or write fails.
bool writeTextValue(const PropertyValue* value, BlockSink write, void* context);
// At most 255 bytes of the same text, cut between characters, into text;
// nothing when it is no text.
std::optional<std::string_view> shortTextValue(const PropertyValue* value, char (&text)[kScratchSize]);

// A text value as UTF-8, whole, in memory of its own: for writers that look
// at a text as a whole (a prefix to take off, an address to check).
class OwnedText {
 public:
  OwnedText() = default;
  OwnedText(const OwnedText&) = delete;
  OwnedText& operator=(const OwnedText&) = delete;
  OwnedText(OwnedText&& other) noexcept;
  OwnedText& operator=(OwnedText&& other) noexcept;
  ~OwnedText();

  std::string_view view() const { return {data_, size_}; }
  bool empty() const { return size_ == 0; }
  // Appends bytes (a BlockSink's context is the OwnedText); false when memory runs out.
  bool append(std::string_view bytes);
  static bool sink(ByteView block, void* text);

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The value's text (empty when it is none).
OwnedText textOf(const PropertyValue* value);

// ---- People ----

// text without the blanks and tabs around it.
std::string_view trimBlanks(std::string_view text);

// An e-mail address a mail or calendar program can write to: something
// before and after one '@', and nothing that would end an address early.
bool isAddress(std::string_view text);

struct Mailbox {
  OwnedText name;     // empty when there is none
  OwnedText address;  // an address
};

// An SMTP address from a set: its SMTP property, else its e-mail address
// when its address type is SMTP; empty when neither is an address.
OwnedText smtpAddressOf(const PropertySet& set, Prop smtp, Prop addressType, Prop email);
// The recipient of a recipient-table row, when it has an address.
bool recipientOf(const PropertySet& row, Mailbox& mailbox);
// A row's PR_RECIPIENT_TYPE without its flags: 1 To (also when missing), 2 Cc, 3 Bcc.
std::int64_t recipientTypeOf(const PropertySet& row);
inline constexpr std::int64_t kRecipientTo = 1, kRecipientCc = 2, kRecipientBcc = 3;

struct MessageRecord;

// ---- What keepWholeMessages adds: attachments as wendrel saves them ----
enum class PartKind : std::uint8_t {
  data,        // attachment data, as it stands
  oleContents, // the picture (CONTENTS stream) of an OLE object
  oleFile,     // an OLE object's whole compound file (also when it is damaged)
  message,     // an attached message, decoded
};

struct MessagePart {
  PartKind kind = PartKind::data;
  // The name wendrel saves it under, before any -N suffix (UTF-8, no '/',
  // '\' or control characters); for a message, its attachment's name.
  char* name = nullptr;
  std::uint32_t nameLength = 0;
  ByteView bytes;              // data, the compound file, or an attached message's stream
  CompoundFileStream contents; // oleContents
  // keepModel: an OLE picture read out of its compound file (malloc'd).
  std::uint8_t* picture = nullptr;
  std::size_t pictureSize = 0;
  // The attachment's own property list (attAttachment), as it stands: many
  // parts may share one, so it is read when it is needed, in page.
  ByteView properties;
  const codepage::CodePage* codePage = nullptr;
  MessageRecord* message = nullptr;
  std::string_view fileName() const { return {name, nameLength}; }
};

// ---- What keepModel adds: the whole account of the message ----
// Every attribute, every MAPI property of the message, of each attachment and
// of each recipient row, the attachments, and the damage the walk met; views
// of the stream's bytes, so memory stays a small multiple of the stream's.

// malloc and realloc for what the walk keeps: a failure is noted, so that a
// program can tell a record that lost something to a lack of memory from a
// whole one.
void* keepMemory(std::size_t bytes);
void* regrowMemory(void* block, std::size_t bytes);
// True when a keepMemory or regrowMemory of this decoder failed since
// resetDecoderState().
bool memoryRanShort();
void forgetMemoryShortage();

// The blocks of the model's arrays: small ones from malloc, large ones (a
// list of a million properties) mapped in huge pages, which grow in place
// and cost a page fault every 2 MiB rather than every 4 KiB. A growth that
// finds no memory is noted (see memoryRanShort) and gives nullptr, leaving
// the block as it was.
void* growArrayBlock(void* block, std::size_t oldBytes, std::size_t newBytes);
void freeArrayBlock(void* block, std::size_t bytes);

// An array of trivially copyable T that doubles as it fills; an append that
// finds no memory is dropped (and noted, see memoryRanShort).
template <typename T>
struct KeptArray {
  T* items = nullptr;
  std::uint32_t count = 0;
  std::uint32_t capacity = 0;

  T* append(const T& item) {
    if (count == capacity) {
      std::uint32_t grown = capacity == 0 ? 8 : 2 * capacity;
      if (grown <= capacity || std::size_t{grown} > SIZE_MAX / sizeof(T)) return nullptr;
      void* block = growArrayBlock(items, std::size_t{capacity} * sizeof(T), std::size_t{grown} * sizeof(T));
      if (block == nullptr) return nullptr;
      items = static_cast<T*>(block);
      capacity = grown;
    }
    items[count] = item;
    return &items[count++];
  }
  T* begin() const { return items; }
  T* end() const { return items + count; }
  void release() {
    freeArrayBlock(items, std::size_t{capacity} * sizeof(T));
    *this = {};
  }
};

struct ModelProperty {
  std::uint32_t tag = 0;
  std::uint32_t size = 0;              // of data
  const std::uint8_t* data = nullptr;  // a single value's slot or counted data; a multi-valued one's count and values
  const std::uint8_t* name = nullptr;  // a named property's GUID, kind and number or name, as stored; else null
  const codepage::CodePage* codePage = nullptr;  // in force for its 8-bit text
  // A multi-valued string, binary or object property's values, each its data
  // (set when the message's walk ends); else null.
  const ByteView* values = nullptr;
  ByteView value() const { return {data, size}; }
};

struct PropertyList {
  KeptArray<ModelProperty> properties;
  bool whole = true;  // false: a property that its list's count promised did not fit
  ByteView* values = nullptr;  // what its multi-valued counted properties' values point into
};

struct ModelAttribute {
  std::uint64_t offset = 0;  // of the record, from the start of the file's stream
  ByteView record;  // the whole record: level, ID, length, value, checksum
  const codepage::CodePage* codePage = nullptr;  // in force when it was read
  std::uint32_t attachment = 0;  // 0: the message's; else its attachment's index plus one
};

struct ModelAttachment {
  PropertyList properties;                   // its attAttachment list
  std::uint32_t firstPart = 0, partCount = 0;  // what wendrel saves of it, among the message's parts
};

enum class DamageKind : std::uint8_t {
  shortStream,            // too short for a TNEF header
  badSignature,           // the first four bytes are not the TNEF signature
  truncatedRecord,        // a record cut short, or a length past the end
  truncatedPropertyList,  // a MAPI property list cut short
  truncatedRecipientTable,
  damagedRtf,             // a compressed-RTF body that does not decompress
  damagedOleObject,       // an OLE object whose compound file cannot be read
  nestedTooDeep,          // an attached message below the deepest level decoded
  memory,                 // memory ran out: the model is not whole
};

struct ModelDamage {
  DamageKind kind;
  std::uint64_t offset;  // from the start of the file's stream
};

struct MessageModel {
  bool signatureOk = false;
  std::uint16_t attachKey = 0;
  std::uint64_t offset = 0;  // of the message's stream, from the start of the file's
  KeptArray<ModelAttribute> attributes;
  PropertyList properties;  // attMAPIProps, all of them in order
  KeptArray<PropertyList> recipients;
  KeptArray<ModelAttachment> attachments;
  KeptArray<ModelDamage> damage;
};

struct MessageRecord {
  MessageRecord() = default;
  MessageRecord(const MessageRecord&) = delete;
  MessageRecord& operator=(const MessageRecord&) = delete;
  ~MessageRecord();  // frees the parts and the records of attached messages

  MessageRecord* parent = nullptr;  // the message this one is attached to, while both are walked
  PropertySet properties;
  // How the walk of the stream ended: a record it could not take whole
  // (cut short, or a length past the end) leaves bytesLeft unread.
  bool endedEarly = false;
  std::size_t bytesLeft = 0;
  // keepWholeMessages only: the name the first compressed-RTF body is saved
  // under, and the attachments.
  char rtfBodyName[32] = "";
  MessagePart* parts = nullptr;
  std::uint32_t partCount = 0;
  std::uint32_t partCapacity = 0;
  // keepModel only.
  MessageModel model;
  // The bytes a program handed over with the stream, freed with the record.
  void* ownedBytes = nullptr;

  const PropertyValue* find(Prop prop) const { return properties.find(prop); }
  // The walk ended on a damaged record, not just on the stray line end some
  // servers append after the last one.
  bool endsDamaged() const { return endedEarly && bytesLeft >= kRecordOverhead; }
};


// ---- The walk's side ----
// The record of the message being walked (nullptr outside a walk).
MessageRecord* currentMessage();
// Appends a part to message (keepWholeMessages); its name is copied (or
// shared with the part before it when it is the same). Returns the part, or
// nullptr when memory runs out.
MessagePart* addPart(MessageRecord& message, PartKind kind, std::string_view name);
// Takes the properties of a MAPI list (a count, then the properties) that the
// catalogue keeps into set, 8-bit text in page; returns the bytes the list
// took, or nothing when a property the count promises does not fit (those
// before it are kept).
std::optional<std::size_t> keepPropertyList(ByteView list, PropertySet& set, const codepage::CodePage* page);

// ---- The model's side (each does nothing unless the decoder keeps models) ----
// Takes the properties of a MAPI list into model, 8-bit text in page; returns
// the bytes the list took, or nothing when a property the count promises does
// not fit (those before it are kept, and the list is marked not whole).
std::optional<std::size_t> modelPropertyList(ByteView list, PropertyList& model, const codepage::CodePage* page);
// Damage met at where (a place in the file's stream), for the current message.
void noteDamage(DamageKind kind, const std::uint8_t* where);
// A stream begins: its header's verdict, at its place in the file.
void modelBeginStream(MessageRecord& message, ByteView stream);
// A record has been handled (the whole record, framing included).
void modelKeepAttribute(ByteView record);
// attAttachRenddata: an attachment begins.
void modelBeginAttachment();
// attAttachment: the attachment's own properties.
void modelAttachmentProperties(ByteView list);
// attRecipTable: its rows.
void modelRecipientTable(ByteView table);
// A part was added to the current message for the current attachment.
void modelNotePart(MessageRecord& message);
// The walk of the message has ended: what the model reads out of its parts
// (OLE pictures) is read.
void finishModel(MessageRecord& message);
void freeModel(MessageModel& model);

// The record of the file's own stream after decodeStream, with
// keepWholeMessages: the caller owns it and frees it with freeMessage.
MessageRecord* takeDecodedMessage();
void freeMessage(MessageRecord* message);

// The message's class (attMessageClass, else PR_MESSAGE_CLASS), at most 255
// bytes of it, in text; empty when it has none.
std::string_view messageClassText(const MessageRecord& message, char (&text)[kScratchSize]);
// Whether text begins (ends) with prefix (suffix), compared without regard
// to (ASCII) case.
bool beginsWithIgnoringCase(std::string_view text, std::string_view prefix);
bool endsWithIgnoringCase(std::string_view text, std::string_view suffix);
// Whether the message's class begins with prefix, compared without regard to
// case ("IPM.Note.SMIME" begins with "ipm.note").
bool classBeginsWith(const MessageRecord& message, std::string_view prefix);

// The message's subject (attSubject, else PR_SUBJECT, else the conversation
// topic), at most 255 bytes of it, in text; empty when it has none.
std::string_view subjectText(const MessageRecord& message, char (&text)[kScratchSize]);

// Who sent a message: the one it was sent for, else its sender, each only
// when it gives an address.
bool senderOf(const MessageRecord& message, Mailbox& mailbox);
// The account it was sent from (PidLidInternetAccountName, else the text after
// the last 0x01 of PR_PRIMARY_SEND_ACCT), without a name.
bool sendingAccountOf(const MessageRecord& message, Mailbox& mailbox);

// ---- Bodies ----
// What a sound compressed-RTF body encapsulates, from its first tokens (the
// expansion stops as soon as they tell).
RtfEncapsulation probeEncapsulation(const CompressedRtf& rtf);
// The document a sound body gives in mode, as UTF-8 (see RtfDeencapsulator).
bool deencapsulate(const CompressedRtf& rtf, RtfEncapsulation mode, BlockSink write, void* context);
// True for a text value that holds something before its terminator.
bool hasText(const PropertyValue* value);
// What a compressed-RTF body encapsulates (none for plain or damaged RTF).
RtfEncapsulation encapsulationOf(const PropertyValue* rtf);
// The RTF body's document, as UTF-8: in html mode the HTML it encapsulates,
// in text mode the text it encapsulates or, for plain RTF and encapsulated
// HTML, the text a reader shows. False when it is no sound body or write fails.
bool writeRtfBody(const PropertyValue* rtf, RtfEncapsulation mode, BlockSink write, void* context);
// The message's text: its text body (PR_BODY, else attBody), else the text
// of its RTF body; false when it has none or write fails.
bool writePlainText(const MessageRecord& message, BlockSink write, void* context);
// The code page 8-bit HTML is in: its Internet code page (PR_INTERNET_CPID),
// else the charset it declares; nullptr when neither can be used.
const codepage::CodePage* htmlCodePage(const MessageRecord& message, ByteView html);
// The charset to label 8-bit HTML with: the IANA name of its Internet code
// page, else the charset it declares (in lowercase, in buffer), else "utf-8"
// when it is UTF-8, else "windows-1252".
std::string_view htmlCharsetName(const MessageRecord& message, ByteView html, char (&buffer)[40]);
// 8-bit HTML as UTF-8: in htmlCodePage, else as it stands when it is UTF-8,
// else read as windows-1252. Unicode HTML as UTF-8.
bool writeHtmlText(const MessageRecord& message, const PropertyValue* html, BlockSink write, void* context);
// The bytes of an HTML body as stored (8-bit text up to its first NUL).
ByteView storedHtml(const PropertyValue* html);

// ---- Recipient rows ----
// Calls visit with the kept properties of each row of an attRecipTable value
// (a count, then each row: a count and properties, as in a MAPI list), in
// order, until visit returns false. False when the table is damaged (a row
// that does not fit, a count the bytes cannot hold); the rows before the
// damage have been visited.
bool forEachRecipient(const PropertyValue* table, bool (*visit)(const PropertySet& row, void* context),
                      void* context);

}  // namespace wendrel
