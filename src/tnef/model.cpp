// The whole account of a message, kept while the walk goes (see MessageModel
// in message.h): every record, every property list, the recipient rows, the
// attachments and the damage met.

#include <algorithm>
#include <cstring>

#include "wendrel/decoder.h"
#include "wendrel/formats/compound_file.h"
#include "wendrel/message.h"
#include "wendrel/tnef.h"

namespace wendrel {

namespace {

// The record of the message being walked, when the decoder keeps models.
MessageRecord* modelMessage() { return decoder().keepModel ? currentMessage() : nullptr; }

void noteMemoryShortage(MessageRecord& message, const std::uint8_t* where) {
  // Said once: the damage list itself may be what could not grow.
  for (const ModelDamage& damage : message.model.damage) {
    if (damage.kind == DamageKind::memory) return;
  }
  auto offset = static_cast<std::uint64_t>(where - decoder().fileStart);
  message.model.damage.append(ModelDamage{DamageKind::memory, offset});
}

template <typename T>
void append(MessageRecord& message, KeptArray<T>& array, const T& item, const std::uint8_t* where) {
  if (array.append(item) == nullptr) noteMemoryShortage(message, where);
}

// The latest attachment, begun when a record of one comes before any
// attAttachRenddata.
ModelAttachment* currentAttachment(MessageRecord& message, const std::uint8_t* where) {
  if (message.model.attachments.count == 0) append(message, message.model.attachments, ModelAttachment{}, where);
  if (message.model.attachments.count == 0) return nullptr;
  return &message.model.attachments.items[message.model.attachments.count - 1];
}

bool readsPicture(const MessagePart& part) { return part.kind == PartKind::oleContents && part.picture == nullptr; }

bool appendPicture(ByteView block, void* part) {
  auto& p = *static_cast<MessagePart*>(part);
  std::size_t take = std::min<std::size_t>(block.size(), p.contents.size - p.pictureSize);
  std::memcpy(p.picture + p.pictureSize, block.data(), take);
  p.pictureSize += take;
  return take == block.size();
}

void releaseList(PropertyList& list) {
  list.properties.release();
  std::free(list.values);
  list.values = nullptr;
}

constexpr std::uint16_t PT_OBJECT = 0x000D, PT_STRING8 = 0x001E, PT_UNICODE = 0x001F, PT_BINARY = 0x0102,
                        kMultiValued = 0x1000;

bool hasCountedValues(const ModelProperty& property) {
  auto type = static_cast<std::uint16_t>(property.tag);
  if ((type & kMultiValued) == 0) return false;
  type &= static_cast<std::uint16_t>(~kMultiValued);
  return type == PT_OBJECT || type == PT_STRING8 || type == PT_UNICODE || type == PT_BINARY;
}

// Each counted value of a multi-valued property: a length, the data, padding
// to 4 (the walk has checked that they fit).
template <typename Visit>
void forEachCountedValue(const ModelProperty& property, Visit visit) {
  ByteView data = property.value();
  std::uint32_t count = data.dword(0);
  std::size_t at = 4;
  for (std::uint32_t i = 0; i < count && data.contains(at, 4); ++i) {
    std::uint32_t length = data.dword(at);
    visit(data.sub(at + 4, length));
    at += 4 + ((std::size_t{length} + 3) & ~std::size_t{3});
  }
}

// The values of the list's multi-valued counted properties, in one block.
void indexValues(MessageRecord& message, PropertyList& list) {
  std::size_t total = 0;
  for (const ModelProperty& property : list.properties) {
    if (hasCountedValues(property)) forEachCountedValue(property, [&](ByteView) { ++total; });
  }
  if (total == 0) return;
  list.values = static_cast<ByteView*>(keepMemory(total * sizeof(ByteView)));
  if (list.values == nullptr) return noteMemoryShortage(message, list.properties.items[0].data);
  std::size_t next = 0;
  for (ModelProperty& property : list.properties) {
    if (!hasCountedValues(property)) continue;
    std::size_t first = next;
    forEachCountedValue(property, [&](ByteView value) { list.values[next++] = value; });
    // The walk took exactly the count's values; a property whose values are
    // not all here gets none, so that no index reads past them.
    property.values = next - first == property.value().dword(0) ? list.values + first : nullptr;
  }
}

}  // namespace

void noteDamage(DamageKind kind, const std::uint8_t* where) {
  MessageRecord* message = modelMessage();
  if (message == nullptr) return;
  append(*message, message->model.damage, ModelDamage{kind, static_cast<std::uint64_t>(where - decoder().fileStart)},
         where);
}

void modelBeginStream(MessageRecord& message, ByteView stream) {
  if (!decoder().keepModel) return;
  message.model.offset = static_cast<std::uint64_t>(stream.data() - decoder().fileStart);
  message.model.signatureOk = stream.size() >= kStreamHeaderSize && stream.dword(0) == kTnefSignature;
  message.model.attachKey = stream.word(4);
}

void modelKeepAttribute(ByteView record) {
  MessageRecord* message = modelMessage();
  if (message == nullptr) return;
  std::uint32_t attachment = 0;
  if (record.byte(0) != 1 && currentAttachment(*message, record.data()) != nullptr) {
    attachment = message->model.attachments.count;
  }
  auto offset = static_cast<std::uint64_t>(record.data() - decoder().fileStart);
  append(*message, message->model.attributes, ModelAttribute{offset, record, streamState().codePage, attachment},
         record.data());
}

void modelBeginAttachment() {
  if (MessageRecord* message = modelMessage()) {
    append(*message, message->model.attachments, ModelAttachment{}, followingRecords().data());
  }
}

void modelAttachmentProperties(ByteView list) {
  MessageRecord* message = modelMessage();
  if (message == nullptr) return;
  ModelAttachment* attachment = currentAttachment(*message, list.data());
  if (attachment == nullptr) return;
  // A second attAttachment for the same attachment adds its properties after the first's.
  modelPropertyList(list, attachment->properties, streamState().codePage);
}

void modelRecipientTable(ByteView table) {
  MessageRecord* message = modelMessage();
  if (message == nullptr) return;
  std::uint32_t rows = table.dword(0);
  // A row takes at least its 4-byte count.
  bool whole = table.size() >= 4 && rows <= (table.size() - 4) / 4;
  std::size_t offset = 4;
  for (std::uint32_t i = 0; whole && i < rows; ++i) {
    ByteView rest = table.sub(offset);
    PropertyList* row = message->model.recipients.append(PropertyList{});
    if (row == nullptr) return noteMemoryShortage(*message, rest.data());
    std::optional<std::size_t> taken = modelPropertyList(rest, *row, streamState().codePage);
    whole = taken.has_value();
    offset += taken.value_or(0);
  }
  if (!whole) noteDamage(DamageKind::truncatedRecipientTable, table.data());
}

void modelNotePart(MessageRecord& message) {
  if (!decoder().keepModel || &message != currentMessage()) return;
  ModelAttachment* attachment = currentAttachment(message, followingRecords().data());
  if (attachment == nullptr) return;
  if (attachment->partCount == 0) attachment->firstPart = message.partCount - 1;
  ++attachment->partCount;
}

void finishModel(MessageRecord& message) {
  if (!decoder().keepModel) return;
  indexValues(message, message.model.properties);
  for (PropertyList& row : message.model.recipients) indexValues(message, row);
  for (ModelAttachment& attachment : message.model.attachments) indexValues(message, attachment.properties);
  for (std::uint32_t i = 0; i < message.partCount; ++i) {
    MessagePart& part = message.parts[i];
    if (!readsPicture(part) || part.contents.size == 0) continue;
    part.picture = static_cast<std::uint8_t*>(keepMemory(part.contents.size));
    if (part.picture == nullptr) {
      noteMemoryShortage(message, part.bytes.data());
      continue;
    }
    readCompoundStream(part.contents, appendPicture, &part);
  }
}

void freeModel(MessageModel& model) {
  model.attributes.release();
  releaseList(model.properties);
  for (PropertyList& row : model.recipients) releaseList(row);
  model.recipients.release();
  for (ModelAttachment& attachment : model.attachments) releaseList(attachment.properties);
  model.attachments.release();
  model.damage.release();
}

}  // namespace wendrel
