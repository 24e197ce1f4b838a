#pragma once
// Recurrence patterns of calendar items and tasks (MS-OXOCAL 2.2.1.44).
//
// A RecurrencePattern (the PidLidTaskRecurrence value, and the head of every
// PidLidAppointmentRecur value) says how a series repeats: a frequency and a
// pattern type, a period, the days it falls on, how it ends, and the dates of
// instances that were deleted or modified. An AppointmentRecurrencePattern
// follows it with the time of day of the instances and, for each modified
// instance, an ExceptionInfo (what the exception overrides, 8-bit subject and
// location) and an ExtendedException (the same texts in UTF-16LE). Every
// field is little-endian; dates count minutes since 1601-01-01 in local time.
//
// Decoding checks the whole value in one pass and keeps views into it, so
// nothing is copied or allocated; the exceptions are then walked one at a
// time with an ExceptionCursor. ruleOf() restates a sound pattern as a
// rule in the terms of iCalendar's RRULE (MS-OXCICAL 2.1.3.2), without
// writing any text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "wendrel/bytes.h"

namespace wendrel::recurrence {

enum class Damage : std::uint8_t {
  none,
  truncated,  // the value ends inside a field or inside the exceptions
  badCount,   // a count or length that cannot fit in the bytes left, or that disagrees with another
  badValue,   // a field holds a value the format does not allow (version, frequency, pattern, day, N...)
};

// The enumerator's name ("badCount"), for messages and test reports.
std::string_view damageName(Damage damage);

enum class RecurFrequency : std::uint16_t { daily = 0x200A, weekly = 0x200B, monthly = 0x200C, yearly = 0x200D };

enum class PatternType : std::uint16_t {
  day = 0x0000,
  week = 0x0001,
  month = 0x0002,
  monthNth = 0x0003,
  monthEnd = 0x0004,
  hijriMonth = 0x000A,
  hijriMonthNth = 0x000B,
  hijriMonthEnd = 0x000C,
};

enum class EndType : std::uint32_t { afterDate = 0x2021, afterCount = 0x2022, never = 0x2023, neverToo = 0xFFFFFFFF };

// Bit 0 Sunday to bit 6 Saturday, in the week and month-nth patterns.
inline constexpr std::uint32_t kAllWeekDays = 0x7F;
// MonthNth's N for the last such day of the month.
inline constexpr std::uint32_t kLastOfMonth = 5;
// The EndDate of a series that never ends: 4500-12-31 23:59.
inline constexpr std::uint32_t kNoEndDate = 0x5AE980DF;

struct RecurrencePattern {
  Damage damage = Damage::none;
  std::size_t size = 0;  // bytes the pattern takes, when sound: what follows it starts there

  std::uint16_t readerVersion = 0, writerVersion = 0;  // both 0x3004
  RecurFrequency frequency{};
  PatternType patternType{};
  std::uint16_t calendarType = 0;
  std::uint32_t firstDateTime = 0;  // minutes: the first day, week or month the series could fall in
  std::uint32_t period = 0;         // minutes (day), weeks (week) or months (the month patterns)
  std::uint32_t slidingFlag = 0;    // tasks only: each instance counts from the completion of the last

  // PatternTypeSpecific, by pattern type (0 where the type has no such field).
  std::uint32_t weekDays = 0;    // week and month-nth: bit 0 Sunday .. bit 6 Saturday
  std::uint32_t dayOfMonth = 0;  // month, month-end and their Hijri forms: 1-31
  std::uint32_t nth = 0;         // month-nth: 1-4, or kLastOfMonth

  EndType endType{};
  std::uint32_t occurrenceCount = 0;
  std::uint32_t firstDayOfWeek = 0;  // 0 Sunday .. 6 Saturday

  // Midnight (minutes since 1601, local) of each original date of a deleted
  // or modified instance, and of each modified instance's new date.
  std::uint32_t deletedInstanceCount = 0;
  ByteView deletedInstanceDates;
  std::uint32_t modifiedInstanceCount = 0;
  ByteView modifiedInstanceDates;

  std::uint32_t startDate = 0;  // midnight of the first instance
  std::uint32_t endDate = 0;    // midnight of the last instance, or kNoEndDate

  // Date i of each list (i below its count).
  std::uint32_t deletedInstanceDate(std::uint32_t i) const { return deletedInstanceDates.dword(std::size_t{i} * 4); }
  std::uint32_t modifiedInstanceDate(std::uint32_t i) const { return modifiedInstanceDates.dword(std::size_t{i} * 4); }
};

// A RecurrencePattern at the start of blob; bytes after it are left alone.
RecurrencePattern decodeRecurrencePattern(ByteView blob);

// OverrideFlags: which properties an exception sets for its instance.
enum Override : std::uint16_t {
  kOverrideSubject = 0x0001,
  kOverrideMeetingType = 0x0002,
  kOverrideReminderDelta = 0x0004,
  kOverrideReminderSet = 0x0008,
  kOverrideLocation = 0x0010,
  kOverrideBusyStatus = 0x0020,
  kOverrideAttachment = 0x0040,
  kOverrideSubType = 0x0080,
  kOverrideAppointmentColor = 0x0100,
  kOverrideBody = 0x0200,  // the exception's own message has a body; no field here
};
inline constexpr std::uint16_t kAllOverrides = 0x03FF;

// One modified instance: its ExceptionInfo and its ExtendedException.
struct Exception {
  std::uint32_t startDateTime = 0, endDateTime = 0;  // minutes since 1601, local
  std::uint32_t originalStartDate = 0;               // where the instance was before (date and time)
  std::uint16_t overrideFlags = 0;

  // Set only when the matching flag is.
  ByteView subject, location;          // 8-bit text in the message's code page, no terminator
  ByteView wideSubject, wideLocation;  // UTF-16LE, no terminator
  std::uint32_t meetingType = 0, reminderDelta = 0, reminderSet = 0, busyStatus = 0, attachment = 0, subType = 0,
                appointmentColor = 0;

  bool hasChangeHighlight = false;  // writers from version 0x3009 on record it
  std::uint32_t changeHighlight = 0;

  bool overrides(Override flag) const { return (overrideFlags & flag) != 0; }
};

// Walks the exceptions of a sound AppointmentRecurrencePattern in order.
class ExceptionCursor {
 public:
  ExceptionCursor() = default;
  ExceptionCursor(ByteView infos, ByteView extended, std::uint16_t count, bool changeHighlights)
      : infos_(infos), extended_(extended), left_(count), changeHighlights_(changeHighlights) {}

  // Fills exception with the next one; false when none is left.
  bool next(Exception& exception);

 private:
  ByteView infos_, extended_;  // the ExceptionInfo and ExtendedException arrays, each from the next one on
  std::uint16_t left_ = 0;
  bool changeHighlights_ = false;
};

struct AppointmentRecurrencePattern {
  Damage damage = Damage::none;
  std::size_t size = 0;  // bytes used, when sound; any bytes after them are left alone

  RecurrencePattern pattern;
  std::uint32_t readerVersion2 = 0;  // 0x3006
  std::uint32_t writerVersion2 = 0;  // 0x3008 or later; 0x3009 on adds ChangeHighlight
  std::uint32_t startTimeOffset = 0, endTimeOffset = 0;  // minutes after midnight of each instance's day
  std::uint16_t exceptionCount = 0;

  // Where the two arrays lie, for the cursor.
  ByteView exceptionInfos, extendedExceptions;

  // Nothing for a damaged pattern.
  ExceptionCursor exceptions() const;
};

AppointmentRecurrencePattern decodeAppointmentRecurrence(ByteView blob);

// The series as an iCalendar rule would state it.
enum class Frequency : std::uint8_t { daily, weekly, monthly, yearly };

struct Rule {
  enum class End : std::uint8_t { never, count, date };

  Frequency frequency = Frequency::daily;
  std::uint32_t interval = 1;
  std::uint8_t weekDays = 0;     // bit 0 Sunday .. bit 6 Saturday; 0 none
  std::int8_t setPosition = 0;   // 0 none, 1-4, -1 the last
  std::int8_t monthDay = 0;      // 0 none, 1-30, -1 the last day
  std::uint8_t month = 0;        // 0 none, 1-12
  std::uint8_t weekStart = 0;    // 0 Sunday .. 6 Saturday
  End end = End::never;
  std::uint32_t count = 0;       // End::count
  std::int64_t endDate = 0;      // End::date: days since 1601 of the last instance's local date

  bool operator==(const Rule&) const = default;
};

// The rule of a sound pattern (MS-OXCICAL 2.1.3.2.2), or nothing when
// iCalendar cannot state it as the pattern means it: a month-based pattern in
// any but a Gregorian calendar, a sliding task, a daily period that is not
// whole days, a yearly pattern that is not whole years or whose month
// disagrees with its first instance's, an end before the start or after no
// instance. Days and weeks are the same in every calendar, so daily and
// weekly patterns have a rule whatever CalendarType says.
std::optional<Rule> ruleOf(const RecurrencePattern& pattern);

}  // namespace wendrel::recurrence
