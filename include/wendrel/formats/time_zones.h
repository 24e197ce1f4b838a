#pragma once
// The time zones of calendar items: the PidLidTimeZoneStruct blob (MS-OXOCAL
// 2.2.1.39, one TZREG-like rule for every year) and the TZDEFINITION blob of
// PidLidTimeZoneDescription's companions PidLidAppointmentTimeZoneDefinition-
// StartDisplay, -EndDisplay and -Recur (MS-OXOCAL 2.2.1.41: a key name and
// rules by year). Both decode into a Zone, which converts between UTC and the
// zone's local time and describes its observances for a VTIMEZONE.
//
// A Zone keeps views into the blob and decodes rule i when asked: nothing is
// allocated, and the blob must outlive the Zone. Times are seconds since
// 1601-01-01 00:00 (civil_time.h), in UTC or in the zone's local time.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "wendrel/bytes.h"
#include "wendrel/formats/civil_time.h"

namespace wendrel::timezone {

enum class Damage : std::uint8_t {
  none,
  truncated,   // the blob ends inside the header, the key name or a rule it announces
  badVersion,  // a major version other than 0x02 or a minor version below 0x01 (header or rule)
  badHeader,   // TZDEFINITION: Reserved other than 0x0002, or cbHeader short of (or, at minor
               // version 0x01, other than) the fields it counts
  badCount,    // TZDEFINITION: no rules, or more than kMostRules
  badRule,     // a rule's size other than 0x3E (or not the first rule's, at a later minor
               // version), or an impossible field: see readTimeZoneDefinition
  badOrder,    // TZDEFINITION: rule years that do not ascend strictly
};

// The enumerator's name ("badRule"), for messages and test reports.
std::string_view damageName(Damage damage);

// SYSTEMTIME as stored (MS-DTYP). In a rule, month 0 means no daylight saving;
// year 0 makes the date relative (day = week 1-5 of dayOfWeek in month, 5 the
// last), any other year absolute (that one day, once).
struct SystemTime {
  std::uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

inline constexpr std::uint16_t kRuleRecurCurrent = 0x0001;  // TZRULE_FLAG_RECUR_CURRENT_TZREG
inline constexpr std::uint16_t kRuleEffective = 0x0002;     // TZRULE_FLAG_EFFECTIVE_TZREG

// One rule. Local standard time is UTC - (bias + standardBias) minutes, local
// daylight time UTC - (bias + daylightBias). Daylight saving starts at
// daylightDate, a local standard time, and ends at standardDate, a local
// daylight time; a daylight date later in the year than the standard date
// (southern hemisphere) puts daylight saving around the new year.
struct Rule {
  std::uint16_t year = 0;   // in force from January 1 of this year; 0 in PidLidTimeZoneStruct
  std::uint16_t flags = 0;  // kRuleRecurCurrent, kRuleEffective; 0 in PidLidTimeZoneStruct
  std::int32_t bias = 0, standardBias = 0, daylightBias = 0;
  SystemTime standardDate{}, daylightDate{};
};

inline constexpr std::size_t kMostRules = 1024;

class Zone {
 public:
  // No rules: a default Zone, or one a damaged blob was read into, is UTC.
  std::size_t ruleCount() const { return count_; }
  // Rule i (below ruleCount()), in the order stored: by ascending year.
  Rule rule(std::size_t i) const;

  // The TZDEFINITION KeyName (cchKeyName UTF-16LE units, the Windows registry
  // name of the zone, "Pacific Standard Time"); empty for PidLidTimeZoneStruct.
  ByteView keyName() const { return keyName_; }
  // The key name as UTF-8 (up to a zero unit; lone surrogates as U+FFFD) into
  // out, cut between characters when out is too small; returns the bytes
  // written. keyNameUtf8Length() is what the whole name takes (at most
  // 3 x 65535 bytes).
  std::size_t keyNameUtf8(std::span<char> out) const;
  std::size_t keyNameUtf8Length() const;

 private:
  friend Damage readTimeZoneStruct(ByteView blob, Zone& zone);
  friend Damage readTimeZoneDefinition(ByteView blob, Zone& zone);

  ByteView rules_;          // from the first rule's bytes on
  std::size_t stride_ = 0;  // bytes from one rule to the next
  std::size_t count_ = 0;
  bool definition_ = false;  // TZRule records rather than the PidLidTimeZoneStruct layout
  ByteView keyName_;
};

// PidLidTimeZoneStruct: 48 bytes (lBias, lStandardBias, lDaylightBias,
// wStandardYear, stStandardDate, wDaylightYear, stDaylightDate), read as one
// rule of year 0; bytes after them are ignored. On damage zone is left empty.
Damage readTimeZoneStruct(ByteView blob, Zone& zone);

// TZDEFINITION: major version 0x02, minor version 0x01 or later, cbHeader,
// Reserved 0x0002, cchKeyName, KeyName, cRules (1 to kMostRules), then the
// rules at 4 + cbHeader, so header fields that a later minor version appends
// are skipped. Each rule of 66 bytes: version 0x02 / 0x01 or later, its size
// 0x3E (a later minor version may give more, the same for every rule), flags,
// wYear, 14 bytes of the start time left unread, then the TZREG fields.
// A rule is impossible, and the blob damaged, when a date has daylight saving
// on one side only (month 0 in one of the two dates), a month above 12, a day
// of week above 6, an hour, minute, second or millisecond out of range, a week
// other than 1-5 (relative) or a day not in its month or a year outside
// 1601-30827 (absolute), or when a bias, or bias plus standardBias or
// daylightBias, is beyond +-24 hours. Bytes after the last rule are ignored.
// On damage zone is left empty.
Damage readTimeZoneDefinition(ByteView blob, Zone& zone);

// ---- Conversions ----
//
// A time takes the rule of its year: the last rule whose year is at or before
// it, or the first rule for years before all of them; a rule's year starts at
// January 1, 00:00 of its own local standard time. Daylight saving follows the
// latest transition of that rule at or before the time, over the year before
// to the year after, so both hemispheres and the turn of the year come out
// right; before a rule's first transition (only absolute dates leave one) the
// time is in the opposite of the transition that comes next, and with none
// near it is standard time. Transition times keep whole seconds only (a
// transition at 23:59:59.999 takes effect at 23:59:59, as a VTIMEZONE written
// from the same rule says).
//
// Times are first clamped to kEarliestTime..kLatestTime (years 1 to 99999,
// beyond any FILETIME or SYSTEMTIME), so no input overflows; each call is a
// few date computations and lookups of the rule by year, with no loop over
// years.
inline constexpr std::int64_t kEarliestTime = civil::daysFromCivil(1, 1, 1) * civil::kSecondsPerDay;
inline constexpr std::int64_t kLatestTime = civil::daysFromCivil(100000, 1, 1) * civil::kSecondsPerDay - 1;

std::int64_t utcToLocal(const Zone& zone, std::int64_t utc);

// A local time that occurs twice (the overlap when the clocks go back) gives
// its first occurrence, the earlier UTC time: the daylight-time reading of a
// fall-back. A local time that never occurs (the gap when the clocks go
// forward) is read with the offset in force before the gap, so 02:30 in a
// 02:00-03:00 spring-forward gap is 03:30 daylight time. Both are what
// RFC 5545 3.3.5 asks of a DATE-TIME with a TZID, so a time converted here and
// one read from the item's iCalendar form agree.
std::int64_t localToUtc(const Zone& zone, std::int64_t local);

// Local time minus UTC at utc, in seconds.
std::int64_t utcOffsetAt(const Zone& zone, std::int64_t utc);

// ---- Observances, for a VTIMEZONE ----

// One STANDARD or DAYLIGHT sub-component.
struct Observance {
  bool daylight;          // DAYLIGHT, else STANDARD
  std::int64_t start;     // DTSTART: local seconds since 1601 of the first onset, in offsetFrom
  std::int32_t offsetFrom, offsetTo;  // TZOFFSETFROM, TZOFFSETTO: minutes east of UTC
  bool recurs;            // RRULE:FREQ=YEARLY;BYMONTH=month;BYDAY=<week><weekday>
  std::uint8_t month;     // 1-12
  std::int8_t week;       // 1-4, -1 for the last
  std::uint8_t weekday;   // 0 Sunday to 6 Saturday
  bool hasUntil;          // UNTIL=untilUtc, the last onset, in UTC
  std::int64_t untilUtc;
};

// A rule gives at most three observances: the onsets of standard and of
// daylight time, and an onset on January 1 where the offset the rule starts
// with differs from the one its predecessor ends with.
inline constexpr std::size_t kMostObservancesPerRule = 3;

// The observances of the rules in force from fromYear on (the year of the
// item's first date; years before 1601 count as 1601), as Outlook writes a
// VTIMEZONE (MS-OXCICAL 2.1.3.1.1.19): the first rule written starts in 1601
// (recurring onsets at their 1601 dates, a zone without daylight saving one
// STANDARD observance at 1601-01-01 00:00); a later rule starts at its year;
// every rule followed by another ends with an UNTIL at its last onset; an
// absolute date is a non-recurring observance. Written into out up to its
// size; returns how many were written. observanceCount() is how many there
// are, at most kMostObservancesPerRule x ruleCount().
std::size_t describeObservances(const Zone& zone, std::int64_t fromYear, std::span<Observance> out);
std::size_t observanceCount(const Zone& zone, std::int64_t fromYear);

// ---- Zone names ----

// A Windows time zone ID and the IANA zone CLDR gives it (its territory
// "001", the zone's main one): "Eastern Standard Time", "America/New_York".
struct WindowsZone {
  std::string_view windows;
  std::string_view iana;
};

// Every Windows ID CLDR knows, sorted by it without regard to case.
std::span<const WindowsZone> windowsZones();

// The IANA name of a Windows time zone ID (compared without regard to
// case), which calendar programs know where they may not know the Windows
// one; empty for any other text.
std::string_view ianaZoneName(std::string_view windowsId);

}  // namespace wendrel::timezone
