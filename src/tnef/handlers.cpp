// What each attribute means on the screen, attachment names and file saving.

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
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

bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= kMaxText;
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

// ---- The files this run created ----
// An open-addressing hash table of names, allocated with malloc (the tool links
// no C++ run-time). An entry records whether the run created a file of that
// name, and the next suffix to try for the names whose first candidate it is.
struct NameEntry {
  char* name;  // NUL-terminated; nullptr in an empty slot
  std::uint32_t length;
  std::uint32_t hash;
  std::uint32_t nextSuffix;
  bool created;
};

struct NameTable {
  NameEntry* slots = nullptr;
  std::size_t capacity = 0;  // 0 or a power of two
  std::size_t used = 0;
};
NameTable names;

std::uint32_t hashName(std::string_view name) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : name) hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
  return hash;
}

// The slot that holds name, or the empty slot where it belongs.
NameEntry* slotFor(NameEntry* slots, std::size_t capacity, std::string_view name, std::uint32_t hash) {
  for (std::size_t i = hash & (capacity - 1);; i = (i + 1) & (capacity - 1)) {
    NameEntry& entry = slots[i];
    if (entry.name == nullptr || (entry.hash == hash && std::string_view(entry.name, entry.length) == name)) {
      return &entry;
    }
  }
}

const NameEntry* findName(std::string_view name) {
  if (names.capacity == 0) return nullptr;
  const NameEntry* entry = slotFor(names.slots, names.capacity, name, hashName(name));
  return entry->name != nullptr ? entry : nullptr;
}

bool growNames() {
  std::size_t capacity = names.capacity == 0 ? 64 : 2 * names.capacity;
  auto* slots = static_cast<NameEntry*>(std::calloc(capacity, sizeof(NameEntry)));
  if (slots == nullptr) return false;
  for (std::size_t i = 0; i < names.capacity; ++i) {
    const NameEntry& entry = names.slots[i];
    if (entry.name != nullptr) *slotFor(slots, capacity, {entry.name, entry.length}, entry.hash) = entry;
  }
  std::free(names.slots);
  names.slots = slots;
  names.capacity = capacity;
  return true;
}

// The entry of name, added when missing; nullptr when memory runs out.
NameEntry* enterName(std::string_view name) {
  if (2 * (names.used + 1) > names.capacity && !growNames()) return nullptr;
  std::uint32_t hash = hashName(name);
  NameEntry* entry = slotFor(names.slots, names.capacity, name, hash);
  if (entry->name != nullptr) return entry;
  auto* copy = static_cast<char*>(std::malloc(name.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, name.data(), name.size());
  copy[name.size()] = '\0';
  *entry = {copy, static_cast<std::uint32_t>(name.size()), hash, 1, false};
  ++names.used;
  return entry;
}

bool wasCreated(std::string_view name) {
  const NameEntry* entry = findName(name);
  return entry != nullptr && entry->created;
}

// Files created, counted apart from the table so that a name created twice
// would show.
std::size_t filesCreated = 0;

void rememberCreated(std::string_view name) {
  ++filesCreated;
  if (NameEntry* entry = enterName(name)) entry->created = true;
}

void forgetNames() {
  for (std::size_t i = 0; i < names.capacity; ++i) std::free(names.slots[i].name);
  std::free(names.slots);
  names = {};
}

// "<stem>-<n><ext>" in buffer, where ext runs from the name's last '.' unless
// that is its first byte. The stem is cut so the name keeps to 255 bytes; when
// the extension leaves no room for it, the whole name is the stem.
std::string_view suffixedName(std::string_view name, std::uint32_t n, char (&buffer)[kScratchSize]) {
  char suffix[16] = "-";
  std::size_t suffixLength = static_cast<std::size_t>(std::to_chars(suffix + 1, suffix + sizeof suffix, n).ptr - suffix);
  std::size_t dot = name.rfind('.');
  std::string_view stem = name, extension;
  if (dot != std::string_view::npos && dot != 0) {
    stem = {name.data(), dot};
    extension = {name.data() + dot, name.size() - dot};
  }
  if (extension.size() + suffixLength >= kMaxText) {
    stem = name;
    extension = {};
  }
  stem = {stem.data(), std::min(stem.size(), kMaxText - extension.size() - suffixLength)};
  char* p = std::copy(stem.begin(), stem.end(), buffer);
  p = std::copy(suffix, suffix + suffixLength, p);
  p = std::copy(extension.begin(), extension.end(), p);
  *p = '\0';
  return {buffer, static_cast<std::size_t>(p - buffer)};
}

// Where the suffix search for name keeps its counter. Names with the same first
// candidate have the same candidates throughout (the stem is only cut further),
// so they share one counter and no candidate is tried twice, however many names
// are cut to the same 255 bytes. Only an extension of 244 to 252 bytes makes
// the cut depend on the suffix's length; such a name counts alone.
std::string_view counterKey(std::string_view name, char (&buffer)[kScratchSize]) {
  std::size_t dot = name.rfind('.');
  std::size_t extension = dot != std::string_view::npos && dot != 0 ? name.size() - dot : 0;
  constexpr std::size_t kLongestSuffix = 11;  // "-4294967295"
  bool cutVaries = extension + 2 < kMaxText && extension + kLongestSuffix >= kMaxText;
  return cutVaries ? name : suffixedName(name, 1, buffer);
}

}  // namespace

void resetDecoderState() {
  std::memcpy(attachmentFileName, "default.dat", sizeof "default.dat");
  attachmentTitled = false;
  rtfFileCounter = 0;
  failedSaves = 0;
  filesCreated = 0;
  forgetNames();
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

std::string_view confinedFileName(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  return name;
}

std::string_view fileNameToCreate(std::string_view name) {
  static char chosen[kScratchSize];
  std::string_view target = confinedFileName(name);
  target = {target.data(), std::min(target.size(), kMaxText)};
  *std::copy(target.begin(), target.end(), chosen) = '\0';
  if (!isPlainFileName(target) || !wasCreated(target)) return {chosen, target.size()};
  char key[kScratchSize];
  NameEntry* counter = enterName(counterKey(target, key));
  std::uint32_t n = counter != nullptr ? counter->nextSuffix : 1;
  while (wasCreated(suffixedName(target, n, chosen))) ++n;
  // Not past n: if this save fails to create it, the name is still free.
  if (counter != nullptr) counter->nextSuffix = n;
  return suffixedName(target, n, chosen);
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
  rememberCreated(path);
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

std::size_t createdFileCount() { return filesCreated; }

}  // namespace wendrel
