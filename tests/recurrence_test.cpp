// Recurrence patterns: the worked examples of MS-OXOCAL 4.1.1, patterns and
// exceptions built field by field, the rule of each kind of series, each kind
// of damage, and every prefix and single-byte change of sound values.

#include "wendrel/formats/recurrence.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "recurrence_builder.h"
#include "stream_builder.h"
#include "wendrel/formats/civil_time.h"

namespace wendrel::recurrence {

void PrintTo(Damage damage, std::ostream* os) { *os << damageName(damage); }

void PrintTo(const Rule& rule, std::ostream* os) {
  *os << "{frequency " << int(rule.frequency) << ", interval " << rule.interval << ", weekDays " << int(rule.weekDays)
      << ", setPosition " << int(rule.setPosition) << ", monthDay " << int(rule.monthDay) << ", month "
      << int(rule.month) << ", weekStart " << int(rule.weekStart) << ", end " << int(rule.end) << ", count "
      << rule.count << ", endDate " << rule.endDate << "}";
}

namespace {

using namespace test;

ByteView view(const Bytes& bytes) { return ByteView(bytes.data(), bytes.size()); }

Bytes hexBytes(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

Bytes bytesOf(ByteView v) { return Bytes(v.data(), v.data() + v.size()); }
std::string textOf(ByteView v) { return std::string(v.data(), v.data() + v.size()); }

// ---- The worked examples of MS-OXOCAL 4.1.1 ----

// 4.1.1.3: every 3 days from 2011-04-07 to 2011-05-04, 8:00-8:30, two deleted.
const Bytes kDailyExample = hexBytes(
    "043004300A2000000000A0050000E010000000000000212000000A0000000000000002000000A0C1DC0C80D2DC0C00000000207EDC0C"
    "0016DD0C0630000009300000E0010000FE01000000000000000000000000");
// 4.1.1.1: Monday, Thursday and Friday from 2007-03-26, 12 times, 10:00-10:30.
const Bytes kWeeklyExample = hexBytes(
    "043004300B2001000000C0210000010000000000000032000000222000000C0000000000000000000000000000008020BC0C20ADBC0C"
    "0630000009300000580200007602000000000000000000000000");
// 4.1.1.2: the same with 2007-04-16 moved an hour on, new subject and location.
const Bytes kWeeklyExceptionExample = hexBytes(
    "043004300B2001000000C0210000010000000000000032000000222000000C0000000000000001000000A096BC0C01000000A096BC0C"
    "8020BC0C20ADBC0C0630000009300000580200007602000001003499BC0C5299BC0CF898BC0C11002200210053696D706C652052656375"
    "7272656E6365207769746820657863657074696F6E730800070033342F34313431000000000400000000000000000000003499BC0C5299"
    "BC0CF898BC0C2100530069006D0070006C006500200052006500630075007200720065006E006300650020007700690074006800200065"
    "007800630065007000740069006F006E0073000700330034002F0034003100340031000000000000000000");
// 4.1.1.6: yearly on 3 Nisan in the Hebrew calendar; the second instance is
// tentative with a reminder 60 minutes before.
const Bytes kHebrewExample = hexBytes(
    "043004300D200200080080750A000C0000000000000003000000232000000A0000000000000001000000207EDC0C01000000207EDC0C"
    "6074C40CDF80E95A0630000009300000E0010000FE01000001000080DC0C1E80DC0C0080DC0C24023C000000010000000000000004000000"
    "000000000000000000000000");

TEST(Recurrence, DailyExampleDecodes) {
  AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(kDailyExample));
  ASSERT_EQ(a.damage, Damage::none);
  EXPECT_EQ(a.size, kDailyExample.size());
  const RecurrencePattern& p = a.pattern;
  EXPECT_EQ(p.frequency, RecurFrequency::daily);
  EXPECT_EQ(p.patternType, PatternType::day);
  EXPECT_EQ(p.period, 3 * kDay);
  EXPECT_EQ(p.endType, EndType::afterDate);
  ASSERT_EQ(p.deletedInstanceCount, 2u);
  EXPECT_EQ(p.deletedInstanceDate(0), minutesOn(2011, 4, 19));
  EXPECT_EQ(p.deletedInstanceDate(1), minutesOn(2011, 4, 22));
  EXPECT_EQ(p.modifiedInstanceCount, 0u);
  EXPECT_EQ(p.startDate, minutesOn(2011, 4, 7));
  EXPECT_EQ(p.endDate, minutesOn(2011, 5, 4));
  EXPECT_EQ(a.startTimeOffset, 480u);
  EXPECT_EQ(a.endTimeOffset, 510u);
  EXPECT_EQ(ruleOf(p), (Rule{.frequency = Frequency::daily, .interval = 3, .end = Rule::End::date,
                             .endDate = dayOn(2011, 5, 4)}));
}

TEST(Recurrence, WeeklyExampleDecodes) {
  AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(kWeeklyExample));
  ASSERT_EQ(a.damage, Damage::none);
  EXPECT_EQ(a.pattern.firstDateTime, weeklyFirst(a.pattern.startDate, 1, 0));
  EXPECT_EQ(a.exceptionCount, 0);
  EXPECT_EQ(ruleOf(a.pattern), (Rule{.frequency = Frequency::weekly, .weekDays = kMonday | kThursday | kFriday,
                                     .end = Rule::End::count, .count = 12}));
}

TEST(Recurrence, WeeklyExceptionExampleDecodes) {
  AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(kWeeklyExceptionExample));
  ASSERT_EQ(a.damage, Damage::none);
  EXPECT_EQ(a.size, kWeeklyExceptionExample.size());
  EXPECT_EQ(a.pattern.modifiedInstanceDate(0), minutesOn(2007, 4, 16));
  ExceptionCursor cursor = a.exceptions();
  Exception e;
  ASSERT_TRUE(cursor.next(e));
  EXPECT_EQ(e.startDateTime, minutesOn(2007, 4, 16, 660));
  EXPECT_EQ(e.endDateTime, minutesOn(2007, 4, 16, 690));
  EXPECT_EQ(e.originalStartDate, minutesOn(2007, 4, 16, 600));
  EXPECT_TRUE(e.overrides(kOverrideSubject));
  EXPECT_TRUE(e.overrides(kOverrideLocation));
  EXPECT_FALSE(e.overrides(kOverrideBusyStatus));
  EXPECT_EQ(textOf(e.subject), "Simple Recurrence with exceptions");
  EXPECT_EQ(textOf(e.location), "34/4141");
  EXPECT_EQ(bytesOf(e.wideSubject), wide("Simple Recurrence with exceptions"));
  EXPECT_EQ(bytesOf(e.wideLocation), wide("34/4141"));
  EXPECT_TRUE(e.hasChangeHighlight);
  EXPECT_FALSE(cursor.next(e));
}

TEST(Recurrence, HebrewExampleDecodesWithoutARule) {
  AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(kHebrewExample));
  ASSERT_EQ(a.damage, Damage::none);
  EXPECT_EQ(a.pattern.calendarType, 8);  // CAL_HEBREW
  EXPECT_EQ(a.pattern.dayOfMonth, 3u);
  EXPECT_EQ(ruleOf(a.pattern), std::nullopt);
  ExceptionCursor cursor = a.exceptions();
  Exception e;
  ASSERT_TRUE(cursor.next(e));
  EXPECT_EQ(e.overrideFlags, kOverrideReminderDelta | kOverrideBusyStatus | kOverrideBody);
  EXPECT_EQ(e.reminderDelta, 60u);
  EXPECT_EQ(e.busyStatus, 1u);
  EXPECT_TRUE(e.subject.empty());
  EXPECT_TRUE(e.wideSubject.empty());
  EXPECT_FALSE(cursor.next(e));
}

// ---- The rule of each kind of series ----

struct RuleCase {
  std::string name;
  PatternFields pattern;
  std::optional<Rule> rule;
};

void expectRules(const std::vector<RuleCase>& cases) {
  for (const RuleCase& c : cases) {
    Bytes bytes = patternBytes(c.pattern);
    RecurrencePattern p = decodeRecurrencePattern(view(bytes));
    ASSERT_EQ(p.damage, Damage::none) << c.name;
    EXPECT_EQ(p.size, bytes.size()) << c.name;
    EXPECT_EQ(ruleOf(p), c.rule) << c.name;
  }
}

TEST(Recurrence, RuleOfEachKindOfSeries) {
  using F = Frequency;
  expectRules({
      {"every day", dailyEvery(kDay), Rule{.frequency = F::daily}},
      {"every 5 days", dailyEvery(5 * kDay), Rule{.frequency = F::daily, .interval = 5}},
      {"every weekday", weeklyOn(kWeekDays, 1, 0, kDaily), Rule{.frequency = F::weekly, .weekDays = kWeekDays}},
      {"Monday and Tuesday every other week from Monday",
       weeklyOn(kMonday | kTuesday, 2, 1),
       Rule{.frequency = F::weekly, .interval = 2, .weekDays = kMonday | kTuesday, .weekStart = 1}},
      {"the 15th of every 3 months", monthly(kMonthPattern, {15}, 3, minutesOn(2024, 3, 15)),
       Rule{.frequency = F::monthly, .interval = 3, .monthDay = 15}},
      {"the 30th", monthly(kMonthPattern, {30}, 1, minutesOn(2024, 1, 30)),
       Rule{.frequency = F::monthly, .monthDay = 30}},
      {"the 31st is the last day", monthly(kMonthPattern, {31}, 1, minutesOn(2024, 1, 31)),
       Rule{.frequency = F::monthly, .monthDay = -1}},
      {"month end", monthly(kMonthEndPattern, {31}, 2, minutesOn(2024, 2, 29)),
       Rule{.frequency = F::monthly, .interval = 2, .monthDay = -1}},
      {"second Tuesday", monthly(kMonthNthPattern, {kTuesday, 2}, 1, minutesOn(2024, 3, 12)),
       Rule{.frequency = F::monthly, .weekDays = kTuesday, .setPosition = 2}},
      {"last weekday", monthly(kMonthNthPattern, {kWeekDays, 5}, 1, minutesOn(2024, 3, 29)),
       Rule{.frequency = F::monthly, .weekDays = kWeekDays, .setPosition = -1}},
      {"every 18 months", monthly(kMonthPattern, {1}, 18, minutesOn(2024, 3, 1)),
       Rule{.frequency = F::monthly, .interval = 18, .monthDay = 1}},
      {"yearly on March 15", monthly(kMonthPattern, {15}, 12, minutesOn(2024, 3, 15), kYearly),
       Rule{.frequency = F::yearly, .monthDay = 15, .month = 3}},
      {"yearly on the last day of February", monthly(kMonthEndPattern, {31}, 12, minutesOn(2024, 2, 29), kYearly),
       Rule{.frequency = F::yearly, .monthDay = -1, .month = 2}},
      {"third Sunday of June", monthly(kMonthNthPattern, {kSunday, 3}, 12, minutesOn(2024, 6, 16), kYearly),
       Rule{.frequency = F::yearly, .weekDays = kSunday, .setPosition = 3, .month = 6}},
      {"last Friday of November every 2 years, kept as monthly",
       monthly(kMonthNthPattern, {kFriday, 5}, 24, minutesOn(2024, 11, 29)),
       Rule{.frequency = F::yearly, .interval = 2, .weekDays = kFriday, .setPosition = -1, .month = 11}},
      {"December 25 every 12 months, kept as monthly", monthly(kMonthPattern, {25}, 12, minutesOn(2024, 12, 25)),
       Rule{.frequency = F::yearly, .monthDay = 25, .month = 12}},
      {"a Gregorian localized calendar", changed(monthly(kMonthPattern, {5}, 1, minutesOn(2024, 3, 5)),
                                                 [](PatternFields& p) { p.calendarType = 0x000B; }),
       Rule{.frequency = F::monthly, .monthDay = 5}},
      {"the Japanese era counts Gregorian months", changed(monthly(kMonthPattern, {5}, 1, minutesOn(2024, 3, 5)),
                                                          [](PatternFields& p) { p.calendarType = 3; }),
       Rule{.frequency = F::monthly, .monthDay = 5}},
      {"so does the Thai", changed(monthly(kMonthPattern, {5}, 1, minutesOn(2024, 3, 5)),
                                   [](PatternFields& p) { p.calendarType = 7; }),
       Rule{.frequency = F::monthly, .monthDay = 5}},
      {"days are days in the Hebrew calendar", changed(dailyEvery(2 * kDay),
                                                       [](PatternFields& p) { p.calendarType = 8; }),
       Rule{.frequency = F::daily, .interval = 2}},
  });
}

TEST(Recurrence, RuleOfEachEnd) {
  using F = Frequency;
  using E = Rule::End;
  PatternFields weekly = weeklyOn(kMonday | kFriday, 1);
  expectRules({
      {"never", weekly, Rule{.frequency = F::weekly, .weekDays = kMonday | kFriday}},
      {"never, the other way", changed(weekly, [](PatternFields& p) { p.endType = 0xFFFFFFFF; }),
       Rule{.frequency = F::weekly, .weekDays = kMonday | kFriday}},
      {"after 7", endingAfter(weekly, 7),
       Rule{.frequency = F::weekly, .weekDays = kMonday | kFriday, .end = E::count, .count = 7}},
      {"on a date", endingOn(weekly, minutesOn(2024, 4, 26)),
       Rule{.frequency = F::weekly, .weekDays = kMonday | kFriday, .end = E::date, .endDate = dayOn(2024, 4, 26)}},
      {"on the first day", endingOn(weekly, minutesOn(2024, 3, 4)),
       Rule{.frequency = F::weekly, .weekDays = kMonday | kFriday, .end = E::date, .endDate = dayOn(2024, 3, 4)}},
  });
}

TEST(Recurrence, NoRuleForWhatICalendarCannotSay) {
  PatternFields march15 = monthly(kMonthPattern, {15}, 1, minutesOn(2024, 3, 15));
  auto inCalendar = [&](std::uint16_t calendar) {
    return changed(march15, [=](PatternFields& p) { p.calendarType = calendar; });
  };
  expectRules({
      {"Hijri month pattern", changed(march15, [](PatternFields& p) { p.patternType = kHijriMonthPattern; }),
       std::nullopt},
      {"CAL_HIJRI", inCalendar(6), std::nullopt},
      {"CAL_HEBREW", inCalendar(8), std::nullopt},
      {"CAL_UMALQURA", inCalendar(0x17), std::nullopt},
      {"a day and a half", dailyEvery(kDay + kDay / 2), std::nullopt},
      {"every 90 minutes", dailyEvery(90), std::nullopt},
      {"a sliding task", changed(dailyEvery(kDay), [](PatternFields& p) { p.slidingFlag = 1; }), std::nullopt},
      {"yearly every 6 months", monthly(kMonthPattern, {15}, 6, minutesOn(2024, 3, 15), kYearly), std::nullopt},
      {"yearly in a month the first instance is not in",
       changed(monthly(kMonthPattern, {15}, 12, minutesOn(2024, 3, 15), kYearly),
               [](PatternFields& p) { p.firstDateTime = minutesOn(1601, 4, 1); }),
       std::nullopt},
      {"ends before it starts", endingOn(march15, minutesOn(2024, 3, 14)), std::nullopt},
      {"ends after no instance", endingAfter(march15, 0), std::nullopt},
  });
}

TEST(Recurrence, NoRuleForADamagedPattern) {
  Bytes bytes = patternBytes(dailyEvery(kDay));
  bytes.pop_back();
  RecurrencePattern p = decodeRecurrencePattern(view(bytes));
  EXPECT_NE(p.damage, Damage::none);
  EXPECT_EQ(ruleOf(p), std::nullopt);
}

// ---- Instances and exceptions ----

TEST(Recurrence, InstanceDatesAndATaskPatternWithBytesAfterIt) {
  PatternFields fields = dailyEvery(kDay);
  fields.deleted = {minutesOn(2024, 3, 5), minutesOn(2024, 3, 8), minutesOn(2024, 3, 9)};
  fields.modified = {minutesOn(2024, 3, 7)};
  Bytes bytes = patternBytes(fields);
  std::size_t size = bytes.size();
  bytes.insert(bytes.end(), {1, 2, 3, 4, 5});
  RecurrencePattern p = decodeRecurrencePattern(view(bytes));
  ASSERT_EQ(p.damage, Damage::none);
  EXPECT_EQ(p.size, size);
  ASSERT_EQ(p.deletedInstanceCount, 3u);
  for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(p.deletedInstanceDate(i), fields.deleted[i]) << i;
  ASSERT_EQ(p.modifiedInstanceCount, 1u);
  EXPECT_EQ(p.modifiedInstanceDate(0), minutesOn(2024, 3, 7));
}

ExceptionFields everyOverride() {
  ExceptionFields e;
  e.flags = kAllOverrides;
  e.subject = "Caf\xE9";  // windows-1252
  e.location = "Room 4";
  e.wideSubject = "Cafe";
  e.wideLocation = "Room 4";
  e.meetingType = 3;
  e.reminderDelta = 15;
  e.reminderSet = 1;
  e.busyStatus = 2;
  e.attachment = 1;
  e.subType = 1;
  e.appointmentColor = 4;
  e.changeHighlight = 0x12;
  e.changeHighlightReserved = {9, 9, 9, 9};
  return e;
}

ExceptionFields subjectOnly() {
  ExceptionFields e;
  e.start = minutesOn(2024, 3, 13, 600);
  e.end = minutesOn(2024, 3, 13, 630);
  e.original = minutesOn(2024, 3, 13, 540);
  e.flags = kOverrideSubject;
  e.subject = "";
  e.wideSubject = "";
  return e;
}

ExceptionFields busyOnly() {
  ExceptionFields e;
  e.start = minutesOn(2024, 3, 20, 540);
  e.end = minutesOn(2024, 3, 20, 600);
  e.original = e.start;
  e.flags = kOverrideBusyStatus;
  e.busyStatus = 3;
  return e;
}

void expectException(const Exception& got, const ExceptionFields& want, bool changeHighlight) {
  EXPECT_EQ(got.startDateTime, want.start);
  EXPECT_EQ(got.endDateTime, want.end);
  EXPECT_EQ(got.originalStartDate, want.original);
  EXPECT_EQ(got.overrideFlags, want.flags);
  EXPECT_EQ(textOf(got.subject), want.subject);
  EXPECT_EQ(textOf(got.location), want.location);
  EXPECT_EQ(bytesOf(got.wideSubject), wide(want.wideSubject));
  EXPECT_EQ(bytesOf(got.wideLocation), wide(want.wideLocation));
  EXPECT_EQ(got.meetingType, want.meetingType);
  EXPECT_EQ(got.reminderDelta, want.reminderDelta);
  EXPECT_EQ(got.reminderSet, want.reminderSet);
  EXPECT_EQ(got.busyStatus, want.busyStatus);
  EXPECT_EQ(got.attachment, want.attachment);
  EXPECT_EQ(got.subType, want.subType);
  EXPECT_EQ(got.appointmentColor, want.appointmentColor);
  EXPECT_EQ(got.hasChangeHighlight, changeHighlight);
  EXPECT_EQ(got.changeHighlight, changeHighlight ? want.changeHighlight : 0);
}

TEST(Recurrence, ExceptionsPairInfoWithExtendedException) {
  std::vector<ExceptionFields> exceptions{everyOverride(), subjectOnly(), busyOnly()};
  for (std::uint32_t writer : {0x3008u, 0x3009u, 0x300Au}) {
    SCOPED_TRACE(writer);
    Bytes bytes = appointmentBytes(withExceptions(exceptions, writer));
    AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(bytes));
    ASSERT_EQ(a.damage, Damage::none);
    EXPECT_EQ(a.size, bytes.size());
    ASSERT_EQ(a.exceptionCount, exceptions.size());
    ExceptionCursor cursor = a.exceptions();
    Exception e;
    for (const ExceptionFields& want : exceptions) {
      ASSERT_TRUE(cursor.next(e));
      expectException(e, want, writer >= 0x3009);
    }
    EXPECT_FALSE(cursor.next(e));
    EXPECT_FALSE(cursor.next(e));
  }
}

TEST(Recurrence, ReservedBlocksAreSkippedAndBytesAfterAreLeft) {
  AppointmentFields fields = withExceptions({everyOverride(), busyOnly()});
  fields.reserved1.content = {1, 2, 3};
  fields.reserved2.content = {4, 5};
  fields.exceptions[0].reservedEE1.content = {6};
  fields.exceptions[0].reservedEE2.content = {7, 8, 9, 10, 11};
  fields.exceptions[1].reservedEE1.content = {12, 13};
  Bytes bytes = appointmentBytes(fields);
  std::size_t size = bytes.size();
  bytes.insert(bytes.end(), 4, 0);
  AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(bytes));
  ASSERT_EQ(a.damage, Damage::none);
  EXPECT_EQ(a.size, size);
  ExceptionCursor cursor = a.exceptions();
  Exception e;
  ASSERT_TRUE(cursor.next(e));
  expectException(e, fields.exceptions[0], true);
  ASSERT_TRUE(cursor.next(e));
  expectException(e, fields.exceptions[1], true);
  EXPECT_FALSE(cursor.next(e));
}

TEST(Recurrence, DamagedAppointmentHasNoExceptions) {
  Bytes bytes = appointmentBytes(withExceptions({everyOverride()}));
  bytes.pop_back();
  AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(bytes));
  ASSERT_NE(a.damage, Damage::none);
  Exception e;
  EXPECT_FALSE(a.exceptions().next(e));
}

// ---- Damage ----

struct DamageCase {
  std::string name;
  Bytes blob;
  Damage damage;
};

void expectDamage(const std::vector<DamageCase>& cases) {
  for (const DamageCase& c : cases) {
    AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(c.blob));
    EXPECT_EQ(a.damage, c.damage) << c.name;
    EXPECT_EQ(a.size, 0u) << c.name;
  }
}

template <typename Change>
Bytes appointmentWith(Change change) {
  AppointmentFields a = withExceptions({everyOverride(), busyOnly()});
  a.pattern = weeklyOn(kMonday | kThursday, 1);
  a.pattern.deleted = {minutesOn(2024, 3, 6), minutesOn(2024, 3, 20)};
  a.pattern.modified = {minutesOn(2024, 3, 6), minutesOn(2024, 3, 20)};
  change(a);
  return appointmentBytes(a);
}

template <typename Change>
Bytes patternWith(PatternFields p, Change change) {
  change(p);
  AppointmentFields a;
  a.pattern = p;
  return appointmentBytes(a);
}

TEST(Recurrence, ValuesTheFormatDoesNotAllow) {
  using P = PatternFields;
  PatternFields daily = dailyEvery(kDay);
  PatternFields week = weeklyOn(kMonday, 1);
  PatternFields nth = monthly(kMonthNthPattern, {kTuesday, 2}, 1, minutesOn(2024, 3, 12));
  PatternFields day = monthly(kMonthPattern, {15}, 1, minutesOn(2024, 3, 15));
  const Damage bad = Damage::badValue;
  expectDamage({
      {"ReaderVersion", patternWith(daily, [](P& p) { p.readerVersion = 0x3005; }), bad},
      {"WriterVersion", patternWith(daily, [](P& p) { p.writerVersion = 0x3003; }), bad},
      {"RecurFrequency", patternWith(daily, [](P& p) { p.frequency = 0x2009; }), bad},
      {"PatternType 5", patternWith(daily, [](P& p) { p.patternType = 5; }), bad},
      {"PatternType 0xFFFF", patternWith(daily, [](P& p) { p.patternType = 0xFFFF; }), bad},
      {"weekly by day of month", patternWith(day, [](P& p) { p.frequency = kWeekly; }), bad},
      {"monthly by week", patternWith(week, [](P& p) { p.frequency = kMonthly; }), bad},
      {"yearly by day", patternWith(daily, [](P& p) { p.frequency = kYearly; }), bad},
      {"CalendarType 0x000D", patternWith(daily, [](P& p) { p.calendarType = 0x000D; }), bad},
      {"CalendarType 0x0018", patternWith(daily, [](P& p) { p.calendarType = 0x0018; }), bad},
      {"Period 0", patternWith(daily, [](P& p) { p.period = 0; }), bad},
      {"no day of the week", patternWith(week, [](P& p) { p.specific = {0}; }), bad},
      {"the unused bit X", patternWith(week, [](P& p) { p.specific = {0x82}; }), bad},
      {"the unused bytes", patternWith(week, [](P& p) { p.specific = {0x0102}; }), bad},
      {"day 0", patternWith(day, [](P& p) { p.specific = {0}; }), bad},
      {"day 32", patternWith(day, [](P& p) { p.specific = {32}; }), bad},
      {"N = 0", patternWith(nth, [](P& p) { p.specific = {kTuesday, 0}; }), bad},
      {"N = 6", patternWith(nth, [](P& p) { p.specific = {kTuesday, 6}; }), bad},
      {"month-nth with no day", patternWith(nth, [](P& p) { p.specific = {0, 2}; }), bad},
      {"EndType 0", patternWith(daily, [](P& p) { p.endType = 0; }), bad},
      {"EndType 0x2024", patternWith(daily, [](P& p) { p.endType = 0x2024; }), bad},
      {"FirstDOW 7", patternWith(daily, [](P& p) { p.firstDayOfWeek = 7; }), bad},
      {"ReaderVersion2", appointmentWith([](AppointmentFields& a) { a.readerVersion2 = 0x3007; }), bad},
      {"WriterVersion2 0x3007", appointmentWith([](AppointmentFields& a) { a.writerVersion2 = 0x3007; }), bad},
      {"an unknown override", appointmentWith([](AppointmentFields& a) { a.exceptions[1].flags |= 0x0400; }), bad},
  });
}

TEST(Recurrence, CountsThatCannotFit) {
  using A = AppointmentFields;
  const Damage bad = Damage::badCount;
  expectDamage({
      {"2^32-1 deleted", appointmentWith([](A& a) { a.pattern.deletedCount = 0xFFFFFFFF; }), bad},
      {"2^32-1 modified", appointmentWith([](A& a) { a.pattern.modifiedCount = 0xFFFFFFFF; }), bad},
      {"2^30 deleted (4 bytes each overflow 32 bits)",
       appointmentWith([](A& a) { a.pattern.deletedCount = 0x40000000; }), bad},
      {"more modified than deleted", appointmentWith([](A& a) { a.pattern.deleted.pop_back(); }), bad},
      {"0xFFFF exceptions", appointmentWith([](A& a) { a.exceptionCount = 0xFFFF; }), bad},
      {"fewer exceptions than modified instances", appointmentWith([](A& a) { a.exceptionCount = 1; }), bad},
      {"more exceptions than fit", appointmentWith([](A& a) {
         a.pattern.deleted.resize(102);
         a.pattern.modified.resize(102);
         a.exceptionCount = 102;
       }),
       bad},
      {"SubjectLength not SubjectLength2 + 1", appointmentWith([](A& a) { a.exceptions[0].subjectLength = 4; }), bad},
      {"SubjectLength 0, SubjectLength2 0xFFFF", appointmentWith([](A& a) {
         a.exceptions[0].subjectLength = 0;
         a.exceptions[0].subjectLength2 = 0xFFFF;
       }),
       bad},
      {"subject past the end", appointmentWith([](A& a) {
         a.exceptions[0].subjectLength = 0xFFFF;
         a.exceptions[0].subjectLength2 = 0xFFFE;
       }),
       bad},
      {"location past the end", appointmentWith([](A& a) {
         a.exceptions[0].locationLength = 0x8000;
         a.exceptions[0].locationLength2 = 0x7FFF;
       }),
       bad},
      {"wide subject past the end", appointmentWith([](A& a) { a.exceptions[0].wideSubjectLength = 0xFFFF; }), bad},
      {"ChangeHighlightSize 2^32-1",
       appointmentWith([](A& a) { a.exceptions[0].changeHighlightSize = 0xFFFFFFFF; }), bad},
      {"ChangeHighlightSize 3", appointmentWith([](A& a) { a.exceptions[0].changeHighlightSize = 3; }), bad},
      {"ReservedBlock1Size 2^32-1", appointmentWith([](A& a) { a.reserved1.claimedSize = 0xFFFFFFFF; }), bad},
      {"ReservedBlockEE1Size 2^32-1",
       appointmentWith([](A& a) { a.exceptions[1].reservedEE1.claimedSize = 0xFFFFFFFF; }), bad},
      {"ReservedBlockEE2Size 2^32-4",
       appointmentWith([](A& a) { a.exceptions[0].reservedEE2.claimedSize = 0xFFFFFFFC; }), bad},
      {"ReservedBlock2Size 1", appointmentWith([](A& a) { a.reserved2.claimedSize = 1; }), bad},
  });
}

// Offsets into the 262 bytes of the 4.1.1.2 example: the pattern takes 62,
// the ExceptionInfo 80-146 (subject 98-131, location lengths 131-135), the
// ExtendedException 146-258 (dates 158-170, wide subject 172-238).
TEST(Recurrence, WhereAValueEndsDecidesTheDamage) {
  struct Case {
    std::size_t size;
    Damage damage;
  };
  for (Case c : std::vector<Case>{{21, Damage::truncated},
                                  {44, Damage::badCount},  // inside the one deleted date
                                  {60, Damage::truncated},
                                  {85, Damage::badCount},  // less than one ExceptionInfo left
                                  {100, Damage::badCount},
                                  {133, Damage::truncated},
                                  {160, Damage::truncated},
                                  {200, Damage::badCount},
                                  {260, Damage::truncated}}) {
    ByteView prefix(kWeeklyExceptionExample.data(), c.size);
    EXPECT_EQ(decodeAppointmentRecurrence(prefix).damage, c.damage) << c.size;
  }
}

std::vector<Bytes> soundValues() {
  return {kDailyExample,
          kWeeklyExample,
          kWeeklyExceptionExample,
          kHebrewExample,
          appointmentBytes(withExceptions({everyOverride(), subjectOnly(), busyOnly()}, 0x3008)),
          appointmentWith([](AppointmentFields&) {}),
          patternWith(monthly(kMonthNthPattern, {kWeekDays, 5}, 1, minutesOn(2024, 3, 29)), [](PatternFields&) {})};
}

// Nothing short of the last byte is whole: the last field is ReservedBlock2Size.
TEST(Recurrence, EveryPrefixIsDamaged) {
  for (const Bytes& value : soundValues()) {
    std::size_t patternSize = decodeRecurrencePattern(view(value)).size;
    ASSERT_NE(patternSize, 0u);
    for (std::size_t n = 0; n < value.size(); ++n) {
      ByteView prefix(value.data(), n);
      EXPECT_NE(decodeAppointmentRecurrence(prefix).damage, Damage::none) << n << " of " << value.size();
      RecurrencePattern p = decodeRecurrencePattern(prefix);
      EXPECT_EQ(p.damage == Damage::none, n >= patternSize) << n;
      EXPECT_EQ(p.size, n >= patternSize ? patternSize : 0) << n;
    }
  }
}

bool isInside(ByteView part, const Bytes& whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// Whatever one changed byte does, a value that still decodes yields its
// exceptions from inside itself, all of them and no more.
TEST(Recurrence, EverySingleByteChangeIsSafe) {
  for (const Bytes& value : soundValues()) {
    for (std::size_t at = 0; at < value.size(); ++at) {
      for (std::uint8_t byte : {std::uint8_t{0x00}, std::uint8_t{0xFF}, static_cast<std::uint8_t>(value[at] ^ 1)}) {
        Bytes changedValue = value;
        changedValue[at] = byte;
        AppointmentRecurrencePattern a = decodeAppointmentRecurrence(view(changedValue));
        (void)ruleOf(a.pattern);
        ExceptionCursor cursor = a.exceptions();
        Exception e;
        std::size_t seen = 0;
        while (cursor.next(e)) {
          ++seen;
          for (ByteView text : {e.subject, e.location, e.wideSubject, e.wideLocation}) {
            EXPECT_TRUE(isInside(text, changedValue)) << at;
          }
        }
        EXPECT_EQ(seen, a.damage == Damage::none ? a.exceptionCount : 0u) << at;
      }
    }
  }
}

TEST(Recurrence, EachDamageIsNamed) {
  EXPECT_EQ(damageName(Damage::none), "none");
  EXPECT_EQ(damageName(Damage::truncated), "truncated");
  EXPECT_EQ(damageName(Damage::badCount), "badCount");
  EXPECT_EQ(damageName(Damage::badValue), "badValue");
  EXPECT_EQ(damageName(static_cast<Damage>(200)), "unknown");
}

}  // namespace
}  // namespace wendrel::recurrence
