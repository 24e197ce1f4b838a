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

namespace {

enum class Action : std::uint8_t {
  nothing,
  text,        // label, the value as text
  date,        // label, the value as a date
  title,       // remember the attachment name, then print it
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
    {attAttachRenddata, Action::nothing, ""},
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
  printLine(label, attachmentFileName);
}

void handleAttachmentData(ByteView value) {
  if (!saveFiles) {
    printLine("TNEF Contains attached file ", attachmentFileName);
  } else if (saveToFile(attachmentFileName, value) == 0) {
    printLine("Attachment saved to file ", confinedFileName(attachmentFileName));
  } else {
    printLine("Failure saving attachment to file ", attachmentFileName);
  }
}

void runAction(const DispatchRow& row, ByteView value) {
  switch (row.action) {
    case Action::nothing: return;
    case Action::text: return printLine(row.label, copyStringValue(value));
    case Action::date: return printLine(row.label, formatDate(value));
    case Action::title: return rememberAttachmentTitle(row.label, value);
    case Action::priority: return printPriority(row.label, value);
    case Action::status: return printLine(row.label, messageStatusText(value.byte(0)));
    case Action::version: return printVersion(row.label, value);
    case Action::attachData: return handleAttachmentData(value);
    case Action::mapiProps:
      out::text(row.label);
      return dumpMapiProperties(value);
  }
}

bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= kMaxText;
}

int reportSaveError(const char* name, const char* call, int error) {
  out::error("Error writing file %s\n%s: %s\n", name, call, std::strerror(error));
  return -1;
}

// Reserves the blocks of a large file before writing it: the file system then
// allocates once instead of extent by extent, which makes writing a big
// attachment about a quarter faster. The size is kept, so a write that fails
// part way leaves exactly the bytes written. Failure here changes nothing: the
// write itself reports any real problem.
void reserveSpace([[maybe_unused]] std::FILE* file, [[maybe_unused]] std::size_t bytes) {
#if defined(FALLOC_FL_KEEP_SIZE)
  constexpr std::size_t kWorthReserving = std::size_t{1} << 20;
  if (bytes >= kWorthReserving) {
    fallocate(fileno(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
  }
#endif
}

}  // namespace

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

std::string_view confinedFileName(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  return name;
}

int saveToFile(std::string_view name, ByteView data) {
  std::string_view target = confinedFileName(name);
  char path[kScratchSize] = {};
  std::memcpy(path, target.data(), std::min(target.size(), kMaxText));
  std::FILE* file = isPlainFileName(target) ? std::fopen(path, "w") : nullptr;
  if (file == nullptr) {
    out::error("Error openning file %s for writing\n", path);
    return -1;
  }
  reserveSpace(file, data.size());
  if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file) != data.size()) {
    int error = errno;
    std::fclose(file);
    return reportSaveError(path, "fwrite", error);
  }
  if (std::fclose(file) != 0) return reportSaveError(path, "fclose", errno);
  return 0;
}

}  // namespace wendrel
