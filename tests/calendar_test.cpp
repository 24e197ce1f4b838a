// Calendar items saved as iCalendar: each file is read back with libical and
// checked for what it means to a calendar (times in UTC, the instances its
// recurrence gives, who is invited), not for how its text looks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "calendar_builder.h"
#include "ical_reader.h"
#include "process.h"
#include "recurrence_builder.h"
#include "time_zone_builder.h"
#include "wendrel/formats/civil_time.h"

namespace wendrel::test {
namespace {

// ---- Zones ----

timezone::Rule easternRule(std::uint16_t year = 0) {
  return {year, 0, 300, 0, -60, relativeDate(11, 0, 1, 2), relativeDate(3, 0, 2, 2)};
}
// Daylight saving from the first Sunday of October to the first Sunday of April.
timezone::Rule sydneyRule() { return {0, 0, -600, 0, -60, relativeDate(4, 0, 1, 3), relativeDate(10, 0, 1, 2)}; }
timezone::Rule indiaRule() { return {0, 0, -330, 0, 0, {}, {}}; }

Bytes eastern() { return timeZoneDefinition(u"Eastern Standard Time", {easternRule(2007)}); }

// ---- Running ----

struct Saved {
  RunResult run;
  std::map<std::string, Ical> calendars;  // by file name
  std::map<std::string, std::string> texts;
};

Saved saveCalendars(const Bytes& stream) {
  SaveResult result = decodeAndSave(stream);
  Saved saved{result.run, {}, {}};
  for (const auto& [name, contents] : result.files) {
    if (!name.ends_with(".ics")) continue;
    saved.calendars[name] = readIcal(contents);
    saved.texts[name] = contents;
  }
  return saved;
}

// The one calendar a stream gives, checked to be sound iCalendar.
Ical onlyCalendar(const Bytes& stream, const std::string& label) {
  Saved saved = saveCalendars(stream);
  EXPECT_EQ(saved.run.status, 0) << label << saved.run.err;
  EXPECT_EQ(saved.calendars.size(), 1u) << label << saved.run.out;
  if (saved.calendars.size() != 1) return {};
  const auto& [name, ical] = *saved.calendars.begin();
  const std::string& text = saved.texts.begin()->second;
  EXPECT_TRUE(ical.parsed) << label << "\n" << text;
  EXPECT_EQ(ical.errors, 0) << label << "\n" << text;
  EXPECT_EQ(ical.version, "2.0") << label;
  EXPECT_NE(ical.prodid.find("wendrel"), std::string::npos) << label;
  // Every line ends in CRLF and keeps to 75 octets.
  for (std::size_t at = 0, end; at < text.size(); at = end + 2) {
    end = text.find("\r\n", at);
    EXPECT_NE(end, std::string::npos) << label;
    if (end == std::string::npos) break;
    EXPECT_LE(end - at, 75u) << label << ": " << text.substr(at, end - at);
  }
  return ical;
}

std::optional<IcalItem> firstItem(const Ical& ical) {
  return ical.items.empty() ? std::nullopt : std::optional(ical.items.front());
}

std::int64_t at(int year, int month, int day, int hour = 0, int minute = 0) {
  return unixTime(year, month, day, hour, minute);
}

// A meeting from 12:00 to 12:30 US Eastern on Monday 2024-03-04 (17:00 UTC).
ItemProperties meeting(std::string_view subject = "Review") {
  ItemProperties p;
  p.text(0x0037, subject)
      .time(NamedSet::appointment, 0x820D, at(2024, 3, 4, 17))
      .time(NamedSet::appointment, 0x820E, at(2024, 3, 4, 17, 30))
      .text(NamedSet::appointment, 0x8208, "Room 1")
      .binary(NamedSet::appointment, 0x825E, eastern());
  return p;
}

// ---- Which messages, and their METHOD ----

TEST(Calendar, EachClassAndItsMethod) {
  struct Case {
    std::string messageClass;
    std::string method;  // empty: no calendar item
    std::string kind, status, attendeeStatus;
  } cases[] = {
      {"IPM.Appointment", "PUBLISH", "VEVENT", "", ""},
      {"ipm.appointment.Custom", "PUBLISH", "VEVENT", "", ""},
      {"IPM.Schedule.Meeting.Request", "REQUEST", "VEVENT", "", ""},
      {"IPM.Schedule.Meeting.Canceled", "CANCEL", "VEVENT", "CANCELLED", ""},
      {"IPM.Schedule.Meeting.Resp.Pos", "REPLY", "VEVENT", "", "ACCEPTED"},
      {"IPM.Schedule.Meeting.Resp.Neg", "REPLY", "VEVENT", "", "DECLINED"},
      {"IPM.Schedule.Meeting.Resp.Tent", "REPLY", "VEVENT", "", "TENTATIVE"},
      {"IPM.Microsoft Schedule.MtgReq", "REQUEST", "VEVENT", "", ""},
      {"IPM.Microsoft Schedule.MtgCncl", "CANCEL", "VEVENT", "CANCELLED", ""},
      {"IPM.Microsoft Schedule.MtgRespP", "REPLY", "VEVENT", "", "ACCEPTED"},
      {"IPM.Microsoft Schedule.MtgRespN", "REPLY", "VEVENT", "", "DECLINED"},
      {"IPM.Microsoft Schedule.MtgRespA", "REPLY", "VEVENT", "", "TENTATIVE"},
      {"IPM.Task", "PUBLISH", "VTODO", "", ""},
      {"IPM.TaskRequest", "", "", "", ""},
      {"IPM.Note", "", "", "", ""},
      {"IPM.Schedule.Meeting.Notification.Forward", "", "", "", ""},
      {"IPM.Appointmen", "", "", "", ""},
  };
  for (const Case& c : cases) {
    ItemProperties p = meeting();
    p.text(0x0042, "Ada Lovelace").text(0x5D02, "ada@example.org");
    Bytes rows = recipientTable({recipientRow("Grace Hopper", "grace@example.org", 1)});
    Bytes stream = calendarStream(c.messageClass, p, rows);
    Saved saved = saveCalendars(stream);
    EXPECT_EQ(saved.calendars.size(), c.method.empty() ? 0u : 1u) << c.messageClass;
    EXPECT_EQ(decode(stream).out.find("Contains calendar item\n") != std::string::npos, !c.method.empty())
        << c.messageClass;
    if (c.method.empty() || saved.calendars.size() != 1) continue;
    const Ical& ical = saved.calendars.begin()->second;
    EXPECT_EQ(saved.calendars.begin()->first, "Review.ics");
    EXPECT_NE(saved.run.out.find("Calendar item saved to file Review.ics\n"), std::string::npos);
    EXPECT_EQ(ical.method, c.method) << c.messageClass;
    ASSERT_EQ(ical.items.size(), 1u) << c.messageClass;
    const IcalItem& item = ical.items[0];
    EXPECT_EQ(item.kind, c.kind) << c.messageClass;
    EXPECT_EQ(item.value("STATUS"), c.status) << c.messageClass;
    if (c.method == "REPLY") {
      // The reply's sender answers; the organizer is the one it is sent to.
      EXPECT_EQ(item.values("ATTENDEE"), std::vector<std::string>{"mailto:ada@example.org"}) << c.messageClass;
      std::vector<std::string> parameters = item.values("ATTENDEE;PARAM");
      EXPECT_NE(std::find(parameters.begin(), parameters.end(), "PARTSTAT=" + c.attendeeStatus), parameters.end());
      EXPECT_EQ(item.value("ORGANIZER"), "mailto:grace@example.org") << c.messageClass;
    } else if (c.kind == "VEVENT") {
      EXPECT_EQ(item.value("ORGANIZER"), "mailto:ada@example.org") << c.messageClass;
      EXPECT_EQ(item.values("ATTENDEE"), std::vector<std::string>{"mailto:grace@example.org"}) << c.messageClass;
    }
  }
}

// ---- Times and zones ----

TEST(Calendar, TimesInTheItemsOwnZone) {
  struct Case {
    std::string name;
    Bytes zoneStruct, definition;
    std::string tzid;  // empty: written in UTC
    std::int64_t startUtc;
    std::string description = "(UTC-05:00) Eastern";
  } cases[] = {
      // 2024-03-04 17:00 UTC: 12:00 in New York (standard time), 04:00 the next day in Sydney (daylight).
      // A Windows ID goes by its IANA name; any other name as it stands.
      {"a definition", {}, eastern(), "America/New_York", at(2024, 3, 4, 17)},
      {"a definition of another name", {}, timeZoneDefinition(u"Atlantis Standard Time", {easternRule(2007)}),
       "Atlantis Standard Time", at(2024, 3, 4, 17)},
      {"the struct, named by its description", timeZoneStruct(easternRule()), {}, "(UTC-05:00) Eastern", at(2024, 3, 4, 17)},
      {"the struct, described by an ID", timeZoneStruct(sydneyRule()), {}, "Australia/Sydney", at(2024, 3, 4, 17),
       "aus eastern standard time"},
      {"southern hemisphere", timeZoneStruct(sydneyRule()), {}, "(UTC-05:00) Eastern", at(2024, 3, 4, 17)},
      {"no daylight saving", timeZoneStruct(indiaRule()), {}, "(UTC-05:00) Eastern", at(2024, 3, 4, 17)},
      {"no zone: UTC", {}, {}, "", at(2024, 3, 4, 17)},
  };
  for (const Case& c : cases) {
    ItemProperties p;
    p.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, c.startUtc)
        .time(NamedSet::appointment, 0x820E, c.startUtc + 1800);
    if (!c.zoneStruct.empty()) {
      p.binary(NamedSet::appointment, 0x8233, c.zoneStruct).text(NamedSet::appointment, 0x8234, c.description);
    }
    if (!c.definition.empty()) p.binary(NamedSet::appointment, 0x825E, c.definition);
    Ical ical = onlyCalendar(calendarStream("IPM.Appointment", p), c.name);
    std::optional<IcalItem> item = firstItem(ical);
    ASSERT_TRUE(item) << c.name;
    ASSERT_TRUE(item->start && item->end) << c.name;
    EXPECT_EQ(item->start->utc, c.startUtc) << c.name;
    EXPECT_EQ(item->end->utc, c.startUtc + 1800) << c.name;
    EXPECT_EQ(item->start->tzid, c.tzid) << c.name;
    EXPECT_EQ(ical.timeZones.size(), c.tzid.empty() ? 0u : 1u) << c.name;
  }
}

// attDateStart and attDateEnd hold wall time in the item's zone.
TEST(Calendar, StartAttributesAreLocalTime) {
  ItemProperties p;
  p.text(0x0037, "Review").binary(NamedSet::appointment, 0x825E, eastern());
  StreamBuilder stream;
  stream.record(0x00078008, cString("IPM.Appointment"))
      .record(0x00030006, dateBytes(2024, 7, 1, 9, 0, 0, 1))
      .record(0x00030007, dateBytes(2024, 7, 1, 10, 0, 0, 1))
      .record(0x00069003, p.bytes());
  std::optional<IcalItem> item = firstItem(onlyCalendar(stream.bytes(), "attributes"));
  ASSERT_TRUE(item && item->start && item->end);
  EXPECT_EQ(item->start->utc, at(2024, 7, 1, 13));  // 09:00 daylight time
  EXPECT_EQ(item->end->utc, at(2024, 7, 1, 14));
}

TEST(Calendar, AllDayEventsAreDates) {
  ItemProperties p;
  // Midnight to midnight in New York: 05:00 UTC.
  p.text(0x0037, "Holiday").boolean(NamedSet::appointment, 0x8215, true)
      .time(NamedSet::appointment, 0x820D, at(2024, 3, 4, 5)).time(NamedSet::appointment, 0x820E, at(2024, 3, 6, 5))
      .binary(NamedSet::appointment, 0x825E, eastern());
  std::optional<IcalItem> item = firstItem(onlyCalendar(calendarStream("IPM.Appointment", p), "all day"));
  ASSERT_TRUE(item && item->start && item->end);
  EXPECT_TRUE(item->start->isDate);
  EXPECT_EQ(item->start->utc, at(2024, 3, 4));
  EXPECT_EQ(item->end->utc, at(2024, 3, 6));
}

// ---- Recurrence ----

std::uint32_t localMinutes(int year, unsigned month, unsigned day, unsigned minute = 0) {
  return minutesOn(year, month, day, minute);
}

// A series at 12:00-12:30 local time from firstUtc, the first instance.
Bytes seriesStream(AppointmentFields recur, const Bytes& zone = eastern(), std::int64_t firstUtc = at(2024, 3, 4, 17)) {
  recur.startTimeOffset = 720;
  recur.endTimeOffset = 750;
  ItemProperties p;
  p.text(0x0037, "Review").text(NamedSet::appointment, 0x8208, "Room 1")
      .time(NamedSet::appointment, 0x820D, firstUtc).time(NamedSet::appointment, 0x820E, firstUtc + 1800)
      .binary(NamedSet::appointment, 0x8216, appointmentBytes(recur)).binary(NamedSet::appointment, 0x8260, zone);
  return calendarStream("IPM.Appointment", p);
}

AppointmentFields seriesOf(PatternFields pattern) {
  AppointmentFields a;
  a.pattern = pattern;
  return a;
}

std::vector<std::int64_t> atNoonNewYork(std::initializer_list<std::array<int, 3>> dates) {
  std::vector<std::int64_t> times;
  for (const auto& [year, month, day] : dates) {
    bool daylight = (month > 3 && month < 11) || (month == 3 && day >= 10) || (month == 11 && day < 3);
    times.push_back(at(year, month, day, daylight ? 16 : 17));
  }
  return times;
}

TEST(Calendar, EachKindOfRecurrence) {
  struct Case {
    std::string name;
    PatternFields pattern;
    std::vector<std::int64_t> instances;  // the first few, in UTC
  };
  PatternFields weekly = weeklyOn(kMonday | 0x08, 1);  // Monday and Wednesday
  const Case cases[] = {
      {"every 2 days", dailyEvery(2 * kDay), atNoonNewYork({{2024, 3, 4}, {2024, 3, 6}, {2024, 3, 8}, {2024, 3, 10}})},
      {"every weekday", weeklyOn(kWeekDays, 1, 0, kDaily), atNoonNewYork({{2024, 3, 4}, {2024, 3, 5}, {2024, 3, 6}})},
      {"Monday and Wednesday, 3 times", endingAfter(weekly, 3), atNoonNewYork({{2024, 3, 4}, {2024, 3, 6}, {2024, 3, 11}})},
      {"every 2 weeks, until a date", endingOn(weeklyOn(kMonday, 2), localMinutes(2024, 4, 1)),
       atNoonNewYork({{2024, 3, 4}, {2024, 3, 18}, {2024, 4, 1}})},
      {"day 4 of each month", monthly(kMonthPattern, {4}, 1, localMinutes(2024, 3, 4)),
       atNoonNewYork({{2024, 3, 4}, {2024, 4, 4}, {2024, 5, 4}})},
      {"day 31: the last day", monthly(kMonthPattern, {31}, 1, localMinutes(2024, 3, 31)),
       atNoonNewYork({{2024, 3, 31}, {2024, 4, 30}, {2024, 5, 31}, {2024, 6, 30}})},
      {"month end", monthly(kMonthEndPattern, {31}, 1, localMinutes(2024, 3, 31)),
       atNoonNewYork({{2024, 3, 31}, {2024, 4, 30}, {2024, 5, 31}})},
      {"second Tuesday", monthly(kMonthNthPattern, {kTuesday, 2}, 1, localMinutes(2024, 3, 12)),
       atNoonNewYork({{2024, 3, 12}, {2024, 4, 9}, {2024, 5, 14}})},
      {"last Friday", monthly(kMonthNthPattern, {kFriday, 5}, 1, localMinutes(2024, 3, 29)),
       atNoonNewYork({{2024, 3, 29}, {2024, 4, 26}, {2024, 5, 31}})},
      {"last weekday", monthly(kMonthNthPattern, {kWeekDays, 5}, 1, localMinutes(2024, 3, 29)),
       atNoonNewYork({{2024, 3, 29}, {2024, 4, 30}, {2024, 5, 31}, {2024, 6, 28}})},
      {"yearly on March 4", monthly(kMonthPattern, {4}, 12, localMinutes(2024, 3, 4), kYearly),
       atNoonNewYork({{2024, 3, 4}, {2025, 3, 4}, {2026, 3, 4}})},
      {"yearly, first Monday of March", monthly(kMonthNthPattern, {kMonday, 1}, 12, localMinutes(2024, 3, 4), kYearly),
       atNoonNewYork({{2024, 3, 4}, {2025, 3, 3}, {2026, 3, 2}})},
  };
  for (const Case& c : cases) {
    PatternFields pattern = c.pattern;
    pattern.startDate = c.instances.empty() ? pattern.startDate : pattern.startDate;
    ItemProperties p;
    AppointmentFields recur = seriesOf(pattern);
    Ical ical = onlyCalendar(seriesStream(recur), c.name);
    std::optional<IcalItem> item = firstItem(ical);
    ASSERT_TRUE(item) << c.name;
    EXPECT_TRUE(item->recurs) << c.name;
    EXPECT_EQ(item->instances(c.instances.size()), c.instances) << c.name << ": " << item->rruleText;
  }
}

TEST(Calendar, SeriesEndings) {
  struct Case {
    std::string name;
    PatternFields pattern;
    std::size_t instances;  // how many there are (60: the reader's limit, never ending)
  } cases[] = {
      {"after 5", endingAfter(dailyEvery(kDay), 5), 5},
      {"on a date, the last instance included", endingOn(dailyEvery(kDay), localMinutes(2024, 3, 10)), 7},
      {"never", dailyEvery(kDay), 60},
  };
  for (const Case& c : cases) {
    std::optional<IcalItem> item = firstItem(onlyCalendar(seriesStream(seriesOf(c.pattern)), c.name));
    ASSERT_TRUE(item) << c.name;
    EXPECT_EQ(item->expanded.size(), c.instances) << c.name << ": " << item->rruleText;
  }
}

// A deleted instance is left out; a modified one is left out of the series
// and comes as an event of its own.
TEST(Calendar, DeletedAndModifiedInstances) {
  ExceptionFields moved;
  moved.original = localMinutes(2024, 3, 6, 720);
  moved.start = localMinutes(2024, 3, 7, 900);
  moved.end = localMinutes(2024, 3, 7, 960);
  moved.flags = kOverrideSubject | kOverrideLocation;
  moved.subject = "Review (moved)";
  moved.wideSubject = "Review (moved)";
  moved.location = "Hall";
  moved.wideLocation = "Hall";
  AppointmentFields recur = withExceptions({moved});
  recur.pattern = dailyEvery(kDay);
  recur.pattern.deleted = {localMinutes(2024, 3, 5), localMinutes(2024, 3, 6)};
  recur.pattern.modified = {localMinutes(2024, 3, 7)};
  Ical ical = onlyCalendar(seriesStream(recur), "exceptions");
  ASSERT_EQ(ical.items.size(), 2u);
  const IcalItem& series = ical.items[0];
  const IcalItem& exception = ical.items[1];
  // The series without its deleted instance; the modified one stands in for its original.
  EXPECT_EQ(series.instances(4), atNoonNewYork({{2024, 3, 4}, {2024, 3, 6}, {2024, 3, 7}, {2024, 3, 8}}));
  ASSERT_EQ(series.exceptionDates.size(), 1u);  // the modified one's date is not an EXDATE
  EXPECT_EQ(series.exceptionDates[0].utc, at(2024, 3, 5, 17));
  EXPECT_EQ(exception.value("UID"), series.value("UID"));
  ASSERT_TRUE(exception.recurrenceId && exception.start && exception.end);
  EXPECT_EQ(exception.recurrenceId->utc, at(2024, 3, 6, 17));
  EXPECT_EQ(exception.start->utc, at(2024, 3, 7, 20));
  EXPECT_EQ(exception.end->utc, at(2024, 3, 7, 21));
  EXPECT_EQ(exception.value("SUMMARY"), "Review (moved)");
  EXPECT_EQ(exception.value("LOCATION"), "Hall");

  // Without overrides the instance keeps the series' texts.
  moved.flags = 0;
  recur.exceptions = {moved};
  Ical plain = onlyCalendar(seriesStream(recur), "exception without overrides");
  ASSERT_EQ(plain.items.size(), 2u);
  EXPECT_EQ(plain.items[1].value("SUMMARY"), "Review");
  EXPECT_EQ(plain.items[1].value("LOCATION"), "Room 1");
}

// Instances keep their wall time across daylight saving, in either hemisphere.
TEST(Calendar, SeriesKeepTheirLocalTime) {
  Bytes sydney = timeZoneDefinition(u"AUS Eastern Standard Time", {sydneyRule()});
  PatternFields weekly = weeklyOn(kMonday, 1);
  // 12:00 in Sydney: 01:00 UTC in daylight time (to April 7), 02:00 after.
  std::optional<IcalItem> item = firstItem(onlyCalendar(seriesStream(seriesOf(weekly), sydney, at(2024, 3, 4, 1)), "Sydney"));
  ASSERT_TRUE(item);
  std::vector<std::int64_t> starts = item->instances(6);
  ASSERT_EQ(starts.size(), 6u);
  EXPECT_EQ(starts[0], at(2024, 3, 4, 1));
  EXPECT_EQ(starts[5], at(2024, 4, 8, 2));
}

// ---- People ----

TEST(Calendar, AttendeesFromTheRecipientTable) {
  Bytes rows = recipientTable({
      recipientRow("Organizer", "org@example.org", 1, 0, 3),  // the organizer's own row
      recipientRow("Required", "req@example.org", 1, 3),
      recipientRow("Optional", "opt@example.org", 2, 4),
      recipientRow("Room", "room@example.org", 3, 2),
      recipientRow("Nobody", "not an address", 1),
  });
  ItemProperties p = meeting();
  p.text(0x0042, "Organizer").text(0x0064, "SMTP").text(0x0065, "org@example.org").boolean(0x0063, true);
  std::optional<IcalItem> item = firstItem(onlyCalendar(calendarStream("IPM.Schedule.Meeting.Request", p, rows), "rows"));
  ASSERT_TRUE(item);
  EXPECT_EQ(item->values("ATTENDEE"),
            (std::vector<std::string>{"mailto:req@example.org", "mailto:opt@example.org", "mailto:room@example.org"}));
  std::vector<std::string> parameters = item->values("ATTENDEE;PARAM");
  for (std::string expected : {"CN=Required", "ROLE=REQ-PARTICIPANT", "PARTSTAT=ACCEPTED", "ROLE=OPT-PARTICIPANT",
                               "PARTSTAT=DECLINED", "ROLE=NON-PARTICIPANT", "CUTYPE=RESOURCE", "PARTSTAT=TENTATIVE",
                               "RSVP=TRUE"}) {
    EXPECT_NE(std::find(parameters.begin(), parameters.end(), expected), parameters.end()) << expected;
  }
  EXPECT_EQ(item->value("ORGANIZER"), "mailto:org@example.org");
  EXPECT_EQ(item->value("ORGANIZER;PARAM"), "CN=Organizer");
}

TEST(Calendar, AttendeesFromTheirStringsWithoutATable) {
  ItemProperties p = meeting();
  p.text(NamedSet::appointment, 0x823B, "Grace Hopper (grace@example.org); ada@example.org; Nobody")
      .text(NamedSet::appointment, 0x823C, "Alan, the Turing (alan@example.org)");
  std::optional<IcalItem> item = firstItem(onlyCalendar(calendarStream("IPM.Schedule.Meeting.Request", p), "strings"));
  ASSERT_TRUE(item);
  EXPECT_EQ(item->values("ATTENDEE"),
            (std::vector<std::string>{"mailto:grace@example.org", "mailto:ada@example.org", "mailto:alan@example.org"}));
  std::vector<std::string> parameters = item->values("ATTENDEE;PARAM");
  EXPECT_NE(std::find(parameters.begin(), parameters.end(), "CN=\"Alan, the Turing\""), parameters.end());
  EXPECT_NE(std::find(parameters.begin(), parameters.end(), "ROLE=OPT-PARTICIPANT"), parameters.end());
}

TEST(Calendar, OrganizerInOrder) {
  struct Case {
    std::string name;
    ItemProperties extra;
    std::string organizer;
  };
  std::vector<Case> cases;
  cases.push_back({"sent for", ItemProperties().text(0x0042, "A").text(0x5D02, "a@example.org").text(0x0C1A, "B")
                                   .text(0x5D01, "b@example.org"), "mailto:a@example.org"});
  cases.push_back({"sender", ItemProperties().text(0x0042, "A").text(0x0C1A, "B").text(0x0C1E, "SMTP")
                                 .text(0x0C1F, "b@example.org"), "mailto:b@example.org"});
  cases.push_back({"an Exchange address is none", ItemProperties().text(0x0C1A, "B").text(0x0C1E, "EX")
                                                      .text(0x0C1F, "/O=ORG/CN=B"), ""});
  cases.push_back({"the account", ItemProperties().text(NamedSet::common, 0x8580, "c@example.org"), "mailto:c@example.org"});
  cases.push_back({"the primary send account",
                   ItemProperties().text(0x0E28, "00000001\x01" "d@example.org\x01" "e@example.org"),
                   "mailto:e@example.org"});
  for (Case& c : cases) {
    ItemProperties p = c.extra;
    p.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, at(2024, 3, 4, 17));
    std::optional<IcalItem> item = firstItem(onlyCalendar(calendarStream("IPM.Schedule.Meeting.Request", p), c.name));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->value("ORGANIZER"), c.organizer) << c.name;
  }
}

// ---- UIDs ----

Bytes globalObjectId(std::uint16_t year, std::uint8_t month, std::uint8_t day, const Bytes& data) {
  Bytes id{0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0, 0x00, 0x74, 0xC5, 0xB7, 0x10, 0x1A, 0x82, 0xE0, 0x08};
  id.push_back(static_cast<std::uint8_t>(year >> 8));
  id.push_back(static_cast<std::uint8_t>(year));
  id.push_back(month);
  id.push_back(day);
  for (int i = 0; i < 16; ++i) id.push_back(static_cast<std::uint8_t>(i == 0 ? 0xE0 : 0));
  appendDword(id, static_cast<std::uint32_t>(data.size()));
  appendBytes(id, data);
  return id;
}

TEST(Calendar, UidsThatMatchRequestsRepliesAndCancellations) {
  Bytes vcal = textBytes("vCal-Uid");
  appendDword(vcal, 1);
  appendBytes(vcal, cString("{81412D3C-2A24-4E9D-B20E-11F7BBE92799}"));
  Bytes plain{0x0B, 0xF0, 0xED, 0x4B};
  struct Case {
    std::string name, messageClass;
    Bytes id;
    std::string uid;
  } cases[] = {
      {"vCal-Uid", "IPM.Schedule.Meeting.Request", globalObjectId(0, 0, 0, vcal), "{81412D3C-2A24-4E9D-B20E-11F7BBE92799}"},
      {"request", "IPM.Schedule.Meeting.Request", globalObjectId(2024, 3, 6, plain),
       "040000008200E00074C5B7101A82E00800000000E0000000000000000000000000000000040000000BF0ED4B"},
      {"the cancellation of one instance", "IPM.Schedule.Meeting.Canceled", globalObjectId(2024, 3, 7, plain),
       "040000008200E00074C5B7101A82E00800000000E0000000000000000000000000000000040000000BF0ED4B"},
  };
  for (const Case& c : cases) {
    ItemProperties p = meeting();
    p.binary(NamedSet::meeting, 0x0003, c.id);
    std::optional<IcalItem> item = firstItem(onlyCalendar(calendarStream(c.messageClass, p), c.name));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->value("UID"), c.uid) << c.name;
  }
  // Without an ID the UID comes from the item itself: the same item, the same UID.
  std::string first = firstItem(onlyCalendar(calendarStream("IPM.Appointment", meeting()), "derived"))->value("UID");
  std::string again = firstItem(onlyCalendar(calendarStream("IPM.Appointment", meeting()), "derived"))->value("UID");
  std::string other = firstItem(onlyCalendar(calendarStream("IPM.Appointment", meeting("Other")), "derived"))->value("UID");
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  EXPECT_EQ(first.rfind("wendrel-", 0), 0u);
}

// ---- Texts and the rest ----

TEST(Calendar, SummaryDescriptionAndTheRest) {
  ItemProperties p = meeting("Accepted: Review, part 2; notes\\");
  p.text(0x003D, "Accepted: ").text(0x1000, "Line one\r\nLine two, with; marks\r\n\r\n")
      .integer(0x0036, 2).integer(0x0017, 2).integer(NamedSet::appointment, 0x8201, 3)
      .integer(NamedSet::appointment, 0x8205, 0)
      .boolean(NamedSet::common, 0x8503, true).integer(NamedSet::common, 0x8501, 30)
      .text(0x1013, "<p>Line one</p>");
  std::optional<IcalItem> item = firstItem(onlyCalendar(calendarStream("IPM.Appointment", p), "texts"));
  ASSERT_TRUE(item);
  EXPECT_EQ(item->value("SUMMARY"), "Review, part 2; notes\\");
  EXPECT_EQ(item->value("DESCRIPTION"), "Line one\nLine two, with; marks");
  EXPECT_EQ(item->value("X-ALT-DESC"), "<p>Line one</p>");
  EXPECT_EQ(item->value("CLASS"), "PRIVATE");
  EXPECT_EQ(item->value("PRIORITY"), "1");
  EXPECT_EQ(item->value("SEQUENCE"), "3");
  EXPECT_EQ(item->value("TRANSP"), "TRANSPARENT");
  EXPECT_EQ(item->value("X-MICROSOFT-CDO-BUSYSTATUS"), "FREE");
  EXPECT_EQ(item->alarms, std::vector<std::string>{"-PT30M"});
  EXPECT_EQ(item->value("LOCATION"), "Room 1");
}

TEST(Calendar, TasksWithEachStatus) {
  const std::string statuses[] = {"NEEDS-ACTION", "IN-PROCESS", "COMPLETED", "NEEDS-ACTION", "CANCELLED"};
  for (int status = 0; status <= 4; ++status) {
    ItemProperties p;
    p.text(0x0037, "Paint the shed").integer(NamedSet::task, 0x8101, status)
        .named(NamedSet::task, 0x8102, kPtDouble, [] {
          Bytes bytes(8, 0);
          double half = 0.5;
          std::memcpy(bytes.data(), &half, 8);
          return bytes;
        }())
        .time(NamedSet::task, 0x8104, at(2024, 3, 4)).time(NamedSet::task, 0x8105, at(2024, 3, 8))
        .binary(NamedSet::common, 0x8519, {0xAB, 0xCD});
    std::optional<IcalItem> item = firstItem(onlyCalendar(calendarStream("IPM.Task", p), statuses[status]));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->kind, "VTODO");
    EXPECT_EQ(item->value("STATUS"), statuses[status]) << status;
    EXPECT_EQ(item->value("PERCENT-COMPLETE"), "50");
    EXPECT_EQ(item->value("UID"), "ABCD");
    ASSERT_TRUE(item->start && item->due);
    EXPECT_TRUE(item->start->isDate);
    EXPECT_EQ(item->start->utc, at(2024, 3, 4));
    EXPECT_EQ(item->due->utc, at(2024, 3, 8));
  }
}

// A task request writes nothing itself; the task it carries is the request.
TEST(Calendar, TaskRequestsCarryTheirTask) {
  ItemProperties task;
  task.text(0x0037, "Paint the shed").integer(NamedSet::task, 0x8101, 0);
  Bytes taskStream = calendarStream("IPM.Task", task);
  ItemProperties request;
  request.text(0x0037, "Task Request: Paint the shed").text(0x0C1A, "Boss").text(0x5D01, "boss@example.org");
  StreamBuilder stream;
  stream.record(0x00078008, cString("IPM.TaskRequest")).record(0x00069003, request.bytes())
      .record(0x00069004, recipientTable({recipientRow("Worker", "worker@example.org", 1)}))
      .record(0x00069002, Bytes(14, 0), 2)
      .record(0x00069005, objectProperties({embeddedMessage(taskStream)}), 2);
  Saved saved = saveCalendars(stream.bytes());
  ASSERT_EQ(saved.calendars.size(), 1u) << saved.run.out;
  const Ical& ical = saved.calendars.begin()->second;
  EXPECT_EQ(saved.calendars.begin()->first, "Paint the shed.ics");
  EXPECT_EQ(ical.method, "REQUEST");
  ASSERT_EQ(ical.items.size(), 1u);
  EXPECT_EQ(ical.items[0].value("ORGANIZER"), "mailto:boss@example.org");
  EXPECT_EQ(ical.items[0].values("ATTENDEE"), std::vector<std::string>{"mailto:worker@example.org"});
  // The item comes just before the end of the message it is.
  EXPECT_NE(saved.run.out.find("Calendar item saved to file Paint the shed.ics\nEnd of embedded message"),
            std::string::npos);
}

// Whether answers are asked for: the request's PR_RESPONSE_REQUESTED, else
// the task's own, else yes (it is a request).
TEST(Calendar, TaskRequestsSayWhetherAnswersAreAsked) {
  struct Case {
    std::optional<bool> request, task;
    bool rsvp;
  } cases[] = {
      {std::nullopt, std::nullopt, true}, {std::nullopt, false, false}, {std::nullopt, true, true},
      {true, false, true},               {false, true, false},         {false, std::nullopt, false},
  };
  for (const Case& c : cases) {
    std::string label = ::testing::PrintToString(c.request) + " " + ::testing::PrintToString(c.task);
    ItemProperties task;
    task.text(0x0037, "Paint the shed");
    if (c.task) task.boolean(0x0063, *c.task);
    ItemProperties request;
    request.text(0x0C1A, "Boss").text(0x5D01, "boss@example.org");
    if (c.request) request.boolean(0x0063, *c.request);
    StreamBuilder stream;
    stream.record(0x00078008, cString("IPM.TaskRequest")).record(0x00069003, request.bytes())
        .record(0x00069004, recipientTable({recipientRow("Worker", "worker@example.org", 1)}))
        .record(0x00069002, Bytes(14, 0), 2)
        .record(0x00069005, objectProperties({embeddedMessage(calendarStream("IPM.Task", task))}), 2);
    std::optional<IcalItem> item = firstItem(onlyCalendar(stream.bytes(), label));
    ASSERT_TRUE(item) << label;
    std::vector<std::string> parameters = item->values("ATTENDEE;PARAM");
    EXPECT_EQ(std::find(parameters.begin(), parameters.end(), "RSVP=TRUE") != parameters.end(), c.rsvp) << label;
  }
}

// A task acceptance or refusal carries the task as a reply from the one who
// answers to the one who asked.
TEST(Calendar, TaskResponsesAreReplies) {
  struct Case {
    std::string carrier, method, status;
  } cases[] = {
      {"IPM.TaskRequest.Accept", "REPLY", "ACCEPTED"},
      {"IPM.TaskRequest.Decline", "REPLY", "DECLINED"},
      {"IPM.TaskRequest.Update", "PUBLISH", ""},
  };
  for (const Case& c : cases) {
    ItemProperties task;
    task.text(0x0037, "Paint the shed").integer(NamedSet::task, 0x8101, 1);
    ItemProperties response;
    response.text(0x0C1A, "Worker").text(0x5D01, "worker@example.org");
    StreamBuilder stream;
    stream.record(0x00078008, cString(c.carrier)).record(0x00069003, response.bytes())
        .record(0x00069004, recipientTable({recipientRow("Boss", "boss@example.org", 1)}))
        .record(0x00069002, Bytes(14, 0), 2)
        .record(0x00069005, objectProperties({embeddedMessage(calendarStream("IPM.Task", task))}), 2);
    Saved saved = saveCalendars(stream.bytes());
    ASSERT_EQ(saved.calendars.size(), 1u) << c.carrier;
    const Ical& ical = saved.calendars.begin()->second;
    EXPECT_EQ(ical.method, c.method) << c.carrier;
    ASSERT_EQ(ical.items.size(), 1u);
    if (c.method != "REPLY") continue;
    EXPECT_EQ(ical.items[0].value("ORGANIZER"), "mailto:boss@example.org") << c.carrier;
    EXPECT_EQ(ical.items[0].values("ATTENDEE"), std::vector<std::string>{"mailto:worker@example.org"}) << c.carrier;
    std::vector<std::string> parameters = ical.items[0].values("ATTENDEE;PARAM");
    EXPECT_NE(std::find(parameters.begin(), parameters.end(), "PARTSTAT=" + c.status), parameters.end()) << c.carrier;
  }
}

// A series without a zone keeps its local times at the offset its first
// instance shows: its deleted instance is left out and its last is in.
TEST(Calendar, SeriesWithoutAZone) {
  AppointmentFields recur = seriesOf(endingOn(dailyEvery(kDay), localMinutes(2024, 3, 8)));
  recur.pattern.deleted = {localMinutes(2024, 3, 5)};
  recur.startTimeOffset = 720;
  recur.endTimeOffset = 750;
  ItemProperties p;
  // 12:00 local is 17:00 UTC: five hours west.
  p.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, at(2024, 3, 4, 17))
      .time(NamedSet::appointment, 0x820E, at(2024, 3, 4, 17, 30))
      .binary(NamedSet::appointment, 0x8216, appointmentBytes(recur));
  std::optional<IcalItem> item = firstItem(onlyCalendar(calendarStream("IPM.Appointment", p), "no zone"));
  ASSERT_TRUE(item);
  EXPECT_EQ(item->instances(10), (std::vector<std::int64_t>{at(2024, 3, 4, 17), at(2024, 3, 6, 17), at(2024, 3, 7, 17),
                                                            at(2024, 3, 8, 17)}));
}

// Reminders of tasks count from their start, else from their due date, else
// there is none to count from; a delta of any size is written sound.
TEST(Calendar, Reminders) {
  struct Case {
    std::string name;
    bool start, due;
    std::int64_t delta;
    std::vector<std::string> alarms;
    std::string related;
  } cases[] = {
      {"from the start", true, true, 30, {"-PT30M"}, ""},
      {"from the due date", false, true, 30, {"-PT30M"}, "RELATED=END"},
      {"nothing to count from", false, false, 30, {}, ""},
      {"the most negative delta", true, false, INT64_MIN, {"PT5270400M"}, ""},
  };
  for (const Case& c : cases) {
    ItemProperties p;
    p.text(0x0037, "Paint the shed").boolean(NamedSet::common, 0x8503, true)
        .named(NamedSet::common, 0x8501, 0x0014, [&] {
          Bytes bytes;
          appendDword(bytes, static_cast<std::uint32_t>(static_cast<std::uint64_t>(c.delta)));
          appendDword(bytes, static_cast<std::uint32_t>(static_cast<std::uint64_t>(c.delta) >> 32));
          return bytes;
        }());
    if (c.start) p.time(NamedSet::task, 0x8104, at(2024, 3, 4));
    if (c.due) p.time(NamedSet::task, 0x8105, at(2024, 3, 8));
    Saved saved = saveCalendars(calendarStream("IPM.Task", p));
    ASSERT_EQ(saved.calendars.size(), 1u) << c.name;
    const std::string& text = saved.texts.begin()->second;
    std::optional<IcalItem> item = firstItem(saved.calendars.begin()->second);
    ASSERT_TRUE(item) << c.name;
    EXPECT_EQ(item->alarms, c.alarms) << c.name;
    EXPECT_EQ(text.find("RELATED=END") != std::string::npos, !c.related.empty()) << c.name;
  }
}

// A zone's name with what a parameter cannot hold still names its VTIMEZONE.
TEST(Calendar, ZoneNamesThatParametersCannotHold) {
  ItemProperties p;
  p.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, at(2024, 3, 4, 17))
      .binary(NamedSet::appointment, 0x825E, timeZoneDefinition(u"East \"Standard\"\r\nTime; a, b", {easternRule(2007)}));
  Ical ical = onlyCalendar(calendarStream("IPM.Appointment", p), "odd zone name");
  std::optional<IcalItem> item = firstItem(ical);
  ASSERT_TRUE(item && item->start);
  ASSERT_EQ(ical.timeZones.size(), 1u);
  EXPECT_EQ(item->start->tzid, ical.timeZones[0]);
  EXPECT_EQ(item->start->utc, at(2024, 3, 4, 17));
}

// 65,535 modified instances of a series with a long location repeat it only
// so far: the file stays small, and the rest are reported.
TEST(Calendar, RepetitionIsBounded) {
  std::vector<ExceptionFields> exceptions(65535);
  for (std::size_t i = 0; i < exceptions.size(); ++i) {
    exceptions[i].original = exceptions[i].start = localMinutes(2024, 3, 4, 720) + static_cast<std::uint32_t>(i) * kDay;
    exceptions[i].end = exceptions[i].start + 30;
  }
  AppointmentFields recur = withExceptions(std::move(exceptions));
  PatternFields daily = dailyEvery(kDay);
  daily.deleted = recur.pattern.deleted;
  daily.modified = recur.pattern.modified;
  recur.pattern = daily;
  ItemProperties p;
  p.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, at(2024, 3, 4, 17))
      .text(NamedSet::appointment, 0x8208, std::string(64 * 1024, 'L'))
      .binary(NamedSet::appointment, 0x8216, appointmentBytes(recur));
  Saved saved = saveCalendars(calendarStream("IPM.Appointment", p));
  ASSERT_EQ(saved.texts.size(), 1u);
  const std::string& text = saved.texts.begin()->second;
  EXPECT_LT(text.size(), std::size_t{40} << 20);
  std::size_t instances = 0;
  for (std::size_t at = 0; (at = text.find("RECURRENCE-ID", at)) != std::string::npos; ++at) ++instances;
  EXPECT_GT(instances, 400u);
  EXPECT_LT(instances, 65535u);
  EXPECT_EQ(saved.run.err, "Damaged recurrence pattern in calendar item Review.ics\n");
}

// ---- Names ----

TEST(Calendar, FileNames) {
  struct Case {
    std::vector<std::string> subjects;
    std::vector<std::string> files;
  } cases[] = {
      {{"Review"}, {"Review.ics"}},
      {{"a/b\\c"}, {"a_b_c.ics"}},
      {{"x\x1B[31m\x7F"}, {"x_[31m_.ics"}},
      // What a Windows share refuses, too.
      {{"Zugesagt: Infoveranstaltung \"Digitalisierung\" <1|2?*>"},
       {"Zugesagt_ Infoveranstaltung _Digitalisierung_ _1_2___.ics"}},
      {{""}, {"calendar.ics"}},
      {{".."}, {"calendar.ics"}},
      {{"Review", "Review"}, {"Review-1.ics", "Review.ics"}},
      {{std::string(300, 'r')}, {std::string(251, 'r') + ".ics"}},
  };
  for (const Case& c : cases) {
    StreamBuilder stream;
    for (const std::string& subject : c.subjects) {
      ItemProperties p = meeting(subject);
      stream.record(0x00069002, Bytes(14, 0), 2)
          .record(0x00069005, objectProperties({embeddedMessage(calendarStream("IPM.Appointment", p))}), 2);
    }
    Saved saved = saveCalendars(stream.bytes());
    std::vector<std::string> names;
    for (const auto& [name, ical] : saved.calendars) names.push_back(name);
    EXPECT_EQ(names, c.files);
  }
}

// ---- Damage ----

TEST(Calendar, DamagedValuesAreLeftOut) {
  AppointmentFields recur = seriesOf(dailyEvery(kDay));
  recur.startTimeOffset = 720;
  Bytes pattern = appointmentBytes(recur);
  Bytes zone = eastern();
  struct Case {
    std::string name;
    Bytes recur, zone, recipients;
    std::string error;
  } cases[] = {
      {"a cut recurrence", Bytes(pattern.begin(), pattern.begin() + 30), zone, {},
       "Damaged recurrence pattern in calendar item Review.ics\n"},
      {"a count of 2^32-1", [&] {
         PatternFields p = dailyEvery(kDay);
         p.deletedCount = 0xFFFFFFFF;
         AppointmentFields a = seriesOf(p);
         return appointmentBytes(a);
       }(), zone, {}, "Damaged recurrence pattern in calendar item Review.ics\n"},
      {"month 13 in a zone", pattern, [] {
         timezone::Rule rule = easternRule(2007);
         rule.standardDate.month = 13;
         return timeZoneDefinition(u"Eastern Standard Time", {rule});
       }(), {}, "Damaged time zone definition in calendar item Review.ics\n"},
      {"a cut recipient table", pattern, zone, [] {
         Bytes table = recipientTable({recipientRow("A", "a@example.org", 1), recipientRow("B", "b@example.org", 1)});
         table.resize(table.size() - 9);
         return table;
       }(), "Damaged recipient table in calendar item Review.ics\n"},
  };
  for (const Case& c : cases) {
    ItemProperties p = meeting();
    p.binary(NamedSet::appointment, 0x8216, c.recur).binary(NamedSet::appointment, 0x8260, c.zone);
    Saved saved = saveCalendars(calendarStream("IPM.Schedule.Meeting.Request", p, c.recipients));
    EXPECT_EQ(saved.run.err, c.error) << c.name;
    EXPECT_EQ(saved.run.status, 0) << c.name;
    ASSERT_EQ(saved.calendars.size(), 1u) << c.name;
    const Ical& ical = saved.calendars.begin()->second;
    EXPECT_TRUE(ical.parsed && ical.errors == 0) << c.name;
    ASSERT_FALSE(ical.items.empty()) << c.name;
    EXPECT_EQ(ical.items[0].value("SUMMARY"), "Review") << c.name;
  }
}

// Every prefix of each blob, and dates no calendar can hold, still give a
// file libical reads.
TEST(Calendar, HostileValuesStillGiveSoundFiles) {
  ExceptionFields moved;
  moved.flags = kOverrideSubject;
  moved.subject = moved.wideSubject = "moved";
  AppointmentFields recur = withExceptions({moved});
  Bytes pattern = appointmentBytes(recur);
  Bytes zone = eastern();
  for (std::size_t cut = 0; cut <= pattern.size(); cut += 3) {
    ItemProperties p = meeting();
    p.binary(NamedSet::appointment, 0x8216, Bytes(pattern.begin(), pattern.begin() + static_cast<std::ptrdiff_t>(cut)))
        .binary(NamedSet::appointment, 0x8260, Bytes(zone.begin(), zone.begin() + static_cast<std::ptrdiff_t>(std::min(cut, zone.size()))));
    Ical ical = onlyCalendar(calendarStream("IPM.Appointment", p), "prefix " + std::to_string(cut));
    EXPECT_FALSE(ical.items.empty()) << cut;
  }
  for (std::int64_t when : {unixTime(1500, 1, 1), unixTime(10000, 1, 1), unixTime(1601, 1, 1), unixTime(9999, 12, 31, 23)}) {
    ItemProperties p;
    p.text(0x0037, "Review").time(NamedSet::appointment, 0x820D, when).time(NamedSet::appointment, 0x820E, when)
        .binary(NamedSet::appointment, 0x825E, eastern());
    Ical ical = onlyCalendar(calendarStream("IPM.Appointment", p), "date " + std::to_string(when));
    EXPECT_EQ(ical.items.size(), 1u);
  }
}

// ---- Real mail ----

TEST(Calendar, RealStreams) {
  std::vector<fs::path> files = corpusFiles();
  if (files.empty()) GTEST_SKIP() << noCorpus();
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    Bytes stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Saved saved = saveCalendars(stream);
    std::string name = file.filename().string();
    if (name == "horde-TnefMeetingRequest.tnef") {
      ASSERT_EQ(saved.calendars.size(), 1u);
      const Ical& ical = saved.calendars.begin()->second;
      EXPECT_EQ(ical.method, "REQUEST");
      ASSERT_EQ(ical.items.size(), 1u);
      const IcalItem& meeting = ical.items[0];
      EXPECT_EQ(meeting.value("SUMMARY"), "Meeting");
      EXPECT_EQ(meeting.value("LOCATION"), "Office");
      ASSERT_TRUE(meeting.start && meeting.end);
      EXPECT_EQ(meeting.start->tzid, "America/New_York");
      EXPECT_EQ(meeting.end->utc - meeting.start->utc, 1800);
      // Every Monday at 12:00 in New York, across the change to daylight time.
      std::vector<std::int64_t> starts = meeting.instances(12);
      ASSERT_EQ(starts.size(), 12u);
      EXPECT_EQ(starts[0], at(2013, 12, 23, 17));
      EXPECT_EQ(starts[11], at(2014, 3, 10, 16));
      for (std::int64_t start : starts) EXPECT_EQ(civil::weekday(civil::floorDivide(start - 5 * 3600, 86400) + 134774), 1u);
    } else if (name == "horde-activesync-task-from-mike.tnef") {
      // The request carries the task, sent by the one who asks to the one who does it.
      ASSERT_EQ(saved.calendars.size(), 1u);
      EXPECT_EQ(saved.calendars.begin()->first, "Task from Mike.ics");
      const Ical& ical = saved.calendars.begin()->second;
      EXPECT_TRUE(ical.parsed && ical.errors == 0);
      EXPECT_EQ(ical.method, "REQUEST");
      ASSERT_EQ(ical.items.size(), 1u);
      const IcalItem& task = ical.items[0];
      EXPECT_EQ(task.kind, "VTODO");
      EXPECT_EQ(task.value("SUMMARY"), "Task from Mike");
      ASSERT_TRUE(task.due);
      EXPECT_EQ(task.due->utc, at(2014, 11, 21));
      EXPECT_EQ(task.value("STATUS"), "NEEDS-ACTION");
      EXPECT_EQ(task.value("ORGANIZER"), "mailto:mike@theupstairsroom.com");
      EXPECT_EQ(task.values("ATTENDEE"), std::vector<std::string>{"mailto:jordyn@theupstairsroom.com"});
    } else if (name == "mimekit-christmas.tnef") {
      ASSERT_EQ(saved.calendars.size(), 2u);
      EXPECT_EQ(saved.calendars.count("Build a train table.ics"), 1u);
      EXPECT_EQ(saved.calendars.count("Christmas Celebration!.ics"), 1u);
      for (const auto& [file, ical] : saved.calendars) EXPECT_TRUE(ical.parsed && ical.errors == 0) << file;
    } else {
      EXPECT_TRUE(saved.calendars.empty()) << name;
    }
  }
}

}  // namespace
}  // namespace wendrel::test
