// A calendar item's properties as iCalendar text, as Outlook exports them
// (MS-OXCICAL): the VCALENDAR with its METHOD, the item's VTIMEZONE, the
// VEVENT or VTODO, and a VEVENT for each modified instance of a series.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <span>
#include <utility>

#include "wendrel/calendar.h"
#include "wendrel/formats/civil_time.h"
#include "wendrel/formats/global_object_id.h"
#include "wendrel/formats/icalendar.h"
#include "wendrel/formats/recurrence.h"
#include "wendrel/formats/time_zones.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/output.h"
#include "wendrel/version.h"

namespace wendrel {

namespace {

using ical::ContentLines;

constexpr std::uint16_t PT_STRING8 = 0x001E, PT_UNICODE = 0x001F;

// What one item's writing shares: where it goes, and the damage reported so
// far (each kind once).
struct Writing {
  ContentLines& lines;
  const MessageRecord& message;
  const CalendarItem& item;
  std::string_view fileName;
  unsigned reported = 0;

  void damaged(unsigned bit, const char* what) {
    if ((reported & bit) != 0) return;
    reported |= bit;
    out::error("Damaged %s in calendar item %.*s\n", what, static_cast<int>(fileName.size()), fileName.data());
  }
};

enum DamageBit : unsigned { kRecurrenceDamage = 1, kTimeZoneDamage = 2, kRecipientDamage = 4 };

// ---- Small texts ----


struct Number {
  char text[24];
  std::size_t length;
  std::string_view view() const { return {text, length}; }
};

Number number(std::int64_t value) {
  Number n{};
  n.length = static_cast<std::size_t>(std::to_chars(n.text, n.text + sizeof n.text, value).ptr - n.text);
  return n;
}


// ---- People ----

using Person = Mailbox;

// The first To row of a message's recipient table.
bool firstToRow(Writing& w, const MessageRecord& message, Person& person) {
  struct Find {
    Person* person;
    bool found;
  } find{&person, false};
  bool whole = forEachRecipient(message.find(Prop::attRecipTable), [](const PropertySet& row, void* context) {
    auto& f = *static_cast<Find*>(context);
    if (recipientTypeOf(row) != kRecipientTo || !recipientOf(row, *f.person)) return true;
    f.found = true;
    return false;
  }, &find);
  if (!whole) w.damaged(kRecipientDamage, "recipient table");
  return find.found;
}

void writePersonLine(ContentLines& lines, std::string_view property, const Person& person,
                     std::initializer_list<std::pair<std::string_view, std::string_view>> parameters) {
  lines.begin(property);
  if (!person.name.empty()) lines.parameter("CN", person.name.view());
  for (const auto& [name, value] : parameters) {
    if (!value.empty()) lines.parameter(name, value);
  }
  lines.raw("mailto:");
  lines.raw(person.address.view());
  lines.end();
}

// The message that was sent: the item's own, or the task request (or
// response) that carries a task.
const MessageRecord& sentMessage(const Writing& w) { return w.item.request != nullptr ? *w.item.request : w.message; }

// A calendar takes the account a meeting was sent from when nothing names
// the sender.
bool senderOrAccount(const MessageRecord& message, Person& person) {
  return senderOf(message, person) || sendingAccountOf(message, person);
}

// The organizer: a reply's first To row; a task request's task, the request's
// sender first; otherwise the item's sender.
bool organizerOf(Writing& w, Person& person) {
  if (w.item.method == CalendarMethod::reply) return firstToRow(w, sentMessage(w), person);
  return (w.item.request != nullptr && senderOrAccount(*w.item.request, person)) || senderOrAccount(w.message, person);
}

std::string_view partStatus(std::int64_t trackStatus) {
  switch (trackStatus) {
    case 2: return "TENTATIVE";
    case 3: return "ACCEPTED";
    case 4: return "DECLINED";
    default: return "NEEDS-ACTION";
  }
}

struct AttendeeRows {
  Writing* writing;
  std::string_view rsvp;
  unsigned written;
};

bool writeRowAttendee(const PropertySet& row, void* context) {
  auto& rows = *static_cast<AttendeeRows*>(context);
  constexpr std::int64_t kOrganizerRow = 0x0002;
  if ((integerValue(row.find(Prop::recipientFlags)).value_or(0) & kOrganizerRow) != 0) return true;
  Person person;
  if (!recipientOf(row, person)) return true;
  std::int64_t type = recipientTypeOf(row);
  std::string_view role = type == kRecipientCc    ? "OPT-PARTICIPANT"
                          : type == kRecipientBcc ? "NON-PARTICIPANT"
                                                  : "REQ-PARTICIPANT";
  writePersonLine(rows.writing->lines, "ATTENDEE", person,
                  {{"CUTYPE", type == kRecipientBcc ? "RESOURCE" : ""},
                   {"ROLE", role},
                   {"PARTSTAT", partStatus(integerValue(row.find(Prop::recipientTrackStatus)).value_or(0))},
                   {"RSVP", rows.rsvp}});
  ++rows.written;
  return true;
}

// One entry of an attendees string: "Name (address)" or an address.
bool attendeeEntry(std::string_view entry, Person& person) {
  entry = trimBlanks(entry);
  std::size_t open = entry.rfind('(');
  std::string_view address = entry, name;
  if (open != std::string_view::npos && entry.ends_with(')')) {
    // (Views made directly: substr would bring in the C++ run-time's exceptions.)
    address = trimBlanks({entry.data() + open + 1, entry.size() - open - 2});
    name = trimBlanks({entry.data(), open});
  }
  if (!isAddress(address)) return false;
  person.name = OwnedText{};
  person.name.append(name);
  person.address = OwnedText{};
  person.address.append(address);
  return true;
}

void writeAttendeeString(Writing& w, Prop prop, std::string_view role, std::string_view rsvp) {
  OwnedText list = textOf(w.message.find(prop));
  std::string_view rest = list.view();
  while (!rest.empty()) {
    std::size_t end = std::min(rest.find(';'), rest.size());
    Person person;
    if (attendeeEntry({rest.data(), end}, person)) {
      writePersonLine(w.lines, "ATTENDEE", person, {{"ROLE", role}, {"PARTSTAT", "NEEDS-ACTION"}, {"RSVP", rsvp}});
    }
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
}

// A reply names one attendee, its sender, with the answer it gives.
void writeReplyAttendee(Writing& w) {
  Person person;
  if (!senderOrAccount(sentMessage(w), person)) return;
  std::string_view status = w.item.reply == ReplyStatus::accepted  ? "ACCEPTED"
                            : w.item.reply == ReplyStatus::declined ? "DECLINED"
                                                                    : "TENTATIVE";
  writePersonLine(w.lines, "ATTENDEE", person, {{"PARTSTAT", status}});
}

void writeAttendees(Writing& w) {
  if (w.item.method == CalendarMethod::reply) return writeReplyAttendee(w);
  // A task request says for its task whether answers are asked for.
  std::optional<bool> requested;
  if (w.item.request != nullptr) requested = booleanValue(w.item.request->find(Prop::responseRequested));
  if (!requested) requested = booleanValue(w.message.find(Prop::responseRequested));
  bool rsvp = requested.value_or(w.item.method == CalendarMethod::request);
  AttendeeRows rows{&w, rsvp ? "TRUE" : "", 0};
  // A task request's task takes the request's rows first.
  const MessageRecord* owner = &w.message;
  if (w.item.request != nullptr && w.item.request->find(Prop::attRecipTable) != nullptr) owner = w.item.request;
  if (const PropertyValue* table = owner->find(Prop::attRecipTable)) {
    if (!forEachRecipient(table, writeRowAttendee, &rows)) w.damaged(kRecipientDamage, "recipient table");
    return;
  }
  writeAttendeeString(w, Prop::toAttendeesString, "REQ-PARTICIPANT", rows.rsvp);
  writeAttendeeString(w, Prop::ccAttendeesString, "OPT-PARTICIPANT", rows.rsvp);
}

// ---- Time ----

// The zone the item's times are written in: its own, named by TZID and
// described by a VTIMEZONE, or none (UTC). Without one, a series' local
// times (its pattern's dates and time of day) are read at the offset its
// first instance shows.
struct ItemZone {
  bool present = false;
  timezone::Zone zone;
  OwnedText name;
  std::int64_t fixedOffset = 0;  // local minus UTC, in seconds, when there is no zone

  std::int64_t toLocal(std::int64_t utc) const { return present ? timezone::utcToLocal(zone, utc) : utc + fixedOffset; }
  std::int64_t toUtc(std::int64_t local) const { return present ? timezone::localToUtc(zone, local) : local - fixedOffset; }
};

bool readDefinition(Writing& w, Prop prop, ItemZone& zone) {
  std::optional<ByteView> blob = binaryValue(w.message.find(prop));
  if (!blob) return false;
  if (timezone::readTimeZoneDefinition(*blob, zone.zone) != timezone::Damage::none) {
    w.damaged(kTimeZoneDamage, "time zone definition");
    return false;
  }
  char name[kScratchSize];
  std::size_t length = zone.zone.keyNameUtf8(std::span<char>(name, sizeof name - 1));
  zone.name.append({name, length});
  if (zone.name.empty()) zone.name = textOf(w.message.find(Prop::timeZoneDescription));
  return zone.present = true;
}

bool readStruct(Writing& w, ItemZone& zone) {
  std::optional<ByteView> blob = binaryValue(w.message.find(Prop::timeZoneStruct));
  if (!blob) return false;
  if (timezone::readTimeZoneStruct(*blob, zone.zone) != timezone::Damage::none) {
    w.damaged(kTimeZoneDamage, "time zone");
    return false;
  }
  zone.name = textOf(w.message.find(Prop::timeZoneDescription));
  return zone.present = true;
}

// A recurring item's zone is the one its recurrence is in, a single item's
// the one its start is shown in; either falls back to the time zone struct.
void readZone(Writing& w, bool recurring, ItemZone& zone) {
  Prop definition = recurring ? Prop::timeZoneDefinitionRecur : Prop::timeZoneDefinitionStartDisplay;
  if (!readDefinition(w, definition, zone)) readStruct(w, zone);
  // A TZID must name something, and read the same as a parameter (which
  // holds no '"' or control characters) and as the VTIMEZONE's own TZID.
  std::string_view name = trimBlanks(zone.name.view());
  OwnedText clean;
  for (char c : name) {
    if (static_cast<std::uint8_t>(c) >= 0x20 && c != 0x7F) clean.append(c == '"' ? std::string_view("'") : std::string_view(&c, 1));
  }
  if (zone.present && (clean.empty() || !utf8::isValid(clean.view()))) clean.append("Custom Time Zone");
  // A Windows ID goes by its IANA name, which every calendar program knows
  // (some read any other TZID as UTC); the VTIMEZONE is the stream's own.
  if (std::string_view iana = timezone::ianaZoneName(clean.view()); !iana.empty()) {
    clean = OwnedText{};
    clean.append(iana);
  }
  zone.name = std::move(clean);
}

// How the item's times are written.
struct Clock {
  const ItemZone& zone;
  bool allDay;
};

// NAME;TZID=zone:local, NAME:utcZ, or with allDay NAME;VALUE=DATE:date, from
// a local time in the item's zone. A time outside years 1-9999 is left out.
void writeLocalTime(ContentLines& lines, std::string_view name, std::int64_t local, const Clock& clock) {
  if (clock.allDay) {
    ical::DateTimeText date = ical::formatDate(local);
    if (date.length == 0) return;
    lines.begin(name);
    lines.parameter("VALUE", "DATE");
    lines.raw(date.view());
    lines.end();
    return;
  }
  ical::DateTimeText text = ical::formatDateTime(clock.zone.present ? local : clock.zone.toUtc(local), !clock.zone.present);
  if (text.length == 0) return;
  lines.begin(name);
  if (clock.zone.present) lines.parameter("TZID", clock.zone.name.view());
  lines.raw(text.view());
  lines.end();
}

void writeUtcTime(ContentLines& lines, std::string_view name, std::int64_t utc) {
  ical::DateTimeText text = ical::formatDateTime(utc, true);
  if (text.length != 0) lines.line(name, text.view());
}

void writeDate(ContentLines& lines, std::string_view name, std::int64_t seconds) {
  ical::DateTimeText date = ical::formatDate(seconds);
  if (date.length == 0) return;
  lines.begin(name);
  lines.parameter("VALUE", "DATE");
  lines.raw(date.view());
  lines.end();
}

// The item's start and end as local times of its zone: the whole start and
// end (UTC), else the start and end attributes (local already).
struct Span {
  std::optional<std::int64_t> start, end;
};

Span itemSpan(const MessageRecord& message, const ItemZone& zone) {
  Span span;
  std::optional<std::int64_t> start = timeValue(message.find(Prop::appointmentStartWhole));
  std::optional<std::int64_t> end = timeValue(message.find(Prop::appointmentEndWhole));
  span.start = start ? std::optional(zone.toLocal(*start)) : dateValue(message.find(Prop::attDateStart));
  span.end = end ? std::optional(zone.toLocal(*end)) : dateValue(message.find(Prop::attDateEnd));
  return span;
}

// DTSTAMP: when the meeting last changed for its attendees, else when the
// message was sent, else when the item was made or changed, else its start.
std::int64_t stampOf(const MessageRecord& message, const ItemZone& zone, const Span& span) {
  for (Prop prop : {Prop::attendeeCriticalChange, Prop::clientSubmitTime}) {
    if (std::optional<std::int64_t> time = timeValue(message.find(prop))) return *time;
  }
  if (std::optional<std::int64_t> sent = dateValue(message.find(Prop::attDateSent))) return zone.toUtc(*sent);
  for (Prop prop : {Prop::creationTime, Prop::lastModificationTime}) {
    if (std::optional<std::int64_t> time = timeValue(message.find(prop))) return *time;
  }
  return span.start ? zone.toUtc(*span.start) : 0;
}

// ---- VTIMEZONE ----

constexpr std::array<std::string_view, 7> kWeekdays{"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

void writeObservance(ContentLines& lines, const timezone::Observance& observance) {
  std::string_view kind = observance.daylight ? "DAYLIGHT" : "STANDARD";
  ical::DateTimeText start = ical::formatDateTime(observance.start, false);
  ical::DateTimeText from = ical::formatUtcOffset(observance.offsetFrom);
  ical::DateTimeText to = ical::formatUtcOffset(observance.offsetTo);
  if (start.length == 0 || from.length == 0 || to.length == 0) return;
  lines.line("BEGIN", kind);
  lines.line("DTSTART", start.view());
  if (observance.recurs && observance.weekday < 7) {
    lines.begin("RRULE");
    lines.raw("FREQ=YEARLY;BYDAY=");
    lines.raw(number(observance.week).view());
    lines.raw(kWeekdays[observance.weekday]);
    lines.raw(";BYMONTH=");
    lines.raw(number(observance.month).view());
    ical::DateTimeText until = ical::formatDateTime(observance.untilUtc, true);
    if (observance.hasUntil && until.length != 0) {
      lines.raw(";UNTIL=");
      lines.raw(until.view());
    }
    lines.end();
  }
  lines.line("TZOFFSETFROM", from.view());
  lines.line("TZOFFSETTO", to.view());
  lines.line("END", kind);
}

void writeTimeZone(ContentLines& lines, const ItemZone& zone, std::int64_t firstLocal) {
  std::int64_t fromYear = civil::fromSeconds(firstLocal).date.year;
  std::size_t count = timezone::observanceCount(zone.zone, fromYear);
  auto* observances = static_cast<timezone::Observance*>(keepMemory(std::max<std::size_t>(count, 1) * sizeof(timezone::Observance)));
  if (observances == nullptr) return;
  count = timezone::describeObservances(zone.zone, fromYear, std::span(observances, count));
  lines.line("BEGIN", "VTIMEZONE");
  lines.textLine("TZID", zone.name.view());
  for (std::size_t i = 0; i < count; ++i) writeObservance(lines, observances[i]);
  lines.line("END", "VTIMEZONE");
  std::free(observances);
}

// ---- Recurrence ----

void writeRule(ContentLines& lines, const recurrence::Rule& rule, std::optional<std::int64_t> untilLocal,
               const Clock& clock) {
  using recurrence::Frequency;
  constexpr std::array<std::string_view, 4> kFrequencies{"DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
  lines.begin("RRULE");
  lines.raw("FREQ=");
  lines.raw(kFrequencies[static_cast<std::size_t>(rule.frequency)]);
  if (rule.interval > 1) {
    lines.raw(";INTERVAL=");
    lines.raw(number(rule.interval).view());
  }
  int days = 0;  // (std::popcount would need libgcc's helper on processors without the instruction)
  for (unsigned bits = rule.weekDays & 0x7Fu; bits != 0; bits &= bits - 1) ++days;
  if (days > 0) {
    lines.raw(";BYDAY=");
    bool first = true;
    for (std::size_t day = 0; day < 7; ++day) {
      if ((rule.weekDays >> day & 1) == 0) continue;
      if (!std::exchange(first, false)) lines.raw(",");
      // One weekday in a month: its place goes with it (2MO, -1FR).
      if (days == 1 && rule.setPosition != 0) lines.raw(number(rule.setPosition).view());
      lines.raw(kWeekdays[day]);
    }
  }
  if (rule.monthDay != 0) {
    lines.raw(";BYMONTHDAY=");
    lines.raw(number(rule.monthDay).view());
  }
  if (rule.month != 0) {
    lines.raw(";BYMONTH=");
    lines.raw(number(rule.month).view());
  }
  if (days > 1 && rule.setPosition != 0) {
    lines.raw(";BYSETPOS=");
    lines.raw(number(rule.setPosition).view());
  }
  if (rule.frequency == Frequency::weekly && rule.weekStart < 7) {
    lines.raw(";WKST=");
    lines.raw(kWeekdays[rule.weekStart]);
  }
  if (rule.end == recurrence::Rule::End::count) {
    lines.raw(";COUNT=");
    lines.raw(number(rule.count).view());
  } else if (rule.end == recurrence::Rule::End::date && untilLocal) {
    // With a TZID the end is in UTC; an all-day series ends on a date.
    ical::DateTimeText until = clock.allDay ? ical::formatDate(*untilLocal)
                                            : ical::formatDateTime(clock.zone.toUtc(*untilLocal), true);
    if (until.length != 0) {
      lines.raw(";UNTIL=");
      lines.raw(until.view());
    }
  }
  lines.end();
}

std::int64_t minutesToSeconds(std::uint32_t minutes) { return std::int64_t{minutes} * civil::kSecondsPerMinute; }

// Midnights of the original dates of the modified instances, sorted.
struct Originals {
  std::uint32_t* dates = nullptr;
  std::size_t count = 0;
  ~Originals() { std::free(dates); }
  bool holds(std::uint32_t midnight) const { return std::binary_search(dates, dates + count, midnight); }
};

void collectOriginals(const recurrence::AppointmentRecurrencePattern& recur, Originals& originals) {
  originals.dates = static_cast<std::uint32_t*>(keepMemory(std::size_t{recur.exceptionCount} * 4 + 4));
  if (originals.dates == nullptr) return;
  recurrence::ExceptionCursor cursor = recur.exceptions();
  recurrence::Exception exception;
  while (cursor.next(exception) && originals.count < recur.exceptionCount) {
    originals.dates[originals.count++] = exception.originalStartDate - exception.originalStartDate % civil::kMinutesPerDay;
  }
  std::sort(originals.dates, originals.dates + originals.count);
}

// Deleted instances that were not moved elsewhere.
void writeExceptionDates(ContentLines& lines, const recurrence::AppointmentRecurrencePattern& recur,
                         const Originals& originals, const Clock& clock) {
  const recurrence::RecurrencePattern& pattern = recur.pattern;
  for (std::uint32_t i = 0; i < pattern.deletedInstanceCount; ++i) {
    std::uint32_t midnight = pattern.deletedInstanceDate(i);
    if (originals.holds(midnight - midnight % civil::kMinutesPerDay)) continue;
    writeLocalTime(lines, "EXDATE", minutesToSeconds(midnight) + minutesToSeconds(recur.startTimeOffset), clock);
  }
}

// ---- Texts ----

// SUMMARY: the subject without its prefix ("Accepted: Review" is the meeting
// "Review"): the normalized subject, else the subject less its prefix, else
// the subject or the conversation topic.
OwnedText summaryOf(const MessageRecord& message) {
  OwnedText normalized = textOf(message.find(Prop::normalizedSubject));
  if (!normalized.empty()) return normalized;
  const PropertyValue* subjectValue = message.find(Prop::subject);
  if (subjectValue == nullptr) subjectValue = message.find(Prop::attSubject);
  if (subjectValue == nullptr) return textOf(message.find(Prop::conversationTopic));
  OwnedText subject = textOf(subjectValue);
  OwnedText prefix = textOf(message.find(Prop::subjectPrefix));
  if (prefix.empty() || !subject.view().starts_with(prefix.view())) return subject;
  OwnedText rest;
  std::string_view text = subject.view();
  text.remove_prefix(prefix.view().size());
  rest.append(text);
  return rest;
}

// DESCRIPTION: the message's text, without the line breaks and blanks that
// end it (nothing when nothing else is left).
void writeDescription(ContentLines& lines, const MessageRecord& message) {
  OwnedText description;
  writePlainText(message, OwnedText::sink, &description);
  std::string_view body = description.view();
  while (!body.empty() && (body.back() == '\r' || body.back() == '\n' || body.back() == ' ' || body.back() == '\t')) {
    body.remove_suffix(1);
  }
  if (!body.empty()) lines.textLine("DESCRIPTION", body);
}

// X-ALT-DESC: the HTML body, else the HTML the RTF body encapsulates.
void writeHtmlDescription(ContentLines& lines, const MessageRecord& message) {
  const PropertyValue* html = message.find(Prop::htmlBody);
  const PropertyValue* rtf = message.find(Prop::rtfCompressed);
  bool fromRtf = html == nullptr && encapsulationOf(rtf) == RtfEncapsulation::html;
  if (html == nullptr && !fromRtf) return;
  lines.begin("X-ALT-DESC");
  lines.parameter("FMTTYPE", "text/html");
  lines.raw("");
  if (fromRtf) {
    writeRtfBody(rtf, RtfEncapsulation::html, ContentLines::textSink, &lines);
  } else {
    writeHtmlText(message, html, ContentLines::textSink, &lines);
  }
  lines.end();
}

// ---- UID ----

// A UID made from the item itself when it carries none: the same item always
// gives the same one. FNV-1a, twice with different offsets, over its class,
// subject, location, times and creation time.
OwnedText derivedUid(const MessageRecord& message) {
  std::uint64_t hashes[2] = {0xCBF29CE484222325u, 0x84222325CBF29CE4u};
  auto mix = [&](ByteView bytes) {
    for (std::uint64_t& hash : hashes) {
      for (std::size_t i = 0; i < bytes.size(); ++i) hash = (hash ^ bytes.data()[i]) * 0x100000001B3u;
      hash = (hash ^ 0xFF) * 0x100000001B3u;  // ends each value, so "ab"+"c" differs from "a"+"bc"
    }
  };
  for (Prop prop : {Prop::attMessageClass, Prop::messageClass, Prop::attSubject, Prop::subject, Prop::location,
                    Prop::appointmentStartWhole, Prop::appointmentEndWhole, Prop::attDateStart, Prop::attDateEnd,
                    Prop::taskStartDate, Prop::taskDueDate, Prop::creationTime}) {
    const PropertyValue* value = message.find(prop);
    mix(value != nullptr ? value->data : ByteView());
  }
  char text[40] = "wendrel-";
  char* p = text + 8;
  for (std::uint64_t hash : hashes) {
    for (int shift = 60; shift >= 0; shift -= 4) *p++ = "0123456789ABCDEF"[hash >> shift & 0xF];
  }
  OwnedText uid;
  uid.append({text, static_cast<std::size_t>(p - text)});
  return uid;
}

// UID: a meeting's global object ID, so that a request, its exceptions, the
// replies and the cancellation all share it; a task's global ID.
OwnedText uidOf(const MessageRecord& message, ItemKind kind) {
  OwnedText uid;
  if (kind == ItemKind::task) {
    std::optional<ByteView> id = binaryValue(message.find(Prop::taskGlobalId));
    if (!id || id->empty()) return derivedUid(message);
    goid::writeHex(*id, OwnedText::sink, &uid);
    return uid;
  }
  std::optional<ByteView> id = binaryValue(message.find(Prop::globalObjectId));
  if (!id || id->empty()) id = binaryValue(message.find(Prop::cleanGlobalObjectId));
  if (!id || id->empty()) return derivedUid(message);
  if (std::optional<ByteView> vcal = goid::vcalUid(*id); vcal && !vcal->empty()) {
    // Text from another calendar, in windows-1252 when it is not UTF-8.
    PropertyValue text{PT_STRING8, *vcal, nullptr};
    writeTextValue(&text, OwnedText::sink, &uid);
  } else {
    goid::writeInstanceFreeHex(*id, OwnedText::sink, &uid);
  }
  return uid;
}

// ---- Simple properties ----

void writeSimpleProperties(ContentLines& lines, const MessageRecord& message) {
  if (std::optional<std::int64_t> sensitivity = integerValue(message.find(Prop::sensitivity))) {
    std::string_view classes[] = {"PUBLIC", "PRIVATE", "PRIVATE", "CONFIDENTIAL"};
    if (*sensitivity >= 0 && *sensitivity <= 3) lines.line("CLASS", classes[*sensitivity]);
  }
  if (std::optional<std::int64_t> importance = integerValue(message.find(Prop::importance))) {
    std::string_view priorities[] = {"9", "5", "1"};
    if (*importance >= 0 && *importance <= 2) lines.line("PRIORITY", priorities[*importance]);
  }
  if (std::optional<std::int64_t> created = timeValue(message.find(Prop::creationTime))) writeUtcTime(lines, "CREATED", *created);
  if (std::optional<std::int64_t> modified = timeValue(message.find(Prop::lastModificationTime))) {
    writeUtcTime(lines, "LAST-MODIFIED", *modified);
  }
}

void writeBusyStatus(ContentLines& lines, std::int64_t status) {
  std::string_view names[] = {"FREE", "TENTATIVE", "BUSY", "OOF", "WORKINGELSEWHERE"};
  if (status < 0 || status > 4) return;
  lines.line("TRANSP", status == 0 ? "TRANSPARENT" : "OPAQUE");
  lines.line("X-MICROSOFT-CDO-BUSYSTATUS", names[status]);
}

// What a relative reminder counts from: an event's start; a task's start, or
// its due date when it has no start, or nothing.
enum class Anchor : std::uint8_t { start, end, none };

// A reminder: so many minutes before the anchor; a task's at the time it was
// set for.
void writeAlarm(ContentLines& lines, const MessageRecord& message, ItemKind kind, Anchor anchor) {
  if (!booleanValue(message.find(Prop::reminderSet)).value_or(false)) return;
  std::optional<std::int64_t> time = kind == ItemKind::task ? timeValue(message.find(Prop::reminderTime)) : std::nullopt;
  ical::DateTimeText at = ical::formatDateTime(time.value_or(0), true);
  bool absolute = time && at.length != 0;
  if (!absolute && anchor == Anchor::none) return;
  constexpr std::int64_t kDefaultMinutes = 15;
  constexpr std::int64_t kLongest = std::int64_t{10} * 366 * 24 * 60;  // ten years, in minutes
  std::int64_t minutes = std::clamp(integerValue(message.find(Prop::reminderDelta)).value_or(kDefaultMinutes), -kLongest, kLongest);
  lines.line("BEGIN", "VALARM");
  lines.begin("TRIGGER");
  if (absolute) {
    lines.parameter("VALUE", "DATE-TIME");
    lines.raw(at.view());
  } else {
    if (anchor == Anchor::end) lines.parameter("RELATED", "END");
    lines.raw(minutes >= 0 ? "-PT" : "PT");
    lines.raw(number(minutes >= 0 ? minutes : -minutes).view());
    lines.raw("M");
  }
  lines.end();
  lines.line("ACTION", "DISPLAY");
  lines.line("DESCRIPTION", "Reminder");
  lines.line("END", "VALARM");
}

// ---- Events ----

// What every VEVENT of an item repeats, worked out once.
struct EventContext {
  Writing& writing;
  const ItemZone& zone;
  Clock clock;
  std::int64_t stamp;
  OwnedText uid, summary, location;
  std::optional<Person> organizer;
  std::optional<std::int64_t> sequence;
};

void writeEventIdentity(const EventContext& e) {
  e.writing.lines.textLine("UID", e.uid.view());
  writeUtcTime(e.writing.lines, "DTSTAMP", e.stamp);
}

void writeOrganizer(const EventContext& e) {
  if (e.organizer) writePersonLine(e.writing.lines, "ORGANIZER", *e.organizer, {});
}

void writeSequence(ContentLines& lines, std::optional<std::int64_t> sequence) {
  if (sequence && *sequence >= 0) lines.line("SEQUENCE", number(*sequence).view());
}

// Each modified instance repeats the series' UID, texts and organizer. A
// real series has a few hundred at most; these bytes of repetition are
// allowed, so that 65,535 exceptions of a long text cannot fill the disk.
constexpr std::size_t kRepetitionBudget = std::size_t{32} << 20;

// A modified instance: its own times, and its own subject, location and busy
// status where it overrides the series'.
void writeExceptionEvent(const EventContext& e, const recurrence::Exception& exception) {
  ContentLines& lines = e.writing.lines;
  const MessageRecord& message = e.writing.message;
  const PropertyValue* recurValue = message.find(Prop::appointmentRecur);
  const codepage::CodePage* page = recurValue != nullptr ? recurValue->codePage : nullptr;
  lines.line("BEGIN", "VEVENT");
  writeEventIdentity(e);
  std::uint32_t original = exception.originalStartDate;
  // An all-day series names its instances by date.
  writeLocalTime(lines, "RECURRENCE-ID", minutesToSeconds(original), e.clock);
  writeLocalTime(lines, "DTSTART", minutesToSeconds(exception.startDateTime), e.clock);
  writeLocalTime(lines, "DTEND", minutesToSeconds(exception.endDateTime), e.clock);
  PropertyValue wide{PT_UNICODE, exception.wideSubject, nullptr}, narrow{PT_STRING8, exception.subject, page};
  lines.begin("SUMMARY");
  if (!exception.overrides(recurrence::kOverrideSubject)) {
    lines.text(e.summary.view());
  } else {
    writeTextValue(!exception.wideSubject.empty() ? &wide : &narrow, ContentLines::textSink, &lines);
  }
  lines.end();
  if (exception.overrides(recurrence::kOverrideLocation)) {
    PropertyValue wideLocation{PT_UNICODE, exception.wideLocation, nullptr};
    PropertyValue narrowLocation{PT_STRING8, exception.location, page};
    lines.begin("LOCATION");
    writeTextValue(!exception.wideLocation.empty() ? &wideLocation : &narrowLocation, ContentLines::textSink, &lines);
    lines.end();
  } else if (!e.location.empty()) {
    lines.textLine("LOCATION", e.location.view());
  }
  std::optional<std::int64_t> busy = integerValue(message.find(Prop::busyStatus));
  if (exception.overrides(recurrence::kOverrideBusyStatus)) busy = exception.busyStatus;
  if (busy) writeBusyStatus(lines, *busy);
  writeSequence(lines, e.sequence);
  writeOrganizer(e);
  lines.line("END", "VEVENT");
}

// The modified instances, as long as their repetition stays within the budget.
void writeExceptionEvents(EventContext& e, const recurrence::AppointmentRecurrencePattern& recur) {
  std::size_t repeated = e.uid.view().size() + e.summary.view().size() + e.location.view().size() + 256;
  if (e.organizer) repeated += e.organizer->name.view().size() + e.organizer->address.view().size();
  std::size_t spent = 0;
  recurrence::ExceptionCursor cursor = recur.exceptions();
  recurrence::Exception exception;
  while (cursor.next(exception)) {
    if (repeated > kRepetitionBudget - spent) return e.writing.damaged(kRecurrenceDamage, "recurrence pattern");
    spent += repeated;
    writeExceptionEvent(e, exception);
  }
}

void writeEvent(Writing& w) {
  ContentLines& lines = w.lines;
  const MessageRecord& message = w.message;
  std::optional<ByteView> recurBlob = binaryValue(message.find(Prop::appointmentRecur));
  recurrence::AppointmentRecurrencePattern recur;
  if (recurBlob) {
    recur = recurrence::decodeAppointmentRecurrence(*recurBlob);
    if (recur.damage != recurrence::Damage::none) {
      w.damaged(kRecurrenceDamage, "recurrence pattern");
      recurBlob.reset();
    }
  }
  ItemZone zone;
  readZone(w, recurBlob.has_value(), zone);
  bool allDay = booleanValue(message.find(Prop::appointmentSubType)).value_or(false);
  std::optional<std::int64_t> startWhole = timeValue(message.find(Prop::appointmentStartWhole));
  if (!zone.present && recurBlob && startWhole) {
    // No zone: the offset between the series' first start as its pattern
    // says it (local) and as the item says it (UTC), when it is one a zone
    // can have.
    std::int64_t local = minutesToSeconds(recur.pattern.startDate) + minutesToSeconds(recur.startTimeOffset);
    std::int64_t offset = local - *startWhole;
    if (offset % 60 == 0 && offset >= -14 * 3600 && offset <= 14 * 3600) zone.fixedOffset = offset;
  }
  Span span = itemSpan(message, zone);
  EventContext e{w, zone, Clock{zone, allDay}, stampOf(message, zone, span), uidOf(message, ItemKind::event),
                 summaryOf(message), textOf(message.find(Prop::location)), std::nullopt,
                 integerValue(message.find(Prop::appointmentSequence))};
  if (Person person; organizerOf(w, person)) e.organizer = std::move(person);

  if (zone.present && !allDay) writeTimeZone(lines, zone, span.start.value_or(0));
  lines.line("BEGIN", "VEVENT");
  writeEventIdentity(e);
  if (span.start) writeLocalTime(lines, "DTSTART", *span.start, e.clock);
  if (span.end) writeLocalTime(lines, "DTEND", *span.end, e.clock);
  lines.textLine("SUMMARY", e.summary.view());
  if (!e.location.empty()) lines.textLine("LOCATION", e.location.view());
  writeDescription(lines, message);
  writeHtmlDescription(lines, message);
  writeSimpleProperties(lines, message);
  writeSequence(lines, e.sequence);
  if (std::optional<std::int64_t> busy = integerValue(message.find(Prop::busyStatus))) writeBusyStatus(lines, *busy);
  if (allDay) lines.line("X-MICROSOFT-CDO-ALLDAYEVENT", "TRUE");
  if (w.item.method == CalendarMethod::cancel) lines.line("STATUS", "CANCELLED");
  writeOrganizer(e);
  writeAttendees(w);
  // A series that iCalendar cannot state is written as its first instance.
  std::optional<recurrence::Rule> rule = recurBlob ? recurrence::ruleOf(recur.pattern) : std::nullopt;
  if (rule) {
    std::int64_t untilLocal = rule->endDate * civil::kSecondsPerDay + minutesToSeconds(recur.startTimeOffset);
    writeRule(lines, *rule, untilLocal, e.clock);
    Originals originals;
    collectOriginals(recur, originals);
    writeExceptionDates(lines, recur, originals, e.clock);
  }
  writeAlarm(lines, message, ItemKind::event, Anchor::start);
  lines.line("END", "VEVENT");
  if (rule) writeExceptionEvents(e, recur);
}

// ---- Tasks ----

// Task dates are stored as midnight of the local day.
std::optional<std::int64_t> taskDate(const MessageRecord& message, Prop prop) {
  std::optional<std::int64_t> time = timeValue(message.find(prop));
  // 4501-01-01 stands for "no date".
  if (time && civil::fromSeconds(*time).date.year >= 4501) return std::nullopt;
  return time;
}

void writeTask(Writing& w) {
  ContentLines& lines = w.lines;
  const MessageRecord& message = w.message;
  ItemZone noZone;
  Clock clock{noZone, true};
  std::optional<std::int64_t> start = taskDate(message, Prop::taskStartDate);
  std::optional<std::int64_t> due = taskDate(message, Prop::taskDueDate);
  lines.line("BEGIN", "VTODO");
  lines.textLine("UID", uidOf(message, ItemKind::task).view());
  Span span{start, due};
  writeUtcTime(lines, "DTSTAMP", stampOf(message, noZone, span));
  if (start) writeDate(lines, "DTSTART", *start);
  if (due) writeDate(lines, "DUE", *due);
  OwnedText summary = summaryOf(message);
  lines.textLine("SUMMARY", summary.view());
  writeDescription(lines, message);
  writeHtmlDescription(lines, message);
  writeSimpleProperties(lines, message);
  if (std::optional<std::int64_t> status = integerValue(message.find(Prop::taskStatus))) {
    std::string_view statuses[] = {"NEEDS-ACTION", "IN-PROCESS", "COMPLETED", "NEEDS-ACTION", "CANCELLED"};
    if (*status >= 0 && *status <= 4) lines.line("STATUS", statuses[*status]);
  }
  if (std::optional<double> done = floatValue(message.find(Prop::percentComplete))) {
    // A fraction; anything else (NaN included) is held to 0 or 1.
    double fraction = *done >= 0.0 ? (*done <= 1.0 ? *done : 1.0) : 0.0;
    lines.line("PERCENT-COMPLETE", number(static_cast<std::int64_t>(fraction * 100 + 0.5)).view());
  }
  if (std::optional<std::int64_t> completed = taskDate(message, Prop::taskDateCompleted)) {
    writeUtcTime(lines, "COMPLETED", *completed);
  }
  if (Person organizer; organizerOf(w, organizer)) writePersonLine(lines, "ORGANIZER", organizer, {});
  writeAttendees(w);
  if (std::optional<ByteView> blob = binaryValue(message.find(Prop::taskRecurrence)); blob && start) {
    recurrence::RecurrencePattern pattern = recurrence::decodeRecurrencePattern(*blob);
    if (pattern.damage != recurrence::Damage::none) {
      w.damaged(kRecurrenceDamage, "recurrence pattern");
    } else if (std::optional<recurrence::Rule> rule = recurrence::ruleOf(pattern)) {
      writeRule(lines, *rule, rule->endDate * civil::kSecondsPerDay, clock);
    }
  }
  writeAlarm(lines, message, ItemKind::task, start ? Anchor::start : due ? Anchor::end : Anchor::none);
  lines.line("END", "VTODO");
}

}  // namespace

bool writeCalendarItem(const MessageRecord& message, const CalendarItem& item, std::string_view fileName,
                       BlockSink write, void* context) {
  ContentLines lines(write, context);
  Writing w{lines, message, item, fileName};
  lines.line("BEGIN", "VCALENDAR");
  lines.begin("PRODID");
  lines.raw("-//");
  lines.raw(kProgramVersion);
  lines.raw("//EN");
  lines.end();
  lines.line("VERSION", "2.0");
  lines.line("METHOD", methodName(item.method));
  if (item.kind == ItemKind::task) {
    writeTask(w);
  } else {
    writeEvent(w);
  }
  lines.line("END", "VCALENDAR");
  return lines.finish();
}

}  // namespace wendrel
