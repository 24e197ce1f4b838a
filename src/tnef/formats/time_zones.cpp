// Time zone blobs: the two layouts and their checks, the transitions of a rule
// in a given year, the conversions built on them and the observances of a
// VTIMEZONE.

#include "wendrel/formats/time_zones.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "wendrel/formats/utf16.h"
#include "wendrel/formats/utf8.h"

namespace wendrel::timezone {

namespace {

using civil::kSecondsPerDay;
using civil::kSecondsPerMinute;

// ---- Layouts (MS-OXOCAL 2.2.1.39, 2.2.1.41, 2.2.1.41.1) ----

// PidLidTimeZoneStruct: lBias, lStandardBias, lDaylightBias, then each date
// after a WORD copy of its year.
constexpr std::size_t kStructSize = 48;
constexpr std::size_t kStructBiases = 0;
constexpr std::size_t kStructStandardDate = 14;
constexpr std::size_t kStructDaylightDate = 32;

// TZDEFINITION and each TZRule start with a major and a minor version and the
// size of what follows (cbHeader, or the TZRule's Reserved field).
constexpr std::size_t kVersionsAndSize = 4;
constexpr std::uint8_t kMajorVersion = 0x02;
constexpr std::uint8_t kMinorVersion = 0x01;

// The header fields that cbHeader counts: Reserved, cchKeyName, KeyName, cRules.
constexpr std::size_t kHeaderReserved = 4;
constexpr std::size_t kHeaderKeyNameLength = 6;
constexpr std::size_t kHeaderKeyName = 8;
constexpr std::size_t kHeaderFixedCounted = 6;
constexpr std::uint16_t kHeaderReservedValue = 0x0002;

constexpr std::uint16_t kRuleBodySize = 0x3E;
constexpr std::size_t kRuleFlags = 4;
constexpr std::size_t kRuleYear = 6;
constexpr std::size_t kRuleBiases = 22;
constexpr std::size_t kRuleStandardDate = 34;
constexpr std::size_t kRuleDaylightDate = 50;

constexpr std::uint16_t kFirstSystemYear = 1601;
constexpr std::uint16_t kLastSystemYear = 30827;
constexpr std::int64_t kMostBiasMinutes = 24 * 60;

SystemTime readSystemTime(ByteView bytes, std::size_t at) {
  return {bytes.word(at),      bytes.word(at + 2),  bytes.word(at + 4),  bytes.word(at + 6),
          bytes.word(at + 8),  bytes.word(at + 10), bytes.word(at + 12), bytes.word(at + 14)};
}

std::int32_t readLong(ByteView bytes, std::size_t at) { return static_cast<std::int32_t>(bytes.dword(at)); }

// The TZREG fields: three biases at biases, then the two dates.
Rule readTzreg(ByteView record, std::size_t biases, std::size_t standardDate, std::size_t daylightDate) {
  Rule rule;
  rule.bias = readLong(record, biases);
  rule.standardBias = readLong(record, biases + 4);
  rule.daylightBias = readLong(record, biases + 8);
  rule.standardDate = readSystemTime(record, standardDate);
  rule.daylightDate = readSystemTime(record, daylightDate);
  return rule;
}

Rule readStructRule(ByteView record) {
  return readTzreg(record, kStructBiases, kStructStandardDate, kStructDaylightDate);
}

Rule readDefinitionRule(ByteView record) {
  Rule rule = readTzreg(record, kRuleBiases, kRuleStandardDate, kRuleDaylightDate);
  rule.year = record.word(kRuleYear);
  rule.flags = record.word(kRuleFlags);
  return rule;
}

// ---- Checks ----

bool versionKnown(ByteView bytes, std::size_t at) {
  return bytes.byte(at) == kMajorVersion && bytes.byte(at + 1) >= kMinorVersion;
}

bool withinDay(std::int64_t minutes) { return minutes >= -kMostBiasMinutes && minutes <= kMostBiasMinutes; }

bool biasesPossible(const Rule& rule) {
  std::int64_t bias = rule.bias;
  return withinDay(bias) && withinDay(rule.standardBias) && withinDay(rule.daylightBias) &&
         withinDay(bias + rule.standardBias) && withinDay(bias + rule.daylightBias);
}

bool timeOfDayPossible(const SystemTime& t) {
  return t.hour < 24 && t.minute < 60 && t.second < 60 && t.milliseconds < 1000;
}

bool datePossible(const SystemTime& t) {
  if (t.month < 1 || t.month > 12 || t.dayOfWeek > 6 || !timeOfDayPossible(t)) return false;
  if (t.year == 0) return t.day >= 1 && t.day <= 5;
  return t.year >= kFirstSystemYear && t.year <= kLastSystemYear && t.day >= 1 &&
         t.day <= civil::daysInMonth(t.year, t.month);
}

bool observesDaylight(const Rule& rule) { return rule.standardDate.month != 0; }

bool rulePossible(const Rule& rule) {
  if (!biasesPossible(rule)) return false;
  if ((rule.standardDate.month == 0) != (rule.daylightDate.month == 0)) return false;
  return !observesDaylight(rule) || (datePossible(rule.standardDate) && datePossible(rule.daylightDate));
}

// ---- TZDEFINITION header ----

struct Header {
  Damage damage = Damage::none;
  ByteView keyName;
  std::size_t ruleCount = 0;
  std::size_t rulesAt = 0;
};

Header damagedHeader(Damage damage) {
  Header header;
  header.damage = damage;
  return header;
}

// cbHeader must cover the fields it counts; at minor version 0x01 it is
// exactly them, and a later minor version may append fields we skip.
bool headerSizeKnown(ByteView blob, std::size_t counted, std::size_t keyNameBytes) {
  std::size_t needed = kHeaderFixedCounted + keyNameBytes;
  return counted >= needed && (blob.byte(1) != kMinorVersion || counted == needed);
}

Header readHeader(ByteView blob) {
  if (!blob.contains(0, kVersionsAndSize)) return damagedHeader(Damage::truncated);
  if (!versionKnown(blob, 0)) return damagedHeader(Damage::badVersion);
  std::size_t counted = blob.word(2);
  if (!blob.contains(kVersionsAndSize, counted)) return damagedHeader(Damage::truncated);
  if (counted < kHeaderFixedCounted || blob.word(kHeaderReserved) != kHeaderReservedValue) {
    return damagedHeader(Damage::badHeader);
  }
  std::size_t keyNameBytes = 2 * std::size_t{blob.word(kHeaderKeyNameLength)};
  if (!headerSizeKnown(blob, counted, keyNameBytes)) return damagedHeader(Damage::badHeader);
  // The header lies wholly in the blob, so cRules, after the key name, does too.
  std::size_t ruleCount = blob.word(kHeaderKeyName + keyNameBytes);
  if (ruleCount == 0 || ruleCount > kMostRules) return damagedHeader(Damage::badCount);
  Header header;
  header.keyName = blob.sub(kHeaderKeyName, keyNameBytes);
  header.ruleCount = ruleCount;
  header.rulesAt = kVersionsAndSize + counted;
  return header;
}

// ---- TZRule records ----

// The record size the rule at `at` gives (versions and size field included),
// or 0 when it is not one we know: 0x3E, or more at a later minor version.
std::size_t recordSize(ByteView rules, std::size_t at) {
  std::uint16_t body = rules.word(at + 2);
  bool known = body == kRuleBodySize || (rules.byte(at + 1) > kMinorVersion && body > kRuleBodySize);
  return known ? kVersionsAndSize + body : 0;
}

// Checks every rule record; stride receives the record size they share.
Damage checkRules(ByteView rules, std::size_t count, std::size_t& stride) {
  std::size_t at = 0;
  std::uint16_t previousYear = 0;
  for (std::size_t i = 0; i < count; ++i, at += stride) {
    if (!rules.contains(at, kVersionsAndSize)) return Damage::truncated;
    if (!versionKnown(rules, at)) return Damage::badVersion;
    std::size_t size = recordSize(rules, at);
    if (size == 0 || (i > 0 && size != stride)) return Damage::badRule;
    stride = size;
    if (!rules.contains(at, stride)) return Damage::truncated;
    Rule rule = readDefinitionRule(rules.sub(at, stride));
    if (!rulePossible(rule)) return Damage::badRule;
    if (i > 0 && rule.year <= previousYear) return Damage::badOrder;
    previousYear = rule.year;
  }
  return Damage::none;
}

}  // namespace

// ---- Zone ----

Rule Zone::rule(std::size_t i) const {
  // i < count_ <= kMostRules and stride_ < 2^17: the product cannot overflow.
  ByteView record = rules_.sub(i * stride_, stride_);
  return definition_ ? readDefinitionRule(record) : readStructRule(record);
}

namespace {

// Calls take(character) for each character of the key name, up to a zero
// unit, until take returns false.
template <typename Take>
void forEachKeyNameCharacter(ByteView keyName, Take take) {
  std::size_t units = keyName.size() / 2;
  for (std::size_t i = 0, taken = 0; i < units && keyName.word(2 * i) != 0; i += taken) {
    if (!take(utf16::decode(keyName, i, units, taken))) return;
  }
}

}  // namespace

std::size_t Zone::keyNameUtf8(std::span<char> out) const {
  std::size_t written = 0;
  forEachKeyNameCharacter(keyName_, [&](char32_t c) {
    char encoded[utf8::kLongestCharacter];
    auto length = static_cast<std::size_t>(utf8::encode(encoded, c) - encoded);
    if (out.size() - written < length) return false;
    std::memcpy(out.data() + written, encoded, length);
    written += length;
    return true;
  });
  return written;
}

std::size_t Zone::keyNameUtf8Length() const {
  std::size_t length = 0;
  forEachKeyNameCharacter(keyName_, [&](char32_t c) {
    length += utf8::encodedLength(c);
    return true;
  });
  return length;
}

std::string_view damageName(Damage damage) {
  switch (damage) {
    case Damage::none: return "none";
    case Damage::truncated: return "truncated";
    case Damage::badVersion: return "badVersion";
    case Damage::badHeader: return "badHeader";
    case Damage::badCount: return "badCount";
    case Damage::badRule: return "badRule";
    case Damage::badOrder: return "badOrder";
  }
  return "unknown";
}

Damage readTimeZoneStruct(ByteView blob, Zone& zone) {
  zone = Zone();
  if (!blob.contains(0, kStructSize)) return Damage::truncated;
  if (!rulePossible(readStructRule(blob))) return Damage::badRule;
  zone.rules_ = blob.sub(0, kStructSize);
  zone.stride_ = kStructSize;
  zone.count_ = 1;
  return Damage::none;
}

Damage readTimeZoneDefinition(ByteView blob, Zone& zone) {
  zone = Zone();
  Header header = readHeader(blob);
  if (header.damage != Damage::none) return header.damage;
  ByteView rules = blob.sub(header.rulesAt);
  std::size_t stride = 0;
  Damage damage = checkRules(rules, header.ruleCount, stride);
  if (damage != Damage::none) return damage;
  zone.rules_ = rules;
  zone.stride_ = stride;
  zone.count_ = header.ruleCount;
  zone.definition_ = true;
  zone.keyName_ = header.keyName;
  return Damage::none;
}

// ---- Transitions ----

namespace {

// Seconds east of UTC (MAPI biases are minutes west).
std::int64_t standardOffset(const Rule& rule) {
  return -(std::int64_t{rule.bias} + rule.standardBias) * kSecondsPerMinute;
}
std::int64_t daylightOffset(const Rule& rule) {
  return -(std::int64_t{rule.bias} + rule.daylightBias) * kSecondsPerMinute;
}

// Milliseconds are dropped, as a VTIMEZONE has no room for them.
std::int64_t secondsOfDay(const SystemTime& t) { return t.hour * 3600 + t.minute * 60 + t.second; }

// The day of the week-th weekday of month in year; week 5 is the last one.
std::int64_t relativeDay(std::int64_t year, unsigned month, unsigned weekday, unsigned week) {
  std::int64_t firstOfMonth = civil::daysFromCivil(year, month, 1);
  std::int64_t first = firstOfMonth + (weekday + 7 - civil::weekday(firstOfMonth)) % 7;
  std::int64_t day = first + 7 * (week - 1);
  return day - firstOfMonth >= civil::daysInMonth(year, month) ? day - 7 : day;
}

// When the transition `when` comes in year, as a local time (in the offset
// before it); none for an absolute date of another year.
std::optional<std::int64_t> localTransition(const SystemTime& when, std::int64_t year) {
  std::int64_t day = 0;
  if (when.year == 0) {
    day = relativeDay(year, when.month, when.dayOfWeek, when.day);
  } else if (when.year == year) {
    day = civil::daysFromCivil(year, when.month, when.day);
  } else {
    return std::nullopt;
  }
  return day * kSecondsPerDay + secondsOfDay(when);
}

struct Reading {
  std::int64_t offset;  // seconds east of UTC
  bool daylight;
};

Reading standardReading(const Rule& rule) { return {standardOffset(rule), false}; }
Reading daylightReading(const Rule& rule) { return {daylightOffset(rule), true}; }

struct Transition {
  std::int64_t utc;
  bool toDaylight;
};

// The rule's transitions nearest to utc on either side.
struct Neighbours {
  std::optional<Transition> before;  // the latest at or before utc
  std::optional<Transition> after;   // the earliest after it

  void consider(std::optional<std::int64_t> local, std::int64_t offsetBefore, bool toDaylight, std::int64_t utc) {
    if (!local) return;
    Transition t{*local - offsetBefore, toDaylight};
    if (t.utc <= utc) {
      if (!before || t.utc >= before->utc) before = t;
    } else if (!after || t.utc < after->utc) {
      after = t;
    }
  }
};

// The reading of rule at utc, from its transitions in the years around year.
Reading readingOfRule(const Rule& rule, std::int64_t utc, std::int64_t year) {
  if (!observesDaylight(rule)) return standardReading(rule);
  Neighbours near;
  for (std::int64_t y = year - 1; y <= year + 1; ++y) {
    near.consider(localTransition(rule.daylightDate, y), standardOffset(rule), true, utc);
    near.consider(localTransition(rule.standardDate, y), daylightOffset(rule), false, utc);
  }
  if (near.before) return near.before->toDaylight ? daylightReading(rule) : standardReading(rule);
  if (near.after) return near.after->toDaylight ? standardReading(rule) : daylightReading(rule);
  return standardReading(rule);
}

// ---- Rules by year ----

// The last rule whose year is at or before year, else the first: rule years
// ascend, so a binary search.
std::size_t ruleIndexForYear(const Zone& zone, std::int64_t year) {
  std::size_t low = 0;
  std::size_t high = zone.ruleCount();
  while (low < high) {
    std::size_t middle = low + (high - low) / 2;
    if (zone.rule(middle).year <= year) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low == 0 ? 0 : low - 1;
}

Rule ruleForYear(const Zone& zone, std::int64_t year) { return zone.rule(ruleIndexForYear(zone, year)); }

// When the year of rule begins: January 1, 00:00 local standard time, in UTC.
std::int64_t yearStart(const Rule& rule, std::int64_t year) {
  return civil::daysFromCivil(year, 1, 1) * kSecondsPerDay - standardOffset(rule);
}

std::int64_t yearOf(std::int64_t seconds) { return civil::fromSeconds(seconds).date.year; }

struct YearRule {
  std::int64_t year;
  Rule rule;
};

// The year (of its rule's local standard time) that utc falls in. Offsets are
// within a day, so it is the UTC year or one of its neighbours.
YearRule yearRuleAt(const Zone& zone, std::int64_t utc) {
  std::int64_t year = yearOf(utc);
  Rule next = ruleForYear(zone, year + 1);
  if (utc >= yearStart(next, year + 1)) return {year + 1, next};
  Rule current = ruleForYear(zone, year);
  if (utc >= yearStart(current, year)) return {year, current};
  return {year - 1, ruleForYear(zone, year - 1)};
}

std::int64_t clampTime(std::int64_t time) { return std::clamp(time, kEarliestTime, kLatestTime); }

// The zone's reading at a clamped utc; the zone has rules.
Reading readingAt(const Zone& zone, std::int64_t utc) {
  YearRule at = yearRuleAt(zone, utc);
  return readingOfRule(at.rule, utc, at.year);
}

// The distinct offsets the rules around year use: at most two per rule.
class Offsets {
 public:
  void add(std::int64_t offset) {
    if (std::find(values_, values_ + count_, offset) == values_ + count_) values_[count_++] = offset;
  }
  void addRule(const Rule& rule) {
    add(standardOffset(rule));
    if (observesDaylight(rule)) add(daylightOffset(rule));
  }
  const std::int64_t* begin() const { return values_; }
  const std::int64_t* end() const { return values_ + count_; }
  std::int64_t largest() const { return *std::max_element(begin(), end()); }

 private:
  std::int64_t values_[6] = {};
  std::size_t count_ = 0;
};

Offsets offsetsAround(const Zone& zone, std::int64_t year) {
  Offsets offsets;
  for (std::int64_t y = year - 1; y <= year + 1; ++y) offsets.addRule(ruleForYear(zone, y));
  return offsets;
}

}  // namespace

// ---- Conversions ----

std::int64_t utcToLocal(const Zone& zone, std::int64_t utc) {
  std::int64_t time = clampTime(utc);
  return zone.ruleCount() == 0 ? time : time + readingAt(zone, time).offset;
}

std::int64_t utcOffsetAt(const Zone& zone, std::int64_t utc) {
  return zone.ruleCount() == 0 ? 0 : readingAt(zone, clampTime(utc)).offset;
}

std::int64_t localToUtc(const Zone& zone, std::int64_t local) {
  std::int64_t time = clampTime(local);
  if (zone.ruleCount() == 0) return time;
  Offsets offsets = offsetsAround(zone, yearOf(time));
  std::optional<std::int64_t> earliest;
  for (std::int64_t offset : offsets) {
    std::int64_t utc = time - offset;
    if (utcToLocal(zone, utc) == time && (!earliest || utc < *earliest)) earliest = utc;
  }
  if (earliest) return *earliest;
  // In a gap: the largest offset puts us before the transition, whose offset
  // is then the one in force before the gap.
  return time - utcOffsetAt(zone, time - offsets.largest());
}

// ---- Observances ----

namespace {

constexpr std::int64_t kFirstWrittenYear = 1601;

class ObservanceList {
 public:
  explicit ObservanceList(std::span<Observance> out) : out_(out) {}
  void add(const Observance& observance) {
    if (written_ < out_.size()) out_[written_++] = observance;
    ++total_;
  }
  std::size_t written() const { return written_; }
  std::size_t total() const { return total_; }

 private:
  std::span<Observance> out_;
  std::size_t written_ = 0;
  std::size_t total_ = 0;
};

std::int32_t minutesOf(std::int64_t offset) { return static_cast<std::int32_t>(offset / kSecondsPerMinute); }

Observance onceAt(bool daylight, std::int64_t start, std::int64_t offsetFrom, std::int64_t offsetTo) {
  return {daylight, start, minutesOf(offsetFrom), minutesOf(offsetTo), false, 0, 0, 0, false, 0};
}

bool hasAbsoluteDate(const Rule& rule) { return rule.standardDate.year != 0 || rule.daylightDate.year != 0; }

// The first rule written starts in 1601, as Outlook writes it. Recurring
// onsets start there by themselves; a rule without them needs an observance
// for the time before its first onset, in the reading it starts with.
void describeFirstStart(const Rule& rule, ObservanceList& list) {
  if (observesDaylight(rule) && !hasAbsoluteDate(rule)) return;
  std::int64_t start = civil::daysFromCivil(kFirstWrittenYear, 1, 1) * kSecondsPerDay;
  Reading reading = readingOfRule(rule, start - standardOffset(rule), kFirstWrittenYear);
  list.add(onceAt(reading.daylight, start, reading.offset, reading.offset));
}

// A later rule starts on January 1 of its year; an observance marks the start
// when the offset changes there, and always for a rule without daylight
// saving, which has no other.
void describeRuleStart(const Zone& zone, const Rule& rule, ObservanceList& list) {
  std::int64_t start = yearStart(rule, rule.year);
  Reading before = readingAt(zone, start - 1);
  Reading after = readingOfRule(rule, start, rule.year);
  if (observesDaylight(rule) && before.offset == after.offset) return;
  list.add(onceAt(after.daylight, start + before.offset, before.offset, after.offset));
}

// The years a written rule covers: from startYear to before endYear (if any).
struct Span {
  std::int64_t startYear;
  std::optional<std::int64_t> endYear;
};

void describeOnset(const Rule& rule, const SystemTime& when, bool daylight, Span span, ObservanceList& list) {
  std::int64_t from = daylight ? standardOffset(rule) : daylightOffset(rule);
  std::int64_t to = daylight ? daylightOffset(rule) : standardOffset(rule);
  if (when.year != 0) {
    bool covered = when.year >= span.startYear && (!span.endYear || when.year < *span.endYear);
    if (covered) list.add(onceAt(daylight, *localTransition(when, when.year), from, to));
    return;
  }
  Observance observance = onceAt(daylight, *localTransition(when, span.startYear), from, to);
  observance.recurs = true;
  observance.month = static_cast<std::uint8_t>(when.month);
  observance.week = static_cast<std::int8_t>(when.day == 5 ? -1 : when.day);
  observance.weekday = static_cast<std::uint8_t>(when.dayOfWeek);
  if (span.endYear) {
    observance.hasUntil = true;
    observance.untilUtc = *localTransition(when, *span.endYear - 1) - from;
  }
  list.add(observance);
}

void describeRule(const Zone& zone, std::size_t index, bool first, ObservanceList& list) {
  Rule rule = zone.rule(index);
  Span span{first ? kFirstWrittenYear : rule.year, std::nullopt};
  if (index + 1 < zone.ruleCount()) span.endYear = zone.rule(index + 1).year;
  if (first) {
    describeFirstStart(rule, list);
  } else {
    describeRuleStart(zone, rule, list);
  }
  if (!observesDaylight(rule)) return;
  describeOnset(rule, rule.standardDate, false, span, list);
  describeOnset(rule, rule.daylightDate, true, span, list);
}

// Every rule written is in force for some year from 1601 on: the first holds
// the year max(fromYear, 1601), and each later one starts after it, so every
// span has at least one year and each recurring onset has a last one.
ObservanceList describe(const Zone& zone, std::int64_t fromYear, std::span<Observance> out) {
  ObservanceList list(out);
  if (zone.ruleCount() == 0) return list;
  std::size_t first = ruleIndexForYear(zone, std::max(fromYear, kFirstWrittenYear));
  for (std::size_t index = first; index < zone.ruleCount(); ++index) describeRule(zone, index, index == first, list);
  return list;
}

}  // namespace

std::size_t describeObservances(const Zone& zone, std::int64_t fromYear, std::span<Observance> out) {
  return describe(zone, fromYear, out).written();
}

std::size_t observanceCount(const Zone& zone, std::int64_t fromYear) { return describe(zone, fromYear, {}).total(); }

}  // namespace wendrel::timezone
