#pragma once
// Builds recurrence-pattern values field by field for tests and fuzz seeds:
// RecurrencePattern, AppointmentRecurrencePattern with its exceptions, and
// patterns of each kind with FirstDateTime computed as MS-OXOCAL 2.2.1.44.1.1
// does, each field open to change so a test can get it wrong.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "stream_builder.h"
#include "wendrel/formats/civil_time.h"
#include "wendrel/formats/recurrence.h"

namespace wendrel::test {

using namespace wendrel::recurrence;

constexpr std::uint32_t kDay = 1440;
constexpr std::uint32_t kWeek = 7 * kDay;
constexpr std::uint16_t kDaily = 0x200A, kWeekly = 0x200B, kMonthly = 0x200C, kYearly = 0x200D;
constexpr std::uint16_t kDayPattern = 0, kWeekPattern = 1, kMonthPattern = 2, kMonthNthPattern = 3,
                        kMonthEndPattern = 4, kHijriMonthPattern = 0xA;
constexpr std::uint32_t kEndDate = 0x2021, kEndCount = 0x2022, kEndNever = 0x2023;
constexpr std::uint8_t kSunday = 0x01, kMonday = 0x02, kTuesday = 0x04, kThursday = 0x10, kFriday = 0x20;
constexpr std::uint8_t kWeekDays = 0x3E;

inline std::uint32_t minutesOn(std::int64_t year, unsigned month, unsigned day, unsigned minute = 0) {
  return static_cast<std::uint32_t>(civil::daysFromCivil(year, month, day) * kDay + minute);
}

inline std::int64_t dayOn(std::int64_t year, unsigned month, unsigned day) { return civil::daysFromCivil(year, month, day); }

// UTF-16LE code units of ASCII text, without a terminator.
inline Bytes wide(std::string_view ascii) {
  Bytes bytes;
  for (char c : ascii) appendWord(bytes, static_cast<std::uint8_t>(c));
  return bytes;
}

// ---- Building values ----

struct PatternFields {
  std::uint16_t readerVersion = 0x3004, writerVersion = 0x3004;
  std::uint16_t frequency = kDaily, patternType = kDayPattern, calendarType = 0;
  std::uint32_t firstDateTime = 0, period = kDay, slidingFlag = 0;
  std::vector<std::uint32_t> specific;  // PatternTypeSpecific, dword by dword
  std::uint32_t endType = kEndNever, occurrenceCount = 10, firstDayOfWeek = 0;
  std::vector<std::uint32_t> deleted, modified;
  std::optional<std::uint32_t> deletedCount, modifiedCount;  // counts that differ from the lists
  std::uint32_t startDate = minutesOn(2024, 3, 4), endDate = kNoEndDate;
};

inline void appendDates(Bytes& bytes, const std::vector<std::uint32_t>& dates, std::optional<std::uint32_t> count) {
  appendDword(bytes, count.value_or(static_cast<std::uint32_t>(dates.size())));
  for (std::uint32_t date : dates) appendDword(bytes, date);
}

inline Bytes patternBytes(const PatternFields& p) {
  Bytes bytes;
  for (std::uint16_t word : {p.readerVersion, p.writerVersion, p.frequency, p.patternType, p.calendarType}) {
    appendWord(bytes, word);
  }
  for (std::uint32_t dword : {p.firstDateTime, p.period, p.slidingFlag}) appendDword(bytes, dword);
  for (std::uint32_t dword : p.specific) appendDword(bytes, dword);
  for (std::uint32_t dword : {p.endType, p.occurrenceCount, p.firstDayOfWeek}) appendDword(bytes, dword);
  appendDates(bytes, p.deleted, p.deletedCount);
  appendDates(bytes, p.modified, p.modifiedCount);
  appendDword(bytes, p.startDate);
  appendDword(bytes, p.endDate);
  return bytes;
}

// A size-prefixed reserved block; claimedSize, when set, replaces the true size.
struct Block {
  Bytes content;
  std::optional<std::uint32_t> claimedSize;
};

inline void appendBlock(Bytes& bytes, const Block& block) {
  appendDword(bytes, block.claimedSize.value_or(static_cast<std::uint32_t>(block.content.size())));
  appendBytes(bytes, block.content);
}

struct ExceptionFields {
  std::uint32_t start = minutesOn(2024, 3, 6, 600), end = minutesOn(2024, 3, 6, 660);
  std::uint32_t original = minutesOn(2024, 3, 6, 540);
  std::uint16_t flags = 0;
  std::string subject, location;          // 8-bit
  std::string wideSubject, wideLocation;  // ASCII here, UTF-16LE in the value
  std::uint32_t meetingType = 0, reminderDelta = 0, reminderSet = 0, busyStatus = 0, attachment = 0, subType = 0,
                appointmentColor = 0;
  std::uint32_t changeHighlight = 0;
  Bytes changeHighlightReserved;
  Block reservedEE1, reservedEE2;
  // Lengths that differ from the texts' own.
  std::optional<std::uint16_t> subjectLength, subjectLength2, locationLength, locationLength2, wideSubjectLength;
  std::optional<std::uint32_t> changeHighlightSize;
};

inline void appendNarrow(Bytes& bytes, const std::string& text, std::optional<std::uint16_t> length,
                  std::optional<std::uint16_t> length2) {
  auto size = static_cast<std::uint16_t>(text.size());
  appendWord(bytes, length.value_or(static_cast<std::uint16_t>(size + 1)));
  appendWord(bytes, length2.value_or(size));
  appendBytes(bytes, textBytes(text));
}

inline void appendWide(Bytes& bytes, const std::string& text, std::optional<std::uint16_t> length) {
  appendWord(bytes, length.value_or(static_cast<std::uint16_t>(text.size())));
  appendBytes(bytes, wide(text));
}

inline void appendIf(Bytes& bytes, const ExceptionFields& e, std::uint16_t flag, std::uint32_t value) {
  if ((e.flags & flag) != 0) appendDword(bytes, value);
}

inline void appendExceptionInfo(Bytes& bytes, const ExceptionFields& e) {
  for (std::uint32_t date : {e.start, e.end, e.original}) appendDword(bytes, date);
  appendWord(bytes, e.flags);
  if ((e.flags & kOverrideSubject) != 0) appendNarrow(bytes, e.subject, e.subjectLength, e.subjectLength2);
  appendIf(bytes, e, kOverrideMeetingType, e.meetingType);
  appendIf(bytes, e, kOverrideReminderDelta, e.reminderDelta);
  appendIf(bytes, e, kOverrideReminderSet, e.reminderSet);
  if ((e.flags & kOverrideLocation) != 0) appendNarrow(bytes, e.location, e.locationLength, e.locationLength2);
  appendIf(bytes, e, kOverrideBusyStatus, e.busyStatus);
  appendIf(bytes, e, kOverrideAttachment, e.attachment);
  appendIf(bytes, e, kOverrideSubType, e.subType);
  appendIf(bytes, e, kOverrideAppointmentColor, e.appointmentColor);
}

inline void appendExtendedException(Bytes& bytes, const ExceptionFields& e, bool changeHighlight) {
  if (changeHighlight) {
    appendDword(bytes, e.changeHighlightSize.value_or(static_cast<std::uint32_t>(4 + e.changeHighlightReserved.size())));
    appendDword(bytes, e.changeHighlight);
    appendBytes(bytes, e.changeHighlightReserved);
  }
  appendBlock(bytes, e.reservedEE1);
  if ((e.flags & (kOverrideSubject | kOverrideLocation)) == 0) return;
  for (std::uint32_t date : {e.start, e.end, e.original}) appendDword(bytes, date);
  if ((e.flags & kOverrideSubject) != 0) appendWide(bytes, e.wideSubject, e.wideSubjectLength);
  if ((e.flags & kOverrideLocation) != 0) appendWide(bytes, e.wideLocation, std::nullopt);
  appendBlock(bytes, e.reservedEE2);
}

struct AppointmentFields {
  PatternFields pattern;
  std::uint32_t readerVersion2 = 0x3006, writerVersion2 = 0x3009;
  std::uint32_t startTimeOffset = 540, endTimeOffset = 600;
  std::vector<ExceptionFields> exceptions;
  std::optional<std::uint16_t> exceptionCount;
  Block reserved1, reserved2;
};

inline Bytes appointmentBytes(const AppointmentFields& a) {
  Bytes bytes = patternBytes(a.pattern);
  for (std::uint32_t dword : {a.readerVersion2, a.writerVersion2, a.startTimeOffset, a.endTimeOffset}) {
    appendDword(bytes, dword);
  }
  appendWord(bytes, a.exceptionCount.value_or(static_cast<std::uint16_t>(a.exceptions.size())));
  for (const ExceptionFields& e : a.exceptions) appendExceptionInfo(bytes, e);
  appendBlock(bytes, a.reserved1);
  for (const ExceptionFields& e : a.exceptions) appendExtendedException(bytes, e, a.writerVersion2 >= 0x3009);
  appendBlock(bytes, a.reserved2);
  return bytes;
}

// The series's instance dates list each exception: deleted at its original
// date, modified at its new one.
inline AppointmentFields withExceptions(std::vector<ExceptionFields> exceptions, std::uint32_t writerVersion2 = 0x3009) {
  AppointmentFields a;
  a.writerVersion2 = writerVersion2;
  for (const ExceptionFields& e : exceptions) {
    a.pattern.deleted.push_back(e.original / kDay * kDay);
    a.pattern.modified.push_back(e.start / kDay * kDay);
  }
  a.exceptions = std::move(exceptions);
  return a;
}

// ---- Patterns of each kind, with FirstDateTime as MS-OXOCAL 2.2.1.44.1.1 computes it ----

inline std::uint32_t weeklyFirst(std::uint32_t start, std::uint32_t weeks, std::uint32_t firstDay) {
  std::int64_t day = start / kDay;
  std::int64_t weekStart = day - (civil::weekday(day) + 7 - firstDay) % 7;
  return static_cast<std::uint32_t>(weekStart * kDay % (std::int64_t{weeks} * kWeek));
}

inline std::uint32_t monthlyFirst(std::uint32_t start, std::uint32_t months) {
  civil::Date date = civil::civilFromDays(start / kDay);
  std::int64_t first = ((date.year - 1601) * 12 + date.month - 1) % months;
  return minutesOn(1601 + first / 12, static_cast<unsigned>(first % 12 + 1), 1);
}

inline PatternFields dailyEvery(std::uint32_t minutes) {
  PatternFields p;
  p.period = minutes;
  p.firstDateTime = p.startDate % minutes;
  return p;
}

inline PatternFields weeklyOn(std::uint32_t days, std::uint32_t weeks, std::uint32_t firstDay = 0,
                       std::uint16_t frequency = kWeekly) {
  PatternFields p;
  p.frequency = frequency;
  p.patternType = kWeekPattern;
  p.period = weeks;
  p.specific = {days};
  p.firstDayOfWeek = firstDay;
  p.firstDateTime = weeklyFirst(p.startDate, weeks, firstDay);
  return p;
}

inline PatternFields monthly(std::uint16_t type, std::vector<std::uint32_t> specific, std::uint32_t months,
                      std::uint32_t start, std::uint16_t frequency = kMonthly) {
  PatternFields p;
  p.frequency = frequency;
  p.patternType = type;
  p.specific = std::move(specific);
  p.period = months;
  p.startDate = start;
  p.firstDateTime = monthlyFirst(start, months);
  return p;
}

inline PatternFields endingOn(PatternFields p, std::uint32_t endDate) {
  p.endType = kEndDate;
  p.endDate = endDate;
  return p;
}

inline PatternFields endingAfter(PatternFields p, std::uint32_t count) {
  p.endType = kEndCount;
  p.occurrenceCount = count;
  return p;
}

template <typename Change>
inline PatternFields changed(PatternFields p, Change change) {
  change(p);
  return p;
}

}  // namespace wendrel::test
