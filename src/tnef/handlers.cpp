// What each attribute means on the screen, attachment names and file saving.

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wendrel/id_index.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel {

char attachmentFileName[kScratchSize] = "default.dat";
int failedSaves = 0;

namespace {

// Whether an attAttachTitle has been handled since the latest
// attAttachRenddata, which begins an attachment (or since the start).
bool attachmentTitled = false;

enum class Action : std::uint8_t {
  nothing,
  text,        // label, the value as text
  date,        // label, the value as a date
  title,       // remember the attachment name, then print it
  attachStart, // a new attachment begins: it has no title yet
  priority,    // label, number and priority label
  status,      // label, status words of the first byte
  version,     // label, major.minor
  attachData,  // save or announce the attachment
  mapiProps,   // walk the MAPI property list
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
    {attBody, Action::text, "Attribute attBody: "},
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
    {attAttachment, Action::nothing, ""},
    {attOemCodepage, Action::nothing, ""},
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

void rememberAttachmentTitle(std::string_view label, ByteView value) {
  std::string_view title = copyStringValue(value);
  std::memcpy(attachmentFileName, title.data(), title.size() + 1);
  attachmentTitled = true;
  printLine(label, attachmentFileName);
}

// What the records after an attachment's data hold of its name, up to the
// next attachment or data record: the first title and the first property list.
struct OwnNames {
  std::optional<ByteView> title;
  std::optional<ByteView> properties;
};

OwnNames lookAheadForNames() {
  OwnNames own;
  ByteView rest = followingRecords();
  AttributeRecord record;
  while (!(own.title && own.properties) && takeRecord(rest, record)) {
    if (record.attributeId == attAttachRenddata || record.attributeId == attAttachData) break;
    if (record.attributeId == attAttachTitle && !own.title) own.title = record.value;
    if (record.attributeId == attAttachment && !own.properties) own.properties = record.value;
  }
  return own;
}

// The name attachment data goes by: the long file name in the attachment's
// own properties (mail clients show it; the title is often an 8.3 form of it),
// else the attachment's own title when none came before the data (many
// writers put the data first), else the latest earlier title.
std::string_view attachmentDataName(char (&text)[kScratchSize]) {
  constexpr std::uint16_t kAttachLongFilename = 0x3707;
  OwnNames own = lookAheadForNames();
  if (own.properties) {
    std::optional<std::string_view> longName = findStringProperty(*own.properties, kAttachLongFilename, text);
    if (longName && !longName->empty()) return *longName;
  }
  if (!attachmentTitled && own.title) return copyStringValue(*own.title, text);
  return attachmentFileName;
}

void handleAttachmentData(ByteView value) {
  char text[kScratchSize];
  std::string_view name = attachmentDataName(text);
  if (!saveFiles) return printLine("TNEF Contains attached file ", name);
  std::string_view target = fileNameToCreate(name);
  if (saveToFile(target, value) == 0) {
    printLine("Attachment saved to file ", target);
  } else {
    printLine("Failure saving attachment to file ", name);
  }
}

void runAction(const DispatchRow& row, ByteView value) {
  switch (row.action) {
    case Action::nothing: return;
    case Action::text: return printLine(row.label, copyStringValue(value));
    case Action::date: return printLine(row.label, formatDate(value));
    case Action::title: return rememberAttachmentTitle(row.label, value);
    case Action::attachStart: attachmentTitled = false; return;
    case Action::priority: return printPriority(row.label, value);
    case Action::status: return printLine(row.label, messageStatusText(value.byte(0)));
    case Action::version: return printVersion(row.label, value);
    case Action::attachData: return handleAttachmentData(value);
    case Action::mapiProps:
      out::text(row.label);
      return dumpMapiProperties(value);
  }
}

int reportSaveError(const char* name, const char* call, int error) {
  out::error("Error writing file %s\n%s: %s\n", name, call, std::strerror(error));
  ++failedSaves;
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

}  // namespace

void resetDecoderState() {
  std::memcpy(attachmentFileName, "default.dat", sizeof "default.dat");
  attachmentTitled = false;
  rtfFileCounter = 0;
  failedSaves = 0;
  forgetCreatedFiles();
}

void dispatchAttribute(std::uint32_t attributeId, ByteView value) {
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
    printLine(": ", type == atpDate ? formatDate(value) : copyStringValue(value));
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
    ++failedSaves;
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
