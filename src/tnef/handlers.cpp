// What each attribute means on the screen, attachment names and file saving.

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wendrel/decoder.h"
#include "wendrel/formats/code_pages.h"
#include "wendrel/id_index.h"
#include "wendrel/message.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel {

namespace {

enum class Action : std::uint8_t {
  nothing,
  text,        // label, the value as text
  body,        // label, the value as text; saved with -s
  date,        // label, the value as a date
  title,       // remember the attachment name, then print it
  attachStart, // a new attachment begins: it has no title yet
  priority,    // label, number and priority label
  status,      // label, status words of the first byte
  version,     // label, major.minor
  attachData,  // save or announce the attachment
  attachProps, // the attachment's properties: attached messages and objects
  mapiProps,   // walk the MAPI property list
  codePage,    // the code page of the stream's 8-bit text
};

struct DispatchRow {
  std::uint32_t id;
  Action action;
  std::string_view label;
};

// Every named attribute has a row.
constexpr std::array<DispatchRow, 33> kDispatch{{
    {attNull, Action::nothing, ""},
    {attFrom, Action::nothing, ""},
    {attSubject, Action::text, "Subject: "},
    {attMessageID, Action::text, "Message Id: "},
    {attParentID, Action::text, "Parent Id: "},
    {attConversationID, Action::text, "Conversation Id: "},
    {attAttachTitle, Action::title, "Attachment Title: "},
    {attBody, Action::body, "Attribute attBody: "},
    {attDateStart, Action::date, "Start Date: "},
    {attDateEnd, Action::date, "End Date: "},
    {attDateSent, Action::date, "Date Sent: "},
    {attDateRecd, Action::date, "Date Recieved: "},
    {attAttachCreateDate, Action::date, "Attachment Date Created: "},
    {attAttachModifyDate, Action::date, "Attachment Date Modified: "},
    {attDateModified, Action::date, "Date Modified: "},
    {attRequestRes, Action::nothing, ""},
    {attPriority, Action::priority, "Priority: "},
    {attAidOwner, Action::nothing, ""},
    {attOwner, Action::nothing, ""},
    {attSentFor, Action::nothing, ""},
    {attDelegate, Action::nothing, ""},
    {attMessageStatus, Action::status, "Message Status: "},
    {attAttachData, Action::attachData, ""},
    {attAttachMetaFile, Action::nothing, ""},
    {attAttachTransportFilename, Action::nothing, ""},
    {attAttachRenddata, Action::attachStart, ""},
    {attMAPIProps, Action::mapiProps, "MAPI Properties\n"},
    {attRecipTable, Action::nothing, ""},
    {attAttachment, Action::attachProps, ""},
    {attOemCodepage, Action::codePage, ""},
    {attOriginalMessageClass, Action::text, "Original Message Class: "},
    {attMessageClass, Action::text, "Message Class: "},
    {attTnefVersion, Action::version, "TNEF Version: "},
}};
constexpr IdIndex kDispatchIndex(kDispatch, &DispatchRow::id);
static_assert(kDispatchIndex.complete());

const DispatchRow* findRow(std::uint32_t attributeId) {
  int position = kDispatchIndex.find(attributeId);
  return position >= 0 ? &kDispatch[static_cast<std::size_t>(position)] : nullptr;
}

void printLine(std::string_view label, std::string_view text) {
  out::text(label);
  out::text(text);
  out::ch('\n');
}

void printPriority(std::string_view label, ByteView value) {
  std::uint16_t priority = readWord(value);
  out::text(label);
  out::decimal(priority);
  out::ch(' ');
  printLine("", priorityLabel(priority));
}

void printVersion(std::string_view label, ByteView value) {
  std::uint32_t version = readDword(value);
  out::text(label);
  out::decimal(version >> 16);
  out::ch('.');
  out::decimal(version & 0xFFFF);
  out::ch('\n');
}

void runAction(const DispatchRow& row, ByteView value) {
  switch (row.action) {
    case Action::nothing: return;
    case Action::text: return printLine(row.label, streamText(value));
    case Action::body:
      printLine(row.label, streamText(value));
      if (decoder().saveFiles) saveTextBodyAttribute(value);
      return;
    case Action::date: return printLine(row.label, formatDate(value));
    case Action::title: return printLine(row.label, rememberAttachmentTitle(value));
    case Action::attachStart: return beginAttachment();
    case Action::priority: return printPriority(row.label, value);
    case Action::status: return printLine(row.label, messageStatusText(value.byte(0)));
    case Action::version: return printVersion(row.label, value);
    case Action::attachData: return handleAttachmentData(value);
    case Action::attachProps: return handleAttachmentProperties(value);
    case Action::mapiProps:
      out::text(row.label);
      return dumpMapiProperties(value);
    case Action::codePage: streamState().codePage = codepage::openCodePage(readDword(value)); return;
  }
}

int reportSaveError(const char* name, const char* call, int error) {
  out::error("Error writing file %s\n%s: %s\n", name, call, std::strerror(error));
  ++decoder().failedSaves;
  return -1;
}

// Reserves the blocks of a large file before writing it: the file system then
// allocates once instead of extent by extent, which makes writing a big
// attachment about a quarter faster. The size is kept, so a write that fails
// part way leaves exactly the bytes written. Failure here changes nothing: the
// write itself reports any real problem.
void reserveSpace([[maybe_unused]] std::FILE* file, [[maybe_unused]] std::uint64_t bytes) {
#if defined(FALLOC_FL_KEEP_SIZE)
  constexpr std::uint64_t kWorthReserving = std::uint64_t{1} << 20;
  if (bytes >= kWorthReserving) {
    fallocate(fileno(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
  }
#endif
}

bool writeBlock(ByteView block, void* file) {
  return std::fwrite(block.data(), 1, block.size(), static_cast<std::FILE*>(file)) == block.size();
}

// The message record keeps the attributes later writers read.
void keepAttribute(std::uint32_t attributeId, ByteView value) {
  std::optional<Prop> prop = propForAttribute(attributeId);
  MessageRecord* message = prop ? currentMessage() : nullptr;
  if (message == nullptr || message->properties.has(*prop)) return;
  // The attribute decides what its value is, whatever type code its ID
  // carries (the message class is text with the code of words).
  constexpr std::uint16_t PT_STRING8 = 0x001E, PT_BINARY = 0x0102;
  std::uint16_t type = takesType(*prop, PT_STRING8)      ? PT_STRING8
                       : takesType(*prop, kTnefDateType) ? kTnefDateType
                                                         : PT_BINARY;
  message->properties.add(*prop, PropertyValue{type, value, streamState().codePage});
}

}  // namespace

void resetDecoderState() {
  forgetMemoryShortage();
  decoder().rtfFileCounter = 0;
  decoder().htmlFileCounter = 0;
  decoder().textFileCounter = 0;
  decoder().failedSaves = 0;
  forgetCreatedFiles();
}

void dispatchAttribute(std::uint32_t attributeId, ByteView value) {
  keepAttribute(attributeId, value);
  if (attributeId == attRecipTable) modelRecipientTable(value);
  if (const DispatchRow* row = findRow(attributeId)) {
    runAction(*row, value);
  } else {
    printGenericAttribute(attributeId, value);
  }
}

int printGenericAttribute(std::uint32_t attributeId, ByteView value) {
  std::uint16_t type = attributeType(attributeId);
  if (type > atpDword) {
    out::text("Attribute ");
    out::text(attributeName(attributeId));
    out::text(": Unknown type\n");
  } else if (type == atpString || type == atpText || type == atpDate) {
    out::text("Attribute ");
    out::text(attributeName(attributeId));
    printLine(": ", type == atpDate ? formatDate(value) : streamText(value));
  }
  return 0;
}

int saveToFile(std::string_view name, const FileContents& contents) {
  std::string_view target = confinedFileName(name);
  char path[kScratchSize] = {};
  std::memcpy(path, target.data(), std::min(target.size(), kMaxText));
  std::FILE* file = isPlainFileName(target) ? std::fopen(path, "w") : nullptr;
  if (file == nullptr) {
    out::error("Error openning file %s for writing\n", path);
    ++decoder().failedSaves;
    return -1;
  }
  rememberCreatedFile(path);
  reserveSpace(file, contents.size);
  if (!contents.produce(contents.source, writeBlock, file)) {
    int error = errno;
    std::fclose(file);
    return reportSaveError(path, "fwrite", error);
  }
  if (std::fclose(file) != 0) return reportSaveError(path, "fclose", errno);
  return 0;
}

int saveToFile(std::string_view name, ByteView data) {
  auto produce = [](const void* source, BlockSink write, void* context) {
    const ByteView& bytes = *static_cast<const ByteView*>(source);
    return bytes.empty() || write(bytes, context);
  };
  return saveToFile(name, FileContents{produce, &data, data.size()});
}

}  // namespace wendrel
