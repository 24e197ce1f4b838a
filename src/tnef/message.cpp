// The record of a decoded message: the catalogue of what it keeps, the sets
// of kept properties, their values, and the parts a rebuilt message needs.

#include "wendrel/message.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "wendrel/decoder.h"
#include "wendrel/formats/civil_time.h"
#include "wendrel/formats/code_pages.h"
#include "wendrel/formats/compressed_rtf.h"
#include "wendrel/formats/utf16.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/id_index.h"

namespace wendrel {

void* keepMemory(std::size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) decoder().allocationFailed = true;
  return block;
}

void* regrowMemory(void* block, std::size_t bytes) {
  void* grown = std::realloc(block, bytes);
  if (grown == nullptr) decoder().allocationFailed = true;
  return grown;
}

namespace {

// From this size on a block is mapped on its own, in huge pages.
constexpr std::size_t kMappedBlock = std::size_t{4} << 20;

void adviseHugePages([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  madvise(block, bytes, MADV_HUGEPAGE);
#endif
}

}  // namespace

void* growArrayBlock(void* block, std::size_t oldBytes, std::size_t newBytes) {
  if (newBytes < kMappedBlock) return regrowMemory(block, newBytes);
  void* grown = MAP_FAILED;
  if (oldBytes >= kMappedBlock) {
    grown = mremap(block, oldBytes, newBytes, MREMAP_MAYMOVE);
  } else {
    grown = mmap(nullptr, newBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown != MAP_FAILED && oldBytes != 0) {
      std::memcpy(grown, block, oldBytes);
      std::free(block);
    }
  }
  if (grown == MAP_FAILED) {
    decoder().allocationFailed = true;
    return nullptr;
  }
  adviseHugePages(grown, newBytes);
  return grown;
}

void freeArrayBlock(void* block, std::size_t bytes) {
  if (bytes >= kMappedBlock) {
    munmap(block, bytes);
  } else {
    std::free(block);
  }
}

bool memoryRanShort() { return decoder().allocationFailed; }
void forgetMemoryShortage() { decoder().allocationFailed = false; }

namespace {

constexpr std::uint16_t PT_I2 = 0x0002, PT_LONG = 0x0003, PT_R4 = 0x0004, PT_DOUBLE = 0x0005,
                        PT_BOOLEAN = 0x000B, PT_OBJECT = 0x000D, PT_I8 = 0x0014, PT_STRING8 = 0x001E,
                        PT_UNICODE = 0x001F, PT_SYSTIME = 0x0040, PT_BINARY = 0x0102;

// The kinds of value a kept property may have; a value of another type is
// not kept.
enum class Kind : std::uint8_t { text, integer, boolean, floating, time, binary, date, texts, binaries };

constexpr std::uint16_t kMultiValued = 0x1000;

bool ofKind(Kind kind, std::uint16_t type) {
  switch (kind) {
    case Kind::texts: return type == (kMultiValued | PT_STRING8) || type == (kMultiValued | PT_UNICODE);
    case Kind::binaries: return type == (kMultiValued | PT_BINARY);
    case Kind::text: return type == PT_STRING8 || type == PT_UNICODE;
    case Kind::integer: return type == PT_LONG || type == PT_I2 || type == PT_I8 || type == PT_BOOLEAN;
    case Kind::boolean: return type == PT_BOOLEAN || type == PT_LONG || type == PT_I2;
    case Kind::floating: return type == PT_DOUBLE || type == PT_R4 || type == PT_LONG;
    case Kind::time: return type == PT_SYSTIME;
    case Kind::binary: return type == PT_BINARY || type == PT_OBJECT;
    case Kind::date: return type == kTnefDateType;
  }
  return false;
}

// ---- The catalogue ----

// attachment: kept from an attachment of the message, not from a list.
enum class Set : std::uint8_t { attribute, tagged, meeting, appointment, common, task, address, internetHeaders,
                                publicStrings, attachment };

struct Known {
  Prop prop;
  Set set;
  std::uint32_t id;  // attribute ID, tag ID or named number
  Kind kind;
  std::string_view name = {};  // for a property named by a string: its name, ASCII
};

constexpr std::array<Known, static_cast<std::size_t>(Prop::count)> kCatalogue{{
    {Prop::attMessageClass, Set::attribute, attMessageClass, Kind::text},
    {Prop::attSubject, Set::attribute, attSubject, Kind::text},
    {Prop::attBody, Set::attribute, attBody, Kind::text},
    {Prop::attDateStart, Set::attribute, attDateStart, Kind::date},
    {Prop::attDateEnd, Set::attribute, attDateEnd, Kind::date},
    {Prop::attDateSent, Set::attribute, attDateSent, Kind::date},
    {Prop::attRecipTable, Set::attribute, attRecipTable, Kind::binary},
    {Prop::importance, Set::tagged, 0x0017, Kind::integer},
    {Prop::messageClass, Set::tagged, 0x001A, Kind::text},
    {Prop::sensitivity, Set::tagged, 0x0036, Kind::integer},
    {Prop::subject, Set::tagged, 0x0037, Kind::text},
    {Prop::clientSubmitTime, Set::tagged, 0x0039, Kind::time},
    {Prop::subjectPrefix, Set::tagged, 0x003D, Kind::text},
    {Prop::sentRepresentingName, Set::tagged, 0x0042, Kind::text},
    {Prop::responseRequested, Set::tagged, 0x0063, Kind::boolean},
    {Prop::sentRepresentingAddressType, Set::tagged, 0x0064, Kind::text},
    {Prop::sentRepresentingEmailAddress, Set::tagged, 0x0065, Kind::text},
    {Prop::conversationTopic, Set::tagged, 0x0070, Kind::text},
    {Prop::transportMessageHeaders, Set::tagged, 0x007D, Kind::text},
    {Prop::senderName, Set::tagged, 0x0C1A, Kind::text},
    {Prop::recipientType, Set::tagged, 0x0C15, Kind::integer},
    {Prop::senderAddressType, Set::tagged, 0x0C1E, Kind::text},
    {Prop::senderEmailAddress, Set::tagged, 0x0C1F, Kind::text},
    {Prop::normalizedSubject, Set::tagged, 0x0E1D, Kind::text},
    {Prop::primarySendAccount, Set::tagged, 0x0E28, Kind::text},
    {Prop::body, Set::tagged, 0x1000, Kind::text},
    {Prop::rtfCompressed, Set::tagged, 0x1009, Kind::binary},
    {Prop::htmlBody, Set::tagged, 0x1013, Kind::binary},  // text too: see takesType
    {Prop::internetMessageId, Set::tagged, 0x1035, Kind::text},
    {Prop::internetReferences, Set::tagged, 0x1039, Kind::text},
    {Prop::inReplyToId, Set::tagged, 0x1042, Kind::text},
    {Prop::displayName, Set::tagged, 0x3001, Kind::text},
    {Prop::addressType, Set::tagged, 0x3002, Kind::text},
    {Prop::emailAddress, Set::tagged, 0x3003, Kind::text},
    {Prop::creationTime, Set::tagged, 0x3007, Kind::time},
    {Prop::lastModificationTime, Set::tagged, 0x3008, Kind::time},
    {Prop::attachMimeTag, Set::tagged, 0x370E, Kind::text},
    {Prop::attachContentId, Set::tagged, 0x3712, Kind::text},
    {Prop::smtpAddress, Set::tagged, 0x39FE, Kind::text},
    {Prop::internetCodePage, Set::tagged, 0x3FDE, Kind::integer},
    {Prop::senderSmtpAddress, Set::tagged, 0x5D01, Kind::text},
    {Prop::sentRepresentingSmtpAddress, Set::tagged, 0x5D02, Kind::text},
    {Prop::recipientFlags, Set::tagged, 0x5FFD, Kind::integer},
    {Prop::recipientTrackStatus, Set::tagged, 0x5FFF, Kind::integer},
    {Prop::reportTime, Set::tagged, 0x0032, Kind::time},
    {Prop::originalSubject, Set::tagged, 0x0049, Kind::text},
    {Prop::originalSubmitTime, Set::tagged, 0x004E, Kind::time},
    {Prop::originalDisplayTo, Set::tagged, 0x0074, Kind::text},
    {Prop::ndrReasonCode, Set::tagged, 0x0C04, Kind::integer},
    {Prop::ndrDiagCode, Set::tagged, 0x0C05, Kind::integer},
    {Prop::supplementaryInfo, Set::tagged, 0x0C1B, Kind::text},
    {Prop::ndrStatusCode, Set::tagged, 0x0C20, Kind::integer},
    {Prop::remoteMta, Set::tagged, 0x0C21, Kind::text},
    {Prop::reportText, Set::tagged, 0x1001, Kind::text},
    {Prop::originalMessageId, Set::tagged, 0x1046, Kind::text},
    {Prop::reportingMta, Set::tagged, 0x6820, Kind::text},
    {Prop::internetContentType, Set::internetHeaders, 0, Kind::text, "Content-Type"},
    {Prop::attMessageId, Set::attribute, attMessageID, Kind::text},
    {Prop::surname, Set::tagged, 0x3A11, Kind::text},
    {Prop::givenName, Set::tagged, 0x3A06, Kind::text},
    {Prop::middleName, Set::tagged, 0x3A44, Kind::text},
    {Prop::displayNamePrefix, Set::tagged, 0x3A45, Kind::text},
    {Prop::generation, Set::tagged, 0x3A05, Kind::text},
    {Prop::nickname, Set::tagged, 0x3A4F, Kind::text},
    {Prop::companyName, Set::tagged, 0x3A16, Kind::text},
    {Prop::departmentName, Set::tagged, 0x3A18, Kind::text},
    {Prop::title, Set::tagged, 0x3A17, Kind::text},
    {Prop::profession, Set::tagged, 0x3A46, Kind::text},
    {Prop::businessPhone, Set::tagged, 0x3A08, Kind::text},
    {Prop::homePhone, Set::tagged, 0x3A09, Kind::text},
    {Prop::home2Phone, Set::tagged, 0x3A2F, Kind::text},
    {Prop::business2Phone, Set::tagged, 0x3A1B, Kind::text},
    {Prop::otherPhone, Set::tagged, 0x3A1F, Kind::text},
    {Prop::mobilePhone, Set::tagged, 0x3A1C, Kind::text},
    {Prop::pagerPhone, Set::tagged, 0x3A21, Kind::text},
    {Prop::carPhone, Set::tagged, 0x3A1E, Kind::text},
    {Prop::isdnNumber, Set::tagged, 0x3A2D, Kind::text},
    {Prop::homeFax, Set::tagged, 0x3A25, Kind::text},
    {Prop::businessFax, Set::tagged, 0x3A24, Kind::text},
    {Prop::primaryFax, Set::tagged, 0x3A23, Kind::text},
    {Prop::primaryPhone, Set::tagged, 0x3A1A, Kind::text},
    {Prop::assistantPhone, Set::tagged, 0x3A2E, Kind::text},
    {Prop::callbackPhone, Set::tagged, 0x3A02, Kind::text},
    {Prop::companyMainPhone, Set::tagged, 0x3A57, Kind::text},
    {Prop::radioPhone, Set::tagged, 0x3A1D, Kind::text},
    {Prop::ttyPhone, Set::tagged, 0x3A4B, Kind::text},
    {Prop::telexNumber, Set::tagged, 0x3A2C, Kind::text},
    {Prop::homePostOfficeBox, Set::tagged, 0x3A5E, Kind::text},
    {Prop::homeStreet, Set::tagged, 0x3A5D, Kind::text},
    {Prop::homeCity, Set::tagged, 0x3A59, Kind::text},
    {Prop::homeState, Set::tagged, 0x3A5C, Kind::text},
    {Prop::homePostalCode, Set::tagged, 0x3A5B, Kind::text},
    {Prop::homeCountry, Set::tagged, 0x3A5A, Kind::text},
    {Prop::otherPostOfficeBox, Set::tagged, 0x3A64, Kind::text},
    {Prop::otherStreet, Set::tagged, 0x3A63, Kind::text},
    {Prop::otherCity, Set::tagged, 0x3A5F, Kind::text},
    {Prop::otherState, Set::tagged, 0x3A62, Kind::text},
    {Prop::otherPostalCode, Set::tagged, 0x3A61, Kind::text},
    {Prop::otherCountry, Set::tagged, 0x3A60, Kind::text},
    {Prop::businessHomePage, Set::tagged, 0x3A51, Kind::text},
    {Prop::personalHomePage, Set::tagged, 0x3A50, Kind::text},
    {Prop::birthday, Set::tagged, 0x3A42, Kind::time},
    {Prop::weddingAnniversary, Set::tagged, 0x3A41, Kind::time},
    {Prop::spouseName, Set::tagged, 0x3A48, Kind::text},
    {Prop::managerName, Set::tagged, 0x3A4E, Kind::text},
    {Prop::assistantName, Set::tagged, 0x3A30, Kind::text},
    {Prop::attachContactPhoto, Set::tagged, 0x7FFF, Kind::boolean},
    {Prop::email1DisplayName, Set::address, 0x8080, Kind::text},
    {Prop::email1AddressType, Set::address, 0x8082, Kind::text},
    {Prop::email1Address, Set::address, 0x8083, Kind::text},
    {Prop::email1OriginalDisplayName, Set::address, 0x8084, Kind::text},
    {Prop::email2DisplayName, Set::address, 0x8090, Kind::text},
    {Prop::email2AddressType, Set::address, 0x8092, Kind::text},
    {Prop::email2Address, Set::address, 0x8093, Kind::text},
    {Prop::email2OriginalDisplayName, Set::address, 0x8094, Kind::text},
    {Prop::email3DisplayName, Set::address, 0x80A0, Kind::text},
    {Prop::email3AddressType, Set::address, 0x80A2, Kind::text},
    {Prop::email3Address, Set::address, 0x80A3, Kind::text},
    {Prop::email3OriginalDisplayName, Set::address, 0x80A4, Kind::text},
    {Prop::workStreet, Set::address, 0x8045, Kind::text},
    {Prop::workCity, Set::address, 0x8046, Kind::text},
    {Prop::workState, Set::address, 0x8047, Kind::text},
    {Prop::workPostalCode, Set::address, 0x8048, Kind::text},
    {Prop::workCountry, Set::address, 0x8049, Kind::text},
    {Prop::workPostOfficeBox, Set::address, 0x804A, Kind::text},
    {Prop::postalAddressId, Set::address, 0x8022, Kind::integer},
    {Prop::fileUnder, Set::address, 0x8005, Kind::text},
    {Prop::instantMessagingAddress, Set::address, 0x8062, Kind::text},
    {Prop::freeBusyLocation, Set::address, 0x80D8, Kind::text},
    {Prop::birthdayLocal, Set::address, 0x80DE, Kind::time},
    {Prop::weddingAnniversaryLocal, Set::address, 0x80DF, Kind::time},
    {Prop::distributionListName, Set::address, 0x8053, Kind::text},
    {Prop::distributionListOneOffMembers, Set::address, 0x8054, Kind::binaries},
    {Prop::distributionListMembers, Set::address, 0x8055, Kind::binaries},
    {Prop::keywords, Set::publicStrings, 0, Kind::texts, "Keywords"},
    {Prop::contactPhoto, Set::attachment, 0, Kind::binary},
    {Prop::attendeeCriticalChange, Set::meeting, 0x0001, Kind::time},
    {Prop::globalObjectId, Set::meeting, 0x0003, Kind::binary},
    {Prop::cleanGlobalObjectId, Set::meeting, 0x0023, Kind::binary},
    {Prop::appointmentSequence, Set::appointment, 0x8201, Kind::integer},
    {Prop::busyStatus, Set::appointment, 0x8205, Kind::integer},
    {Prop::location, Set::appointment, 0x8208, Kind::text},
    {Prop::appointmentStartWhole, Set::appointment, 0x820D, Kind::time},
    {Prop::appointmentEndWhole, Set::appointment, 0x820E, Kind::time},
    {Prop::appointmentSubType, Set::appointment, 0x8215, Kind::boolean},
    {Prop::appointmentRecur, Set::appointment, 0x8216, Kind::binary},
    {Prop::timeZoneStruct, Set::appointment, 0x8233, Kind::binary},
    {Prop::timeZoneDescription, Set::appointment, 0x8234, Kind::text},
    {Prop::toAttendeesString, Set::appointment, 0x823B, Kind::text},
    {Prop::ccAttendeesString, Set::appointment, 0x823C, Kind::text},
    {Prop::timeZoneDefinitionStartDisplay, Set::appointment, 0x825E, Kind::binary},
    {Prop::timeZoneDefinitionRecur, Set::appointment, 0x8260, Kind::binary},
    {Prop::reminderDelta, Set::common, 0x8501, Kind::integer},
    {Prop::reminderTime, Set::common, 0x8502, Kind::time},
    {Prop::reminderSet, Set::common, 0x8503, Kind::boolean},
    {Prop::taskGlobalId, Set::common, 0x8519, Kind::binary},
    {Prop::internetAccountName, Set::common, 0x8580, Kind::text},
    {Prop::taskStatus, Set::task, 0x8101, Kind::integer},
    {Prop::percentComplete, Set::task, 0x8102, Kind::floating},
    {Prop::taskStartDate, Set::task, 0x8104, Kind::time},
    {Prop::taskDueDate, Set::task, 0x8105, Kind::time},
    {Prop::taskDateCompleted, Set::task, 0x810F, Kind::time},
    {Prop::taskRecurrence, Set::task, 0x8116, Kind::binary},
}};

consteval bool catalogueInOrder() {
  for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
    if (static_cast<std::size_t>(kCatalogue[i].prop) != i) return false;
  }
  return true;
}
static_assert(catalogueInOrder(), "the catalogue lists every Prop once, in order");

// The rows of one set, keyed for an IdIndex: attributes by their ID, tags by
// their ID, named properties by set and number together.
struct Keyed {
  std::uint32_t key;
  Prop prop;
};

constexpr std::uint32_t namedKey(Set set, std::uint32_t number) {
  return static_cast<std::uint32_t>(set) << 24 ^ number;
}

// Named by a number: in a named set, without a name.
constexpr bool numbered(const Known& known) {
  return known.set > Set::tagged && known.set != Set::attachment && known.name.empty();
}

template <std::size_t N>
consteval std::array<Keyed, N> rowsOf(bool named, Set only = Set::attribute) {
  std::array<Keyed, N> rows{};
  std::size_t n = 0;
  for (const Known& known : kCatalogue) {
    bool take = named ? numbered(known) : known.set == only;
    if (take) rows[n++] = {named ? namedKey(known.set, known.id) : known.id, known.prop};
  }
  return rows;
}

consteval std::size_t countOf(bool named, Set only = Set::attribute) {
  std::size_t n = 0;
  for (const Known& known : kCatalogue) n += (named ? numbered(known) : known.set == only) ? 1 : 0;
  return n;
}

constexpr auto kAttributes = rowsOf<countOf(false)>(false);
constexpr auto kTagged = rowsOf<countOf(false, Set::tagged)>(false, Set::tagged);
constexpr auto kNamed = rowsOf<countOf(true)>(true);
constexpr IdIndex kAttributeIndex(kAttributes, &Keyed::key);
constexpr IdIndex<kTagged.size(), 11> kTaggedIndex(kTagged, &Keyed::key);
constexpr IdIndex<kNamed.size(), 11> kNamedIndex(kNamed, &Keyed::key);
static_assert(kAttributeIndex.complete() && kTaggedIndex.complete() && kNamedIndex.complete());

template <std::size_t N, unsigned Bits>
std::optional<Prop> lookUp(const IdIndex<N, Bits>& index, const std::array<Keyed, N>& rows, std::uint32_t key) {
  int position = index.find(key);
  if (position < 0) return std::nullopt;
  return rows[static_cast<std::size_t>(position)].prop;
}

// The named property sets, as GUIDs are stored (the first three fields
// little-endian).
using Guid = std::array<std::uint8_t, 16>;
struct NamedSet {
  Guid guid;
  Set set;
};
constexpr std::array<NamedSet, 7> kNamedSets{{
    // PSETID_Meeting {6ED8DA90-450B-101B-98DA-00AA003F1305}
    {{0x90, 0xDA, 0xD8, 0x6E, 0x0B, 0x45, 0x1B, 0x10, 0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}, Set::meeting},
    // PSETID_Appointment {00062002-0000-0000-C000-000000000046}
    {{0x02, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}, Set::appointment},
    // PSETID_Common {00062008-0000-0000-C000-000000000046}
    {{0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}, Set::common},
    // PSETID_Task {00062003-0000-0000-C000-000000000046}
    {{0x03, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}, Set::task},
    // PSETID_Address {00062004-0000-0000-C000-000000000046}
    {{0x04, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}, Set::address},
    // PS_INTERNET_HEADERS {00020386-0000-0000-C000-000000000046}
    {{0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}, Set::internetHeaders},
    // PS_PUBLIC_STRINGS {00020329-0000-0000-C000-000000000046}
    {{0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}, Set::publicStrings},
}};

// The set a GUID stands for. The sets differ in their first four bytes: one
// load picks the one set a GUID can be, and one compare of the rest tells.
// Long lists of named properties come by here for every property.
std::optional<Set> namedSetOf(ByteView guid) {
  if (guid.size() != 16) return std::nullopt;
  std::uint32_t head = guid.dword(0);
  for (const NamedSet& set : kNamedSets) {
    if (head != ByteView(set.guid.data(), 4).dword(0)) continue;
    if (std::memcmp(set.guid.data() + 4, guid.data() + 4, 12) != 0) return std::nullopt;
    return set.set;
  }
  return std::nullopt;
}

// ---- Text ----


bool isUtf8(ByteView text) {
  return utf8::isValid({reinterpret_cast<const char*>(text.data()), text.size()});
}

}  // namespace

// ---- The catalogue ----

std::optional<Prop> propForAttribute(std::uint32_t attributeId) {
  return lookUp(kAttributeIndex, kAttributes, attributeId);
}

std::optional<Prop> propForTag(std::uint16_t id) { return lookUp(kTaggedIndex, kTagged, id); }

std::optional<Prop> propForName(ByteView guid, std::uint32_t number) {
  std::optional<Set> set = namedSetOf(guid);
  if (!set) return std::nullopt;
  return lookUp(kNamedIndex, kNamed, namedKey(*set, number));
}

std::optional<Prop> propForStringName(ByteView guid, ByteView name) {
  std::optional<Set> set = namedSetOf(guid);
  if (!set) return std::nullopt;
  // A name ends at its terminator, if it has one.
  std::size_t units = name.size() / 2;
  while (units != 0 && name.word(2 * (units - 1)) == 0) --units;
  auto lower = [](char32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  for (const Known& known : kCatalogue) {
    if (known.set != *set || known.name.size() != units) continue;
    bool same = true;
    for (std::size_t i = 0; same && i < units; ++i) {
      same = lower(name.word(2 * i)) == lower(static_cast<unsigned char>(known.name[i]));
    }
    if (same) return known.prop;
  }
  return std::nullopt;
}

bool takesType(Prop prop, std::uint16_t type) {
  // The HTML body is stored as bytes or as text.
  if (prop == Prop::htmlBody && ofKind(Kind::text, type)) return true;
  return ofKind(kCatalogue[static_cast<std::size_t>(prop)].kind, type);
}

// ---- Sets ----

PropertySet::PropertySet(PropertySet&& other) noexcept
    : entries_(std::exchange(other.entries_, nullptr)), count_(std::exchange(other.count_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {
  std::memcpy(present_, other.present_, sizeof present_);
  std::memset(other.present_, 0, sizeof other.present_);
}

PropertySet& PropertySet::operator=(PropertySet&& other) noexcept {
  if (this != &other) {
    std::free(entries_);
    entries_ = std::exchange(other.entries_, nullptr);
    count_ = std::exchange(other.count_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    std::memcpy(present_, other.present_, sizeof present_);
    std::memset(other.present_, 0, sizeof other.present_);
  }
  return *this;
}

PropertySet::~PropertySet() { std::free(entries_); }

const PropertyValue* PropertySet::find(Prop prop) const {
  auto bit = static_cast<unsigned>(prop);
  if ((present_[bit / 64] >> (bit % 64) & 1) == 0) return nullptr;
  for (std::uint32_t i = 0; i < count_; ++i) {
    if (entries_[i].prop == prop) return &entries_[i].value;
  }
  return nullptr;
}

void PropertySet::add(Prop prop, const PropertyValue& value) {
  auto bit = static_cast<unsigned>(prop);
  std::uint64_t mask = std::uint64_t{1} << (bit % 64);
  if ((present_[bit / 64] & mask) != 0) return;
  if (count_ == capacity_) {
    // Each property is kept once, so the set never holds more than the catalogue.
    std::uint32_t capacity = capacity_ == 0 ? 8 : 2 * capacity_;
    auto* grown = static_cast<Entry*>(regrowMemory(entries_, capacity * sizeof(Entry)));
    if (grown == nullptr) return;
    entries_ = grown;
    capacity_ = capacity;
  }
  entries_[count_++] = {prop, value};
  present_[bit / 64] |= mask;
}

// ---- Values ----

std::optional<std::int64_t> integerValue(const PropertyValue* value) {
  if (value == nullptr) return std::nullopt;
  switch (value->type) {
    case PT_I2: return static_cast<std::int16_t>(value->data.word(0));
    case PT_LONG: return static_cast<std::int32_t>(value->data.dword(0));
    case PT_BOOLEAN: return value->data.word(0) != 0 ? 1 : 0;
    case PT_I8: return static_cast<std::int64_t>(std::uint64_t{value->data.dword(0)} | std::uint64_t{value->data.dword(4)} << 32);
    default: return std::nullopt;
  }
}

std::optional<bool> booleanValue(const PropertyValue* value) {
  std::optional<std::int64_t> number = integerValue(value);
  if (!number) return std::nullopt;
  return *number != 0;
}

std::optional<double> floatValue(const PropertyValue* value) {
  if (value == nullptr) return std::nullopt;
  if (value->type == PT_DOUBLE) {
    std::uint64_t bits = std::uint64_t{value->data.dword(0)} | std::uint64_t{value->data.dword(4)} << 32;
    double number;
    std::memcpy(&number, &bits, sizeof number);
    return number;
  }
  if (value->type == PT_R4) {
    std::uint32_t bits = value->data.dword(0);
    float number;
    std::memcpy(&number, &bits, sizeof number);
    return number;
  }
  std::optional<std::int64_t> number = integerValue(value);
  if (!number) return std::nullopt;
  return static_cast<double>(*number);
}

std::optional<std::int64_t> timeValue(const PropertyValue* value) {
  if (value == nullptr || value->type != PT_SYSTIME) return std::nullopt;
  std::uint64_t ticks = std::uint64_t{value->data.dword(0)} | std::uint64_t{value->data.dword(4)} << 32;
  return civil::secondsFromFiletime(ticks);
}

std::optional<std::int64_t> dateValue(const PropertyValue* value) {
  if (value == nullptr || value->type != kTnefDateType) return std::nullopt;
  TnefDate date = readTnefDate(value->data);
  if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > civil::daysInMonth(date.year, date.month) ||
      date.hour > 23 || date.minute > 59 || date.second > 59) {
    return std::nullopt;
  }
  return civil::toSeconds({{date.year, date.month, date.day}, date.hour, date.minute, date.second});
}

bool forEachValue(const PropertyValue* value, bool (*visit)(const PropertyValue& single, void* context), void* context) {
  if (value == nullptr || (value->type & kMultiValued) == 0) return true;
  auto base = static_cast<std::uint16_t>(value->type & ~kMultiValued);
  ByteView data = value->data;
  std::uint32_t count = data.dword(0);
  std::size_t at = 4;
  // The walk kept only what fits: counted values of strings and bytes.
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = data.dword(at);
    if (!data.contains(at + 4, length)) return false;
    PropertyValue single{base, data.sub(at + 4, length), value->codePage};
    if (!visit(single, context)) return true;
    at += 4 + ((std::size_t{length} + 3) & ~std::size_t{3});
  }
  return true;
}

std::optional<ByteView> binaryValue(const PropertyValue* value) {
  if (value == nullptr || (value->type != PT_BINARY && value->type != PT_OBJECT)) return std::nullopt;
  return value->data;
}

bool writeTextValue(const PropertyValue* value, BlockSink write, void* context) {
  if (value == nullptr) return false;
  if (value->type == PT_UNICODE) return utf16::toUtf8Blocks(value->data, write, context);
  if (value->type != PT_STRING8) return false;
  ByteView text = untilNul(value->data);
  if (!codepage::hasHighBytes(text)) return text.empty() || write(text, context);
  if (value->codePage != nullptr) return codepage::convertTextBlocks(*value->codePage, text, write, context);
  if (isUtf8(text)) return write(text, context);
  return codepage::convertWindows1252Blocks(text, write, context);
}

std::optional<std::string_view> shortTextValue(const PropertyValue* value, char (&text)[kScratchSize]) {
  if (value == nullptr) return std::nullopt;
  if (value->type == PT_UNICODE) return copyUnicodeValue(value->data, text);
  if (value->type != PT_STRING8) return std::nullopt;
  return copyTextValue(value->data, value->codePage, text);
}

OwnedText::OwnedText(OwnedText&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

OwnedText& OwnedText::operator=(OwnedText&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

OwnedText::~OwnedText() { std::free(data_); }

bool OwnedText::append(std::string_view bytes) {
  if (bytes.size() > capacity_ - size_) {
    if (bytes.size() > SIZE_MAX / 2 - size_) return false;
    std::size_t capacity = std::max(2 * capacity_, size_ + bytes.size());
    auto* grown = static_cast<char*>(regrowMemory(data_, capacity));
    if (grown == nullptr) return false;
    data_ = grown;
    capacity_ = capacity;
  }
  if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
  return true;
}

bool OwnedText::sink(ByteView block, void* text) {
  return static_cast<OwnedText*>(text)->append({reinterpret_cast<const char*>(block.data()), block.size()});
}

OwnedText textOf(const PropertyValue* value) {
  OwnedText text;
  writeTextValue(value, OwnedText::sink, &text);
  return text;
}

// ---- People ----

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

bool mailboxFrom(const PropertySet& set, Prop name, Prop smtp, Prop addressType, Prop email, Mailbox& mailbox) {
  mailbox.address = smtpAddressOf(set, smtp, addressType, email);
  if (mailbox.address.empty()) return false;
  mailbox.name = textOf(set.find(name));
  return true;
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool isAddress(std::string_view text) {
  std::size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == text.size() || text.find('@', at + 1) != std::string_view::npos) {
    return false;
  }
  return std::none_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<std::uint8_t>(c);
    return byte <= ' ' || byte == 0x7F || c == '<' || c == '>' || c == '"' || c == ',' || c == ';' || c == ':' ||
           c == '(' || c == ')' || c == '[' || c == ']' || c == '\\';
  });
}

OwnedText smtpAddressOf(const PropertySet& set, Prop smtp, Prop addressType, Prop email) {
  OwnedText address = textOf(set.find(smtp));
  if (isAddress(address.view())) return address;
  if (!equalsIgnoringCase(trimBlanks(textOf(set.find(addressType)).view()), "SMTP")) return {};
  address = textOf(set.find(email));
  if (isAddress(address.view())) return address;
  return {};
}

bool recipientOf(const PropertySet& row, Mailbox& mailbox) {
  return mailboxFrom(row, Prop::displayName, Prop::smtpAddress, Prop::addressType, Prop::emailAddress, mailbox);
}

std::int64_t recipientTypeOf(const PropertySet& row) {
  // The high bits carry flags (a recipient already sent to, say).
  return integerValue(row.find(Prop::recipientType)).value_or(kRecipientTo) & 0x0FFFFFFF;
}

std::string_view messageClassText(const MessageRecord& message, char (&text)[kScratchSize]) {
  const PropertyValue* value = message.find(Prop::attMessageClass);
  if (value == nullptr) value = message.find(Prop::messageClass);
  return shortTextValue(value, text).value_or("");
}

bool beginsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoringCase({text.data(), prefix.size()}, prefix);
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && equalsIgnoringCase({text.data() + text.size() - suffix.size(), suffix.size()}, suffix);
}

bool classBeginsWith(const MessageRecord& message, std::string_view prefix) {
  char text[kScratchSize];
  return beginsWithIgnoringCase(messageClassText(message, text), prefix);
}

std::string_view subjectText(const MessageRecord& message, char (&text)[kScratchSize]) {
  const PropertyValue* subject = message.find(Prop::attSubject);
  if (subject == nullptr) subject = message.find(Prop::subject);
  if (subject == nullptr) subject = message.find(Prop::conversationTopic);
  return shortTextValue(subject, text).value_or("");
}

bool senderOf(const MessageRecord& message, Mailbox& mailbox) {
  const PropertySet& set = message.properties;
  return mailboxFrom(set, Prop::sentRepresentingName, Prop::sentRepresentingSmtpAddress,
                     Prop::sentRepresentingAddressType, Prop::sentRepresentingEmailAddress, mailbox) ||
         mailboxFrom(set, Prop::senderName, Prop::senderSmtpAddress, Prop::senderAddressType, Prop::senderEmailAddress,
                     mailbox);
}

// The address in PR_PRIMARY_SEND_ACCT: its fields after the account's number
// are separated by 0x01, the last one first ("00000008\x01ada@example.org\x01
// ada@example.org", or "...\x01ada@example.org\x01Company").
std::string_view primaryAccountAddress(std::string_view text) {
  for (std::size_t end = text.size(); end != 0;) {
    std::size_t separator = text.rfind('\x01', end - 1);
    if (separator == std::string_view::npos) return {};
    std::string_view field(text.data() + separator + 1, end - separator - 1);
    if (isAddress(field)) return field;
    end = separator;
  }
  return {};
}

bool sendingAccountOf(const MessageRecord& message, Mailbox& mailbox) {
  OwnedText account = textOf(message.find(Prop::internetAccountName));
  if (!isAddress(account.view())) {
    OwnedText primary = textOf(message.find(Prop::primarySendAccount));
    std::string_view text = primaryAccountAddress(primary.view());
    if (text.empty()) return false;
    account = OwnedText{};
    account.append(text);
  }
  mailbox.name = OwnedText{};
  mailbox.address = std::move(account);
  return true;
}

// ---- Bodies ----

bool hasText(const PropertyValue* value) {
  if (value == nullptr || (value->type != PT_STRING8 && value->type != PT_UNICODE)) return false;
  return value->type == PT_UNICODE ? value->data.word(0) != 0 : value->data.byte(0) != 0;
}

// The value's body when it is a sound compressed-RTF one.
std::optional<CompressedRtf> soundRtf(const PropertyValue* rtf) {
  std::optional<ByteView> data = binaryValue(rtf);
  if (!data) return std::nullopt;
  CompressedRtf body = inspectCompressedRtf(*data);
  if (body.damage != RtfDamage::none) return std::nullopt;
  return body;
}

RtfEncapsulation encapsulationOf(const PropertyValue* rtf) {
  std::optional<CompressedRtf> body = soundRtf(rtf);
  return body ? probeEncapsulation(*body) : RtfEncapsulation::none;
}

bool writeRtfBody(const PropertyValue* rtf, RtfEncapsulation mode, BlockSink write, void* context) {
  std::optional<CompressedRtf> body = soundRtf(rtf);
  return body && deencapsulate(*body, mode, write, context);
}

bool writePlainText(const MessageRecord& message, BlockSink write, void* context) {
  const PropertyValue* text = message.find(Prop::body);
  if (!hasText(text)) text = message.find(Prop::attBody);
  if (hasText(text)) return writeTextValue(text, write, context);
  return writeRtfBody(message.find(Prop::rtfCompressed), RtfEncapsulation::text, write, context);
}

ByteView storedHtml(const PropertyValue* html) {
  if (html == nullptr) return {};
  return html->type == PT_STRING8 ? untilNul(html->data) : html->data;
}

const codepage::CodePage* htmlCodePage(const MessageRecord& message, ByteView html) {
  std::int64_t cpid = integerValue(message.find(Prop::internetCodePage)).value_or(0);
  if (cpid > 0 && cpid <= INT32_MAX) {
    if (const codepage::CodePage* page = codepage::openCodePage(static_cast<std::uint32_t>(cpid))) return page;
  }
  char name[40];
  std::string_view declared = codepage::declaredCharset(html, name);
  return declared.empty() ? nullptr : codepage::openCharset(declared);
}

std::string_view htmlCharsetName(const MessageRecord& message, ByteView html, char (&buffer)[40]) {
  // (value_or: g++ 12 at -O3 reads the value before asking whether there is one.)
  std::int64_t cpid = integerValue(message.find(Prop::internetCodePage)).value_or(0);
  if (cpid > 0 && cpid <= INT32_MAX) {
    std::string_view name = codepage::ianaName(static_cast<std::uint32_t>(cpid));
    if (!name.empty()) return name;
  }
  std::string_view declared = codepage::declaredCharset(html, buffer);
  if (!declared.empty()) {
    for (std::size_t i = 0; i < declared.size(); ++i) {
      if (buffer[i] >= 'A' && buffer[i] <= 'Z') buffer[i] = static_cast<char>(buffer[i] + 32);
    }
    return declared;
  }
  return isUtf8(html) ? "utf-8" : "windows-1252";
}

bool writeHtmlText(const MessageRecord& message, const PropertyValue* html, BlockSink write, void* context) {
  if (html == nullptr) return false;
  if (html->type == PT_UNICODE) return writeTextValue(html, write, context);
  ByteView bytes = storedHtml(html);
  if (const codepage::CodePage* page = htmlCodePage(message, bytes)) return codepage::convertTextBlocks(*page, bytes, write, context);
  if (isUtf8(bytes)) return bytes.empty() || write(bytes, context);
  return codepage::convertWindows1252Blocks(bytes, write, context);
}

// ---- Records ----

MessagePart* addPart(MessageRecord& message, PartKind kind, std::string_view name) {
  if (message.partCount == message.partCapacity) {
    std::uint32_t capacity = message.partCapacity == 0 ? 4 : 2 * message.partCapacity;
    if (capacity > UINT32_MAX / 2) return nullptr;
    auto* grown = static_cast<MessagePart*>(regrowMemory(message.parts, std::size_t{capacity} * sizeof(MessagePart)));
    if (grown == nullptr) return nullptr;
    message.parts = grown;
    message.partCapacity = capacity;
  }
  // Parts often repeat the name before them (attachments with one title):
  // they share it rather than each keep a copy.
  const MessagePart* previous = message.partCount != 0 ? &message.parts[message.partCount - 1] : nullptr;
  char* copy = previous != nullptr && previous->fileName() == name ? previous->name : nullptr;
  if (copy == nullptr) {
    copy = static_cast<char*>(keepMemory(name.size() + 1));
    if (copy == nullptr) return nullptr;
    if (!name.empty()) std::memcpy(copy, name.data(), name.size());
    copy[name.size()] = '\0';
  }
  MessagePart& part = message.parts[message.partCount++];
  part = MessagePart{};
  part.kind = kind;
  part.name = copy;
  part.nameLength = static_cast<std::uint32_t>(name.size());
  modelNotePart(message);
  return &part;
}

MessageRecord::~MessageRecord() {
  for (std::uint32_t i = 0; i < partCount; ++i) {
    freeMessage(parts[i].message);
    std::free(parts[i].picture);
    bool shared = i + 1 < partCount && parts[i + 1].name == parts[i].name;
    if (!shared) std::free(parts[i].name);
  }
  std::free(parts);
  freeModel(model);
  std::free(ownedBytes);
}

void freeMessage(MessageRecord* message) {
  if (message == nullptr) return;
  message->~MessageRecord();
  std::free(message);
}

bool forEachRecipient(const PropertyValue* table, bool (*visit)(const PropertySet& row, void* context),
                      void* context) {
  std::optional<ByteView> bytes = binaryValue(table);
  if (!bytes) return true;
  std::uint32_t rows = bytes->dword(0);
  // A row takes at least its 4-byte count.
  if (bytes->size() < 4 || rows > (bytes->size() - 4) / 4) return false;
  std::size_t offset = 4;
  for (std::uint32_t i = 0; i < rows; ++i) {
    PropertySet row;
    ByteView rest = bytes->sub(offset);
    std::optional<std::size_t> taken = rest.size() >= 4 ? keepPropertyList(rest, row, table->codePage) : std::nullopt;
    if (!taken) return false;
    if (!visit(row, context)) return true;
    offset += *taken;
  }
  return true;
}


}  // namespace wendrel
