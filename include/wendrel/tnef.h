#pragma once
// The TNEF decoder: stream framing, the attribute catalogue and its value
// formatters, the attribute handlers and the MAPI property walk.
//
// Decoding state is of two kinds. What lasts for a whole run of a decoder is
// the decoder's (see decoder.h): the option flags, three scratch buffers for
// formatted values, the counters that number saved bodies, the files saved
// so far and the saves that failed. What belongs to one stream (the
// attachment being named, the code page) lives in a StreamState, so that a
// message attached inside another one starts afresh and leaves the outer
// stream's state as it found it. resetDecoderState() puts the decoder's state
// back to its start-up values (and frees what the run allocated) for
// programs that decode more than one stream with one decoder.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "wendrel/bytes.h"

namespace wendrel {

namespace codepage {
struct CodePage;
}
struct MessageRecord;

inline constexpr std::size_t kScratchSize = 256;
inline constexpr std::size_t kMaxText = kScratchSize - 1;

void resetDecoderState();

// ---- The state of one stream ----
struct StreamState {
  // The name that attachment data is saved under: "default.dat" until the
  // first attachment title, then the latest title seen.
  char attachmentFileName[kScratchSize] = "default.dat";
  // An attAttachTitle, or an attAttachData, has been handled since the
  // latest attAttachRenddata (which begins an attachment) or the start.
  bool attachmentTitled = false;
  bool attachmentHasData = false;
  // The attachment's own property list (attAttachment) seen since then.
  ByteView attachmentProperties;
  // The records after the one being handled, to the end of the stream.
  ByteView followingRecords;
  // What 8-bit text is in: the latest attOemCodepage; nullptr while unknown
  // or when it cannot be converted (the text is then shown as it stands).
  const codepage::CodePage* codePage = nullptr;
  int depth = 0;  // 0 for the file's own stream, 1 for a message attached to it, ...
  // What the writers at the end of the message read (see message.h).
  MessageRecord* message = nullptr;
};

// The stream being decoded (outside a walk, a state of its own).
StreamState& streamState();

// ---- Stream layout ----
inline constexpr std::uint32_t kTnefSignature = 0x223E9F78;
inline constexpr std::size_t kStreamHeaderSize = 6;
// level (1) + attribute ID (4) + length (4) + value + checksum (2)
inline constexpr std::size_t kRecordOverhead = 11;
inline constexpr std::size_t kRecordValueOffset = 9;

struct StreamHeader {
  std::uint32_t signature;
  std::uint16_t attachKey;
};

struct AttributeRecord {
  std::uint8_t level;  // 1: message, anything else: attachment
  std::uint32_t attributeId;
  std::uint32_t length;
  ByteView value;
  std::uint16_t checksum;
};

// Seven little-endian words; hour, minute and second are never shown.
struct TnefDate {
  std::uint16_t year, month, day, hour, minute, second, dayOfWeek;
};
inline constexpr std::size_t kTnefDateSize = 14;

// ---- Attribute type codes (upper 16 bits of an attribute ID) ----
inline constexpr std::uint16_t atpTriples = 0;
inline constexpr std::uint16_t atpString = 1;
inline constexpr std::uint16_t atpText = 2;
inline constexpr std::uint16_t atpDate = 3;
inline constexpr std::uint16_t atpShort = 4;
inline constexpr std::uint16_t atpLong = 5;
inline constexpr std::uint16_t atpByte = 6;
inline constexpr std::uint16_t atpWord = 7;
inline constexpr std::uint16_t atpDword = 8;

// ---- Attribute IDs ----
inline constexpr std::uint32_t attNull = 0x00000000;
inline constexpr std::uint32_t attFrom = 0x00008000;
inline constexpr std::uint32_t attSubject = 0x00018004;
inline constexpr std::uint32_t attMessageID = 0x00018009;
inline constexpr std::uint32_t attParentID = 0x0001800A;
inline constexpr std::uint32_t attConversationID = 0x0001800B;
inline constexpr std::uint32_t attAttachTitle = 0x00018010;
inline constexpr std::uint32_t attBody = 0x0002800C;
inline constexpr std::uint32_t attDateStart = 0x00030006;
inline constexpr std::uint32_t attDateEnd = 0x00030007;
inline constexpr std::uint32_t attDateSent = 0x00038005;
inline constexpr std::uint32_t attDateRecd = 0x00038006;
inline constexpr std::uint32_t attAttachCreateDate = 0x00038012;
inline constexpr std::uint32_t attAttachModifyDate = 0x00038013;
inline constexpr std::uint32_t attDateModified = 0x00038020;
inline constexpr std::uint32_t attRequestRes = 0x00040009;
inline constexpr std::uint32_t attPriority = 0x0004800D;
inline constexpr std::uint32_t attAidOwner = 0x00050008;
inline constexpr std::uint32_t attOwner = 0x00060000;
inline constexpr std::uint32_t attSentFor = 0x00060001;
inline constexpr std::uint32_t attDelegate = 0x00060002;
inline constexpr std::uint32_t attMessageStatus = 0x00068007;
inline constexpr std::uint32_t attAttachData = 0x0006800F;
inline constexpr std::uint32_t attAttachMetaFile = 0x00068011;
inline constexpr std::uint32_t attAttachTransportFilename = 0x00069001;
inline constexpr std::uint32_t attAttachRenddata = 0x00069002;
inline constexpr std::uint32_t attMAPIProps = 0x00069003;
inline constexpr std::uint32_t attRecipTable = 0x00069004;
inline constexpr std::uint32_t attAttachment = 0x00069005;
inline constexpr std::uint32_t attOemCodepage = 0x00069007;
inline constexpr std::uint32_t attOriginalMessageClass = 0x00070006;
inline constexpr std::uint32_t attMessageClass = 0x00078008;
inline constexpr std::uint32_t attTnefVersion = 0x00089006;

constexpr std::uint16_t attributeType(std::uint32_t attributeId) {
  return static_cast<std::uint16_t>(attributeId >> 16);
}

// ---- Stream walk ----
// Prints the signature verdict and attach key, then every record that lies
// wholly inside the buffer. Always returns 0.
int decodeStream(std::span<const std::uint8_t> stream);
// Decodes a stream that lies inside the one being decoded (a message attached
// to it), at depth levels below the file's own, with a fresh StreamState.
// Returns its record when whole messages are kept (see message.h), else
// nothing: the record is gone with the walk.
MessageRecord* decodeNestedStream(ByteView stream, int depth);
// Prints the verbose header of one whole record (the view spans exactly the
// record) and dispatches it; returns the bytes the record occupies.
std::int64_t handleAttribute(ByteView record);
// The records after the one being handled, to the end of the stream (empty
// outside a walk): what a handler may look ahead at.
ByteView followingRecords();
// Splits the first record off records when it lies wholly inside them.
bool takeRecord(ByteView& records, AttributeRecord& record);

// ---- Catalogue and formatters ----
std::uint32_t readDword(ByteView bytes, std::size_t offset = 0);
std::uint16_t readWord(ByteView bytes, std::size_t offset = 0);
std::string_view attributeName(std::uint32_t attributeId);
std::string_view attributeTypeName(std::uint16_t typeCode);
TnefDate readTnefDate(ByteView value);
std::string_view formatDate(ByteView value);
std::string_view priorityLabel(std::uint16_t priority);
std::string_view messageStatusText(std::uint8_t flags);
// At most 255 bytes of an 8-bit text, up to its first NUL, into text.
std::string_view copyStringValue(ByteView value, char (&text)[kScratchSize]);
std::string_view copyStringValue(ByteView value);  // into the decoder's stringScratch
// The same text as it is shown and used for names: converted from page to
// UTF-8 (when page is known and the text has a byte above 0x7F) and cut to at
// most 255 bytes between characters.
std::string_view copyTextValue(ByteView value, const codepage::CodePage* page, char (&text)[kScratchSize]);
std::string_view copyTextValue(ByteView value, const codepage::CodePage* page);
// copyTextValue in the code page of the stream being decoded.
std::string_view streamText(ByteView value, char (&text)[kScratchSize]);
std::string_view streamText(ByteView value);
// A UTF-16LE text as UTF-8 into text: up to the first zero unit, surrogate
// pairs combined, unpaired surrogates as U+FFFD, cut to at most 255 bytes
// between characters.
std::string_view copyUnicodeValue(ByteView value, char (&text)[kScratchSize]);
std::string_view copyUnicodeValue(ByteView value);
// The same UTF-8 written to text, which has room for 255 bytes; returns its
// length (no NUL is written).
std::size_t writeUnicodeValue(ByteView value, char* text);

// ---- Attribute handlers ----
void dispatchAttribute(std::uint32_t attributeId, ByteView value);
int printGenericAttribute(std::uint32_t attributeId, ByteView value);
// The contents of a file to save, made while it is written: produce hands them
// to write block by block and returns false as soon as write does.
struct FileContents {
  bool (*produce)(const void* source, BlockSink write, void* context);
  const void* source;
  std::uint64_t size;  // how many bytes produce makes; 0 when not known beforehand
};
// Writes contents to the confined form of name and remembers that this run
// created it; 0 on success, -1 on any failure (reported on standard error and
// counted in the decoder's failedSaves).
int saveToFile(std::string_view name, const FileContents& contents);
int saveToFile(std::string_view name, ByteView data);

// ---- Attachments ----
// attAttachRenddata: a new attachment begins, with no title or data yet.
void beginAttachment();
// attAttachTitle: the title becomes the attachment file name; returns it.
std::string_view rememberAttachmentTitle(ByteView value);
// attAttachData: saved or announced under the attachment's name, unless it is
// the stand-in for an attached message that the walk decodes.
void handleAttachmentData(ByteView value);
// attAttachment: the messages attached in the attachment's properties are
// decoded, and an object with no data record of its own is the attachment.
void handleAttachmentProperties(ByteView value);

// ---- Names of saved files ----
// The part of name after its last '/' or '\'; saved files never leave the
// current directory.
std::string_view confinedFileName(std::string_view name);
// False for names no file can have: empty, ".", "..", longer than 255 bytes.
bool isPlainFileName(std::string_view name);
// The confined name with each control character (U+0000-U+001F,
// U+007F-U+009F) made '_', cut to 255 bytes, NUL-terminated in buffer: the
// name a save asks for, before any suffix.
std::string_view plainFileName(std::string_view name, char (&buffer)[kScratchSize]);
// The file a save under name would create now: the confined name with each
// control character (U+0000-U+001F, U+007F-U+009F) made '_', or when that is
// taken (this run has already created it, or it is the file being decoded),
// the first of <stem>-1<ext>, <stem>-2<ext>, ... that is not. The view is
// NUL-terminated and valid until the next call.
std::string_view fileNameToCreate(std::string_view name);
// A file name made from a text (a subject, a display name): its characters
// that no file name holds anywhere ('/', '\', control characters, and
// < > : " | ? * that Windows refuses) made '_', cut between characters to
// leave room for extension; fallback when that leaves nothing, "." or "..";
// then extension. NUL-terminated in buffer.
std::string_view fileNameFrom(std::string_view text, std::string_view extension, std::string_view fallback,
                              char (&buffer)[kScratchSize]);
// The file being decoded (its device and inode): no save writes over it, under
// its own name or through a hard or symbolic link.
void protectFromSaves(std::uint64_t device, std::uint64_t inode);
void rememberCreatedFile(std::string_view name);
// How many times this run has created a file (each a different one).
std::size_t createdFileCount();
void forgetCreatedFiles();

// ---- Message bodies ----
// Each body is announced, or saved with -s under "tnef_<n>_<length>.<ext>":
// n counts the bodies of its kind met in this run, length is the stored
// length in lowercase hexadecimal.

// The compressed-RTF body: saved as RTF, and when the RTF encapsulates HTML
// or plain text, that too, under the RTF file's name with ".html" or ".txt".
void handleCompressedRtf(ByteView data);

// How a body's bytes are stored: taken whole, or text up to its first NUL
// (8-bit) or zero unit (UTF-16LE).
enum class BodyEncoding : std::uint8_t { binary, text8, utf16 };
// The HTML body property: saved as it is stored (Unicode as UTF-8).
void handleHtmlBodyProperty(ByteView data, BodyEncoding encoding);
// The plain-text body property: saved as UTF-8.
void handleTextBodyProperty(ByteView data, BodyEncoding encoding);
// The attBody attribute, after its line: saved as UTF-8 with -s.
void saveTextBodyAttribute(ByteView value);

// ---- MAPI property list ----
void dumpMapiProperties(ByteView value);
std::string_view mapiTypeName(std::uint16_t type);
// The first single-valued 8-bit or Unicode string property with the given ID
// in a property list, as text in text (UTF-8 for Unicode); nothing when the
// list holds none before its end or its first property that does not fit.
std::optional<std::string_view> findStringProperty(ByteView list, std::uint16_t id,
                                                   char (&text)[kScratchSize]);
// The first PT_BOOLEAN property with the given ID in a property list.
std::optional<bool> findBooleanProperty(ByteView list, std::uint16_t id);
// Calls visit with the data of each single-valued PT_OBJECT property with the
// given ID in list, in order, until visit returns false or the list ends.
void forEachObjectProperty(ByteView list, std::uint16_t id, bool (*visit)(ByteView data, void* context),
                           void* context);

}  // namespace wendrel
