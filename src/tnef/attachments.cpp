// Attachments: the name each is saved under, its data, and what travels in
// its own property list instead: whole messages (a nested TNEF stream, which
// is decoded in place) and OLE objects (a compound file).

#include <algorithm>
#include <array>
#include <cstring>

#include "wendrel/decoder.h"
#include "wendrel/formats/compound_file.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/message.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel {

namespace {

constexpr std::uint16_t kAttachLongFilename = 0x3707;
constexpr std::uint16_t kAttachDataObject = 0x3701;

// An object property's data begins with the interface it is stored through.
using InterfaceId = std::array<std::uint8_t, 16>;
constexpr InterfaceId kMessageInterface{0x07, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr InterfaceId kStorageInterface{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Attached messages are decoded down to this many levels below the file's
// own stream; deeper ones are left as they are.
constexpr int kDeepestMessage = 8;

enum class ObjectKind : std::uint8_t { other, message, storage };

struct AttachedObject {
  ObjectKind kind = ObjectKind::other;
  ByteView contents;  // after the interface ID
};

bool startsWith(ByteView bytes, std::span<const std::uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.data());
}

AttachedObject classifyObject(ByteView data) {
  ByteView contents = data.sub(kMessageInterface.size());
  if (startsWith(data, kMessageInterface) && contents.dword(0) == kTnefSignature && contents.size() >= 4) {
    return {ObjectKind::message, contents};
  }
  if (startsWith(data, kStorageInterface) && startsWith(contents, kCompoundFileSignature)) {
    return {ObjectKind::storage, contents};
  }
  return {ObjectKind::other, contents};
}

// A message that this stream's walk decodes (one too deep is not).
bool decodesAsMessage(const AttachedObject& object) {
  return object.kind == ObjectKind::message && streamState().depth < kDeepestMessage;
}

bool holdsDecodedMessage(ByteView list) {
  bool found = false;
  forEachObjectProperty(list, kAttachDataObject, [](ByteView data, void* context) {
    *static_cast<bool*>(context) = decodesAsMessage(classifyObject(data));
    return !*static_cast<bool*>(context);
  }, &found);
  return found;
}

void printLine(std::string_view label, std::string_view text) {
  out::text(label);
  out::text(text);
  out::ch('\n');
}

// ---- Attachment data ----

// What the records after an attachment's data hold of it, up to the next
// attachment or data record: the first title and the first property list.
struct OwnRecords {
  std::optional<ByteView> title;
  std::optional<ByteView> properties;
};

OwnRecords lookAhead() {
  OwnRecords own;
  ByteView rest = followingRecords();
  AttributeRecord record;
  while (!(own.title && own.properties) && takeRecord(rest, record)) {
    if (record.attributeId == attAttachRenddata || record.attributeId == attAttachData) break;
    if (record.attributeId == attAttachTitle && !own.title) own.title = record.value;
    if (record.attributeId == attAttachment && !own.properties) own.properties = record.value;
  }
  return own;
}

std::optional<std::string_view> longFileName(ByteView list, char (&text)[kScratchSize]) {
  std::optional<std::string_view> longName = findStringProperty(list, kAttachLongFilename, text);
  if (longName && longName->empty()) return std::nullopt;
  return longName;
}

// The name attachment data goes by: the long file name in the attachment's
// own properties (mail clients show it; the title is often an 8.3 form of it),
// else the attachment's own title when none came before the data (many
// writers put the data first), else the latest earlier title.
std::string_view attachmentDataName(const OwnRecords& own, char (&text)[kScratchSize]) {
  if (own.properties) {
    if (std::optional<std::string_view> longName = longFileName(*own.properties, text)) return *longName;
  }
  if (!streamState().attachmentTitled && own.title) return streamText(*own.title, text);
  return streamState().attachmentFileName;
}

// Saves an attachment's contents to target, the file name chooses for it,
// with the lines attachment data has.
void saveAttachmentTo(std::string_view name, std::string_view target, const FileContents& contents) {
  if (saveToFile(target, contents) == 0) {
    printLine("Attachment saved to file ", target);
  } else {
    printLine("Failure saving attachment to file ", name);
  }
}

// Saves or announces an attachment's contents under name.
void saveAttachment(std::string_view name, const FileContents& contents) {
  if (!decoder().saveFiles) return printLine("TNEF Contains attached file ", name);
  saveAttachmentTo(name, fileNameToCreate(name), contents);
}

// ---- Parts of a kept message ----

// With whole messages kept, each attachment is also kept in the form it is
// saved in, under the name it is saved under (before any suffix), with its
// own properties.
MessagePart* keepPart(PartKind kind, std::string_view name, ByteView properties) {
  MessageRecord* message = currentMessage();
  if (!decoder().keepWholeMessages || message == nullptr) return nullptr;
  char plain[kScratchSize];
  MessagePart* part = addPart(*message, kind, kind == PartKind::message ? name : plainFileName(name, plain));
  if (part != nullptr) {
    part->properties = properties;
    part->codePage = streamState().codePage;
  }
  return part;
}

void keepBytesPart(PartKind kind, std::string_view name, ByteView bytes, ByteView properties) {
  if (MessagePart* part = keepPart(kind, name, properties)) part->bytes = bytes;
}

// A contact's picture is an attachment marked as one (PR_ATTACHMENT_CONTACTPHOTO):
// the message's record keeps its data, which its vCard carries.
void keepContactPhoto(ByteView data, ByteView properties) {
  constexpr std::uint16_t kAttachmentContactPhoto = 0x7FFF;
  MessageRecord* message = currentMessage();
  if (message == nullptr || message->properties.has(Prop::contactPhoto)) return;
  if (!findBooleanProperty(properties, kAttachmentContactPhoto).value_or(false)) return;
  constexpr std::uint16_t PT_BINARY = 0x0102;
  message->properties.add(Prop::contactPhoto, PropertyValue{PT_BINARY, data, nullptr});
}

bool produceBytes(const void* source, BlockSink write, void* context) {
  const ByteView& bytes = *static_cast<const ByteView*>(source);
  return bytes.empty() || write(bytes, context);
}

// ---- OLE objects ----

struct PictureType {
  std::string_view magic;
  std::size_t at;
  std::string_view extension;
  bool afterRecordOne = false;  // the file starts with the 32-bit record type 1
};

// What a picture's first bytes say it is.
constexpr std::array<PictureType, 7> kPictureTypes{{
    {"BM", 0, ".bmp"},
    {"\x89PNG\r\n\x1A\n", 0, ".png"},
    {"\xFF\xD8\xFF", 0, ".jpg"},
    {"GIF87a", 0, ".gif"},
    {"GIF89a", 0, ".gif"},
    {"\xD7\xCD\xC6\x9A", 0, ".wmf"},
    {" EMF", 40, ".emf", true},
}};

std::string_view pictureExtension(ByteView head) {
  for (const PictureType& type : kPictureTypes) {
    if (type.afterRecordOne && head.dword(0) != 1) continue;
    ByteView field = head.sub(type.at, type.magic.size());
    if (field.size() == type.magic.size() && std::equal(type.magic.begin(), type.magic.end(), field.data(),
                                                        [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
      return type.extension;
  }
  return {};
}

// The first bytes of a stream, enough to tell a picture's type.
struct Head {
  std::uint8_t bytes[48];
  std::size_t size = 0;
};

bool keepHead(ByteView block, void* context) {
  Head& head = *static_cast<Head*>(context);
  std::size_t take = std::min(block.size(), sizeof head.bytes - head.size);
  std::memcpy(head.bytes + head.size, block.data(), take);
  head.size += take;
  return head.size < sizeof head.bytes;
}

// A name with no extension (no '.' after its first byte) gets the one its
// picture's first bytes show, so that it opens on a double click. It goes on
// the name the file is saved under (what follows the last '/' or '\'), which
// is cut between characters only when the two pass 255 bytes. A name that
// leaves nothing a file can be called ("dir/", ".", "..") gets none: its save
// fails as any other does.
std::string_view withPictureExtension(std::string_view name, const CompoundFileStream& contents,
                                      char (&buffer)[kScratchSize]) {
  std::string_view own = confinedFileName(name);
  if (!isPlainFileName(own) || own.find('.', 1) != std::string_view::npos) return name;
  Head head;
  readCompoundStream(contents, keepHead, &head);
  std::string_view extension = pictureExtension(ByteView(head.bytes, head.size));
  if (extension.empty()) return name;
  std::size_t stem = own.size() + extension.size() > kMaxText ? utf8::cutLength(own, kMaxText - extension.size())
                                                               : own.size();
  char* end = std::copy(own.begin(), own.begin() + static_cast<std::ptrdiff_t>(stem), buffer);
  end = std::copy(extension.begin(), extension.end(), end);
  return {buffer, static_cast<std::size_t>(end - buffer)};
}

bool produceContents(const void* source, BlockSink write, void* context) {
  return readCompoundStream(*static_cast<const CompoundFileStream*>(source), write, context);
}

// An OLE object that stands for its attachment: the picture in its CONTENTS
// stream, or the whole compound file (an embedded document's storage is
// itself a file that office suites open), or, when the compound file cannot
// be read, that file as it stands.
void saveOleObject(ByteView object, std::string_view name, ByteView properties) {
  if (!decoder().saveFiles && !decoder().keepWholeMessages) return printLine("TNEF Contains attached file ", name);
  CompoundFileStream contents = findRootStream(object, "CONTENTS");
  if (contents.damage != CompoundFileDamage::none || !contents.found) {
    keepBytesPart(PartKind::oleFile, name, object, properties);
    if (!decoder().saveFiles) return printLine("TNEF Contains attached file ", name);
    if (contents.damage == CompoundFileDamage::none) {
      return saveAttachment(name, FileContents{produceBytes, &object, object.size()});
    }
    std::string_view target = fileNameToCreate(name);
    out::error("Damaged OLE object saved as it stands to %.*s\n", static_cast<int>(target.size()), target.data());
    noteDamage(DamageKind::damagedOleObject, object.data());
    return saveAttachmentTo(name, target, FileContents{produceBytes, &object, object.size()});
  }
  char buffer[kScratchSize];
  std::string_view pictureName = withPictureExtension(name, contents, buffer);
  if (MessagePart* part = keepPart(PartKind::oleContents, pictureName, properties)) part->contents = contents;
  if (!decoder().saveFiles) return printLine("TNEF Contains attached file ", name);
  saveAttachment(pictureName, FileContents{produceContents, &contents, contents.size});
}

// ---- Objects in the attachment's properties ----

struct ObjectVisit {
  std::string_view name;
  ByteView properties;  // the list the objects are in
};

void decodeAttachedMessage(ByteView stream, const ObjectVisit& visit) {
  printLine("Embedded message ", visit.name);
  MessagePart* part = keepPart(PartKind::message, visit.name, visit.properties);
  std::uint32_t index = part != nullptr ? static_cast<std::uint32_t>(part - currentMessage()->parts) : 0;
  MessageRecord* message = decodeNestedStream(stream, streamState().depth + 1);
  if (part != nullptr) {
    // (Parts move when the list grows; the nested walk adds none to this one.)
    currentMessage()->parts[index].message = message;
    currentMessage()->parts[index].bytes = stream;
  } else {
    freeMessage(message);
  }
  printLine("End of embedded message ", visit.name);
}

bool visitObject(ByteView data, void* context) {
  const ObjectVisit& visit = *static_cast<const ObjectVisit*>(context);
  AttachedObject object = classifyObject(data);
  if (decodesAsMessage(object)) {
    decodeAttachedMessage(object.contents, visit);
  } else if (object.kind == ObjectKind::message) {
    out::error("Embedded message %.*s nested too deeply to decode\n", static_cast<int>(visit.name.size()),
               visit.name.data());
    noteDamage(DamageKind::nestedTooDeep, object.contents.data());
  } else if (object.kind == ObjectKind::storage && !streamState().attachmentHasData) {
    saveOleObject(object.contents, visit.name, visit.properties);
  }
  return true;
}

}  // namespace

void beginAttachment() {
  modelBeginAttachment();
  streamState().attachmentTitled = false;
  streamState().attachmentHasData = false;
  streamState().attachmentProperties = {};
}

std::string_view rememberAttachmentTitle(ByteView value) {
  StreamState& stream = streamState();
  std::string_view title = streamText(value);
  std::memcpy(stream.attachmentFileName, title.data(), title.size() + 1);
  stream.attachmentTitled = true;
  return {stream.attachmentFileName, title.size()};
}

void handleAttachmentData(ByteView value) {
  streamState().attachmentHasData = true;
  OwnRecords own = lookAhead();
  // A stand-in text ("This attachment is a MAPI 1.0 embedded message ..."):
  // the message itself is decoded when its property list is reached.
  if (own.properties && holdsDecodedMessage(*own.properties)) return;
  char text[kScratchSize];
  std::string_view name = attachmentDataName(own, text);
  ByteView properties = own.properties ? *own.properties : streamState().attachmentProperties;
  keepContactPhoto(value, properties);
  keepBytesPart(PartKind::data, name, value, properties);
  saveAttachment(name, FileContents{produceBytes, &value, value.size()});
}

void handleAttachmentProperties(ByteView value) {
  modelAttachmentProperties(value);
  streamState().attachmentProperties = value;
  char text[kScratchSize];
  std::optional<std::string_view> longName = longFileName(value, text);
  ObjectVisit visit{longName ? *longName : std::string_view(streamState().attachmentFileName), value};
  forEachObjectProperty(value, kAttachDataObject, visitObject, &visit);
}

}  // namespace wendrel
