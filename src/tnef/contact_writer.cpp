// A contact's properties as vCard 3.0 (RFC 2426), as MS-OXVCARD maps them,
// and a distribution list's members as a vCard 4.0 group (RFC 6350). vCard
// has iCalendar's content lines: the same folding at 75 octets between
// characters, the same escaping of TEXT.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "wendrel/contacts.h"
#include "wendrel/formats/base64.h"
#include "wendrel/formats/civil_time.h"
#include "wendrel/formats/entry_id.h"
#include "wendrel/formats/icalendar.h"
#include "wendrel/output.h"
#include "wendrel/version.h"

namespace wendrel {

namespace {

using ical::ContentLines;

constexpr std::uint16_t PT_STRING8 = 0x001E, PT_UNICODE = 0x001F;

// What one card's writing shares: where it goes, and the damage reported
// so far (each kind once).
struct Card {
  ContentLines& lines;
  const MessageRecord& message;
  std::string_view fileName;
  bool damageReported = false;

  const PropertyValue* find(Prop prop) const { return prop == kNone ? nullptr : message.find(prop); }
  OwnedText text(Prop prop) const { return textOf(find(prop)); }

  // A component no property fills (ADR's extended address).
  static constexpr Prop kNone = Prop::count;

  void damaged(const char* what) {
    if (damageReported) return;
    damageReported = true;
    out::error("Damaged %s in contact %.*s\n", what, static_cast<int>(fileName.size()), fileName.data());
  }
};

bool blank(const OwnedText& text) { return trimBlanks(text.view()).empty(); }

// NAME:value, a TEXT value, when there is one.
void textLine(Card& card, std::string_view name, Prop prop) {
  OwnedText value = card.text(prop);
  if (!blank(value)) card.lines.textLine(name, value.view());
}

// A structured value: its components escaped, separated by ';'.
void structuredLine(Card& card, std::string_view name, std::initializer_list<std::string_view> parameters,
                    std::initializer_list<Prop> components) {
  std::array<OwnedText, 8> texts;
  bool any = false;
  std::size_t count = 0;
  for (Prop prop : components) {
    texts[count] = card.text(prop);
    any = any || !blank(texts[count]);
    ++count;
  }
  if (!any) return;
  card.lines.begin(name);
  for (std::string_view parameter : parameters) {
    // (Views made directly: substr would bring in the C++ run-time's exceptions.)
    std::size_t equals = std::min(parameter.find('='), parameter.size() - 1);
    card.lines.parameterList({parameter.data(), equals},
                             {parameter.data() + equals + 1, parameter.size() - equals - 1});
  }
  card.lines.raw("");
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) card.lines.raw(";");
    card.lines.text(trimBlanks(texts[i].view()));
  }
  card.lines.end();
}

// ---- Names ----

void writeNames(Card& card) {
  // N is required in vCard 3.0, even empty.
  card.lines.begin("N");
  card.lines.raw("");
  bool first = true;
  for (Prop prop : {Prop::surname, Prop::givenName, Prop::middleName, Prop::displayNamePrefix, Prop::generation}) {
    if (!std::exchange(first, false)) card.lines.raw(";");
    card.lines.text(trimBlanks(card.text(prop).view()));
  }
  card.lines.end();
  // FN is required too: the display name, else the normalized subject
  // (MS-OXVCARD), else the subject or the file-under name.
  OwnedText name;
  for (Prop prop : {Prop::displayName, Prop::normalizedSubject, Prop::subject, Prop::attSubject, Prop::fileUnder}) {
    name = card.text(prop);
    if (!blank(name)) break;
  }
  card.lines.textLine("FN", trimBlanks(name.view()));
  textLine(card, "NICKNAME", Prop::nickname);
}

void writeWork(Card& card) {
  // ORG's units follow the name only when there is one.
  if (blank(card.text(Prop::departmentName))) {
    structuredLine(card, "ORG", {}, {Prop::companyName});
  } else {
    structuredLine(card, "ORG", {}, {Prop::companyName, Prop::departmentName});
  }
  textLine(card, "TITLE", Prop::title);
  textLine(card, "ROLE", Prop::profession);
}

// ---- E-mail ----

struct EmailProps {
  Prop address, type;
};
constexpr std::array<EmailProps, 3> kEmails{{{Prop::email1Address, Prop::email1AddressType},
                                             {Prop::email2Address, Prop::email2AddressType},
                                             {Prop::email3Address, Prop::email3AddressType}}};

void writeEmails(Card& card) {
  bool first = true;
  for (const EmailProps& email : kEmails) {
    OwnedText type = card.text(email.type);
    OwnedText address = card.text(email.address);
    std::string_view trimmed = trimBlanks(address.view());
    // Only SMTP addresses are ones an address book can write to (an
    // Exchange address is a directory name).
    bool smtp = blank(type) || endsWithIgnoringCase(trimBlanks(type.view()), "SMTP");
    if (!smtp || !isAddress(trimmed)) continue;
    card.lines.begin("EMAIL");
    card.lines.parameterList("TYPE", std::exchange(first, false) ? "INTERNET,PREF" : "INTERNET");
    card.lines.raw(trimmed);
    card.lines.end();
  }
  OwnedText telex = card.text(Prop::telexNumber);
  if (!blank(telex)) {
    card.lines.begin("EMAIL");
    card.lines.parameter("TYPE", "TLX");
    card.lines.text(trimBlanks(telex.view()));
    card.lines.end();
  }
}

// ---- Telephones ----

struct Phone {
  Prop prop;
  std::string_view types;
};

// Every telephone number property (MS-OXVCARD 2.1.3.4.1 and its X-MS-TEL
// types), as TEL with its TYPE.
constexpr std::array<Phone, 18> kPhones{{
    {Prop::businessPhone, "WORK,VOICE"},     {Prop::business2Phone, "WORK,VOICE"},
    {Prop::homePhone, "HOME,VOICE"},         {Prop::home2Phone, "HOME,VOICE"},
    {Prop::mobilePhone, "CELL,VOICE"},       {Prop::pagerPhone, "PAGER"},
    {Prop::carPhone, "CAR,VOICE"},           {Prop::isdnNumber, "ISDN"},
    {Prop::businessFax, "WORK,FAX"},         {Prop::homeFax, "HOME,FAX"},
    {Prop::primaryFax, "FAX"},               {Prop::primaryPhone, "PREF,VOICE"},
    {Prop::otherPhone, "VOICE"},             {Prop::assistantPhone, "X-ASSISTANT"},
    {Prop::callbackPhone, "X-CALLBACK"},     {Prop::companyMainPhone, "WORK,X-COMPANY"},
    {Prop::radioPhone, "X-RADIO"},           {Prop::ttyPhone, "X-TTYTDD"},
}};

void writePhones(Card& card) {
  for (const Phone& phone : kPhones) {
    OwnedText number = card.text(phone.prop);
    if (blank(number)) continue;
    card.lines.begin("TEL");
    card.lines.parameterList("TYPE", phone.types);
    card.lines.text(trimBlanks(number.view()));
    card.lines.end();
  }
}

// ---- Addresses ----

struct Address {
  std::string_view type;
  std::int64_t postalId;  // PidLidPostalAddressId that makes it the mailing address
  Prop postOfficeBox, street, city, state, postalCode, country;
};

constexpr std::array<Address, 3> kAddresses{{
    {"HOME", 1, Prop::homePostOfficeBox, Prop::homeStreet, Prop::homeCity, Prop::homeState, Prop::homePostalCode,
     Prop::homeCountry},
    {"WORK", 2, Prop::workPostOfficeBox, Prop::workStreet, Prop::workCity, Prop::workState, Prop::workPostalCode,
     Prop::workCountry},
    {"OTHER", 3, Prop::otherPostOfficeBox, Prop::otherStreet, Prop::otherCity, Prop::otherState, Prop::otherPostalCode,
     Prop::otherCountry},
}};

void writeAddresses(Card& card) {
  std::int64_t postal = integerValue(card.find(Prop::postalAddressId)).value_or(0);
  for (const Address& address : kAddresses) {
    char types[24];
    std::snprintf(types, sizeof types, "TYPE=%.*s%s", static_cast<int>(address.type.size()), address.type.data(),
                  postal == address.postalId ? ",PREF" : "");
    // ADR: post office box; extended address; street; locality; region;
    // postal code; country.
    structuredLine(card, "ADR", {types},
                   {address.postOfficeBox, Card::kNone, address.street, address.city, address.state, address.postalCode,
                    address.country});
  }
}

// ---- Dates ----

// A date as a contact keeps it: midnight of the day where it was entered,
// in UTC, so the nearest midnight is the day (a zone east of UTC stores the
// evening before). The local copy, midnight already, wins.
std::optional<std::int64_t> dayOf(Card& card, Prop local, Prop utc) {
  std::optional<std::int64_t> time = timeValue(card.find(local));
  if (!time) time = timeValue(card.find(utc));
  if (!time) return std::nullopt;
  std::int64_t day = civil::floorDivide(*time + civil::kSecondsPerDay / 2, civil::kSecondsPerDay);
  civil::DateTime date = civil::fromSeconds(day * civil::kSecondsPerDay);
  // 4501-01-01 stands for none.
  if (date.date.year >= 4501 || date.date.year < 1) return std::nullopt;
  return day * civil::kSecondsPerDay;
}

void dateLine(Card& card, std::string_view name, Prop local, Prop utc) {
  std::optional<std::int64_t> day = dayOf(card, local, utc);
  if (!day) return;
  civil::DateTime date = civil::fromSeconds(*day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.date.year), date.date.month, date.date.day);
  card.lines.line(name, text);
}

// ---- The rest ----

void writeCategories(Card& card) {
  const PropertyValue* keywords = card.find(Prop::keywords);
  if (keywords == nullptr) return;
  struct Join {
    ContentLines* lines;
    bool started = false;
  } join{&card.lines};
  bool whole = forEachValue(keywords, [](const PropertyValue& single, void* context) {
    auto& j = *static_cast<Join*>(context);
    OwnedText word = textOf(&single);
    if (trimBlanks(word.view()).empty()) return true;
    if (!j.started) j.lines->begin("CATEGORIES");
    j.lines->raw(j.started ? "," : "");
    j.lines->text(trimBlanks(word.view()));
    j.started = true;
    return true;
  }, &join);
  if (join.started) card.lines.end();
  if (!whole) card.damaged("categories");
}

void writeNote(Card& card) {
  OwnedText note;
  writePlainText(card.message, OwnedText::sink, &note);
  std::string_view text = note.view();
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  if (!text.empty()) card.lines.textLine("NOTE", text);
}

// The picture's type, from its first bytes.
std::string_view photoType(ByteView photo) {
  if (photo.size() >= 3 && photo.byte(0) == 0xFF && photo.byte(1) == 0xD8 && photo.byte(2) == 0xFF) return "JPEG";
  if (photo.size() >= 8 && std::memcmp(photo.data(), "\x89PNG\r\n\x1A\n", 8) == 0) return "PNG";
  if (photo.size() >= 6 && std::memcmp(photo.data(), "GIF8", 4) == 0) return "GIF";
  if (photo.size() >= 2 && photo.byte(0) == 'B' && photo.byte(1) == 'M') return "BMP";
  return {};
}

void writePhoto(Card& card) {
  std::optional<ByteView> photo = binaryValue(card.find(Prop::contactPhoto));
  if (!photo || photo->empty()) return;
  card.lines.begin("PHOTO");
  card.lines.parameter("ENCODING", "b");
  if (std::string_view type = photoType(*photo); !type.empty()) card.lines.parameter("TYPE", type);
  card.lines.raw("");
  // Whole groups in blocks, then the padded tail.
  constexpr std::size_t kGroupsPerBlock = 256;
  char block[4 * kGroupsPerBlock];
  const auto* bytes = reinterpret_cast<const unsigned char*>(photo->data());
  std::size_t groups = photo->size() / 3;
  for (std::size_t done = 0; done < groups;) {
    std::size_t now = std::min(kGroupsPerBlock, groups - done);
    card.lines.raw({block, static_cast<std::size_t>(base64::encodeGroups(bytes + 3 * done, now, block) - block)});
    done += now;
  }
  if (std::size_t rest = photo->size() % 3; rest != 0) {
    card.lines.raw({block, static_cast<std::size_t>(base64::encodeTail(bytes + 3 * groups, rest, block) - block)});
  }
  card.lines.end();
}

// FNV-1a's step taken eight bytes at a time (a list's members run to
// kilobytes), then the length, so that "ab","c" and "a","bc" differ.
std::uint64_t mixIn(std::uint64_t hash, ByteView bytes) {
  constexpr std::uint64_t kPrime = 0x100000001B3u;
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + at, 8);
    hash = (hash ^ word) * kPrime;
    hash ^= hash >> 29;
  }
  for (; at < bytes.size(); ++at) hash = (hash ^ bytes.data()[at]) * kPrime;
  return (hash ^ bytes.size()) * kPrime;
}

// UID: the message's own ID when it has one, else a hash of the card's
// names and addresses (the same contact always gives the same one). vCard
// 4.0 takes a URI unless told the value is text.
void writeUid(Card& card, bool asText, std::initializer_list<Prop> identity) {
  card.lines.begin("UID");
  if (asText) card.lines.parameter("VALUE", "text");
  OwnedText id = card.text(Prop::attMessageId);
  if (!blank(id)) {
    card.lines.text(trimBlanks(id.view()));
    return card.lines.end();
  }
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (Prop prop : identity) {
    const PropertyValue* value = card.find(prop);
    hash = mixIn(hash, value != nullptr ? value->data : ByteView());
  }
  char text[32] = "wendrel-";
  for (int shift = 60, at = 8; shift >= 0; shift -= 4) text[at++] = "0123456789ABCDEF"[hash >> shift & 0xF];
  card.lines.raw({text, 24});
  card.lines.end();
}

void writeRevision(Card& card) {
  std::optional<std::int64_t> modified = timeValue(card.find(Prop::lastModificationTime));
  if (!modified) return;
  civil::DateTime t = civil::fromSeconds(*modified);
  if (t.date.year < 1 || t.date.year > 9999) return;
  char text[24];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02uZ", static_cast<int>(t.date.year), t.date.month,
                t.date.day, t.hour, t.minute, t.second);
  card.lines.line("REV", text);
}

void writeHeader(Card& card, std::string_view version) {
  card.lines.line("BEGIN", "VCARD");
  card.lines.line("VERSION", version);
  card.lines.begin("PRODID");
  card.lines.raw("-//");
  card.lines.raw(kProgramVersion);
  card.lines.raw("//EN");
  card.lines.end();
}

// Bytes that `plain` rejects, percent-encoded (RFC 3986).
template <typename Plain>
void writePercentEncoded(ContentLines& lines, std::string_view text, Plain plain) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  while (!text.empty()) {
    std::size_t run = 0;
    while (run < text.size() && plain(text[run])) ++run;
    if (run != 0) {
      lines.raw({text.data(), run});
    } else {
      auto byte = static_cast<std::uint8_t>(text[0]);
      char escaped[3] = {'%', kDigits[byte >> 4], kDigits[byte & 15]};
      lines.raw({escaped, 3});
      run = 1;
    }
    text.remove_prefix(run);
  }
}

// A home page as the URI it names: a space or a control (a line break
// would end the content line) cannot stand in one.
void writeUri(ContentLines& lines, std::string_view uri) {
  writePercentEncoded(lines, uri, [](char c) {
    auto byte = static_cast<std::uint8_t>(c);
    return byte > ' ' && byte != 0x7F;
  });
}

// mailto: with what a URI cannot hold percent-encoded (RFC 6068, RFC 3986).
void writeMailto(ContentLines& lines, std::string_view address) {
  lines.raw("mailto:");
  writePercentEncoded(lines, address, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-._~!$&'*+=@").find(c) != std::string_view::npos;
  });
}

void writeContactCard(Card& card) {
  writeHeader(card, "3.0");
  writeNames(card);
  writeWork(card);
  writeEmails(card);
  writePhones(card);
  writeAddresses(card);
  OwnedText work = card.text(Prop::businessHomePage), home = card.text(Prop::personalHomePage);
  for (const auto& [type, url] : {std::pair{"WORK", &work}, std::pair{"HOME", &home}}) {
    if (blank(*url)) continue;
    card.lines.begin("URL");
    card.lines.parameter("TYPE", type);
    writeUri(card.lines, trimBlanks(url->view()));
    card.lines.end();
  }
  dateLine(card, "BDAY", Prop::birthdayLocal, Prop::birthday);
  dateLine(card, "X-MS-ANNIVERSARY", Prop::weddingAnniversaryLocal, Prop::weddingAnniversary);
  writeNote(card);
  writeCategories(card);
  writePhoto(card);
  textLine(card, "X-MS-IMADDRESS", Prop::instantMessagingAddress);
  textLine(card, "X-MS-SPOUSE;N", Prop::spouseName);
  textLine(card, "X-MS-MANAGER;N", Prop::managerName);
  textLine(card, "X-MS-ASSISTANT;N", Prop::assistantName);
  textLine(card, "FBURL", Prop::freeBusyLocation);
  if (std::optional<std::int64_t> sensitivity = integerValue(card.find(Prop::sensitivity))) {
    std::string_view classes[] = {"PUBLIC", "PRIVATE", "PRIVATE", "CONFIDENTIAL"};
    if (*sensitivity >= 0 && *sensitivity <= 3) card.lines.line("CLASS", classes[*sensitivity]);
  }
  writeRevision(card);
  writeUid(card, false, {Prop::displayName, Prop::surname, Prop::givenName, Prop::companyName, Prop::email1Address,
                  Prop::businessPhone, Prop::homePhone, Prop::mobilePhone, Prop::creationTime});
  card.lines.line("END", "VCARD");
}

// ---- Distribution lists ----

struct Members {
  Card* card;
  const codepage::CodePage* page;
  std::size_t withoutAddress = 0;
  bool damaged = false;
};

bool writeMember(const PropertyValue& entry, void* context) {
  auto& members = *static_cast<Members*>(context);
  entryid::OneOff oneOff;
  entryid::Damage damage = entryid::readOneOff(entry.data, oneOff);
  if (damage == entryid::Damage::other) {
    ++members.withoutAddress;
    return true;
  }
  if (damage != entryid::Damage::none) {
    members.damaged = true;
    return true;
  }
  std::uint16_t type = oneOff.unicode ? PT_UNICODE : PT_STRING8;
  PropertyValue addressType{type, oneOff.addressType, members.page}, address{type, oneOff.address, members.page};
  OwnedText kind = textOf(&addressType), text = textOf(&address);
  std::string_view trimmed = trimBlanks(text.view());
  if (!endsWithIgnoringCase(trimBlanks(kind.view()), "SMTP") || !isAddress(trimmed)) {
    ++members.withoutAddress;
    return true;
  }
  members.card->lines.begin("MEMBER");
  writeMailto(members.card->lines, trimmed);
  members.card->lines.end();
  return true;
}

void writeListCard(Card& card) {
  writeHeader(card, "4.0");
  card.lines.line("KIND", "group");
  OwnedText name;
  for (Prop prop : {Prop::displayName, Prop::distributionListName, Prop::normalizedSubject, Prop::subject,
                    Prop::attSubject, Prop::fileUnder}) {
    name = card.text(prop);
    if (!blank(name)) break;
  }
  card.lines.textLine("FN", trimBlanks(name.view()));
  // The one-off entry IDs, else the members themselves where they are one-offs.
  const PropertyValue* entries = card.find(Prop::distributionListOneOffMembers);
  if (entries == nullptr) entries = card.find(Prop::distributionListMembers);
  Members members{&card, entries != nullptr ? entries->codePage : nullptr};
  if (entries != nullptr && !forEachValue(entries, writeMember, &members)) members.damaged = true;
  if (members.damaged) card.damaged("distribution list member");
  if (members.withoutAddress != 0) {
    char note[64];
    std::snprintf(note, sizeof note, "%zu member%s without an e-mail address", members.withoutAddress,
                  members.withoutAddress == 1 ? "" : "s");
    card.lines.textLine("NOTE", note);
  }
  writeNote(card);
  writeCategories(card);
  writeRevision(card);
  writeUid(card, true, {Prop::displayName, Prop::distributionListName, Prop::distributionListOneOffMembers,
                  Prop::distributionListMembers, Prop::creationTime});
  card.lines.line("END", "VCARD");
}

}  // namespace

bool writeContact(const MessageRecord& message, ContactKind kind, std::string_view fileName, BlockSink write,
                  void* context) {
  ContentLines lines(write, context);
  Card card{lines, message, fileName};
  if (kind == ContactKind::list) {
    writeListCard(card);
  } else {
    writeContactCard(card);
  }
  return lines.finish();
}

}  // namespace wendrel
