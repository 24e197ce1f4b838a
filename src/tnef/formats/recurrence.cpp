// Recurrence patterns: the checked walk over the pattern, the exception
// arrays and their cursor, and the pattern restated as an iCalendar rule.

#include "wendrel/formats/recurrence.h"

#include <array>

#include "wendrel/formats/civil_time.h"

namespace wendrel::recurrence {

namespace {

constexpr std::uint16_t kPatternVersion = 0x3004;
constexpr std::uint32_t kReaderVersion2 = 0x3006;
constexpr std::uint32_t kOldestWriterVersion2 = 0x3008;
constexpr std::uint32_t kChangeHighlightVersion = 0x3009;
constexpr std::size_t kDateSize = 4;
constexpr std::size_t kShortestExceptionInfo = 3 * 4 + 2;  // three dates and the flags
constexpr std::uint32_t kChangeHighlightValueSize = 4;
constexpr std::uint32_t kMonthsPerYear = 12;
constexpr std::uint32_t kLastDayOfMonth = 31;

// Reads fields in order; the first damage sticks and stops it, so every later
// read yields 0 or an empty view and records nothing more.
class Reader {
 public:
  explicit Reader(ByteView bytes, std::size_t at = 0) : bytes_(bytes), at_(at < bytes.size() ? at : bytes.size()) {}

  Damage damage() const { return damage_; }
  bool sound() const { return damage_ == Damage::none; }
  std::size_t at() const { return at_; }
  std::size_t left() const { return bytes_.size() - at_; }
  // The bytes read since from.
  ByteView readSince(std::size_t from) const { return bytes_.sub(from, at_ - from); }

  std::uint16_t word() {
    std::uint16_t value = bytes_.word(at_);
    step(2, Damage::truncated);
    return value;
  }

  std::uint32_t dword() {
    std::uint32_t value = bytes_.dword(at_);
    step(4, Damage::truncated);
    return value;
  }

  // Bytes whose number a count or length gave: too many is a bad count.
  ByteView take(std::size_t count) {
    ByteView view = bytes_.sub(at_, count);
    step(count, Damage::badCount);
    return sound() ? view : ByteView();
  }

  // count items of size bytes each, checked before anything is multiplied.
  ByteView takeItems(std::uint32_t count, std::size_t size) {
    if (count > left() / size) {
      fail(Damage::badCount);
      return ByteView();
    }
    return take(count * size);
  }

  void fail(Damage damage) {
    if (sound()) damage_ = damage;
    at_ = bytes_.size();
  }

 private:
  void step(std::size_t count, Damage ifShort) {
    if (count <= left()) {
      at_ += count;
    } else {
      fail(ifShort);
    }
  }

  ByteView bytes_;
  std::size_t at_;
  Damage damage_ = Damage::none;
};

// ---- The values the format allows ----

bool isMonthPattern(PatternType type) { return type != PatternType::day && type != PatternType::week; }

bool isKnownPatternType(PatternType type) {
  switch (type) {
    case PatternType::day:
    case PatternType::week:
    case PatternType::month:
    case PatternType::monthNth:
    case PatternType::monthEnd:
    case PatternType::hijriMonth:
    case PatternType::hijriMonthNth:
    case PatternType::hijriMonthEnd:
      return true;
  }
  return false;
}

// "Every weekday" is a daily series kept as a week pattern.
bool frequencyAllows(RecurFrequency frequency, PatternType type) {
  if (!isKnownPatternType(type)) return false;
  switch (frequency) {
    case RecurFrequency::daily:
      return type == PatternType::day || type == PatternType::week;
    case RecurFrequency::weekly:
      return type == PatternType::week;
    case RecurFrequency::monthly:
    case RecurFrequency::yearly:
      return isMonthPattern(type);
  }
  return false;
}

// The CAL_* values: 0x0000-0x000C, 0x000E-0x0014 and 0x0017 (CAL_UMALQURA).
bool isKnownCalendar(std::uint16_t calendar) {
  return calendar <= 0x000C || (calendar >= 0x000E && calendar <= 0x0014) || calendar == 0x0017;
}

bool isHijriPattern(PatternType type) {
  return type == PatternType::hijriMonth || type == PatternType::hijriMonthNth || type == PatternType::hijriMonthEnd;
}

// Default (unless the pattern is a Hijri one), CAL_GREGORIAN, CAL_GREGORIAN_US,
// the Japanese, Taiwanese, Korean and Thai eras (Gregorian months and days,
// years counted otherwise) and the four localized forms
// CAL_GREGORIAN_ME_FRENCH to CAL_GREGORIAN_XLIT_FRENCH.
bool countsGregorianMonths(const RecurrencePattern& pattern) {
  std::uint16_t calendar = pattern.calendarType;
  if (isHijriPattern(pattern.patternType)) return false;
  return calendar <= 0x0005 || calendar == 0x0007 || (calendar >= 0x0009 && calendar <= 0x000C);
}

bool isWeekDayMask(std::uint32_t mask) { return mask != 0 && (mask & ~kAllWeekDays) == 0; }

bool isEndType(EndType type) {
  return type == EndType::afterDate || type == EndType::afterCount || type == EndType::never ||
         type == EndType::neverToo;
}

// ---- The pattern ----

void readHeader(Reader& r, RecurrencePattern& p) {
  p.readerVersion = r.word();
  p.writerVersion = r.word();
  p.frequency = RecurFrequency{r.word()};
  p.patternType = PatternType{r.word()};
  p.calendarType = r.word();
  p.firstDateTime = r.dword();
  p.period = r.dword();
  p.slidingFlag = r.dword();
  if (!r.sound()) return;
  bool versionsKnown = p.readerVersion == kPatternVersion && p.writerVersion == kPatternVersion;
  if (!versionsKnown || !frequencyAllows(p.frequency, p.patternType) || !isKnownCalendar(p.calendarType) ||
      p.period == 0) {
    r.fail(Damage::badValue);
  }
}

void readPatternTypeSpecific(Reader& r, RecurrencePattern& p) {
  bool valid = true;
  if (p.patternType == PatternType::week) {
    p.weekDays = r.dword();
    valid = isWeekDayMask(p.weekDays);
  } else if (p.patternType == PatternType::monthNth || p.patternType == PatternType::hijriMonthNth) {
    p.weekDays = r.dword();
    p.nth = r.dword();
    valid = isWeekDayMask(p.weekDays) && p.nth >= 1 && p.nth <= kLastOfMonth;
  } else if (p.patternType != PatternType::day) {
    p.dayOfMonth = r.dword();
    valid = p.dayOfMonth >= 1 && p.dayOfMonth <= kLastDayOfMonth;
  }
  if (r.sound() && !valid) r.fail(Damage::badValue);
}

void readEnd(Reader& r, RecurrencePattern& p) {
  p.endType = EndType{r.dword()};
  p.occurrenceCount = r.dword();
  p.firstDayOfWeek = r.dword();
  if (r.sound() && (!isEndType(p.endType) || p.firstDayOfWeek > 6)) r.fail(Damage::badValue);
}

void readInstanceDates(Reader& r, RecurrencePattern& p) {
  p.deletedInstanceCount = r.dword();
  p.deletedInstanceDates = r.takeItems(p.deletedInstanceCount, kDateSize);
  p.modifiedInstanceCount = r.dword();
  // A modified instance is also listed among the deleted ones, at its original date.
  if (r.sound() && p.modifiedInstanceCount > p.deletedInstanceCount) r.fail(Damage::badCount);
  p.modifiedInstanceDates = r.takeItems(p.modifiedInstanceCount, kDateSize);
  p.startDate = r.dword();
  p.endDate = r.dword();
}

RecurrencePattern readPattern(Reader& r) {
  RecurrencePattern p;
  readHeader(r, p);
  readPatternTypeSpecific(r, p);
  readEnd(r, p);
  readInstanceDates(r, p);
  p.damage = r.damage();
  p.size = r.sound() ? r.at() : 0;
  return p;
}

// ---- Exceptions ----

// Subject or Location: a length that counts itself, the number of bytes, then the bytes.
ByteView readNarrowText(Reader& r) {
  std::uint32_t length = r.word();
  std::uint32_t bytes = r.word();
  if (r.sound() && bytes + 1 != length) r.fail(Damage::badCount);
  return r.take(bytes);
}

// WideCharSubject or WideCharLocation: a count of UTF-16 code units, then the units.
ByteView readWideText(Reader& r) { return r.take(std::size_t{r.word()} * 2); }

std::uint32_t readIf(Reader& r, const Exception& e, Override flag) { return e.overrides(flag) ? r.dword() : 0; }

void readExceptionInfo(Reader& r, Exception& e) {
  e = Exception{};
  e.startDateTime = r.dword();
  e.endDateTime = r.dword();
  e.originalStartDate = r.dword();
  e.overrideFlags = r.word();
  // A flag this format does not know could bring a field it does not know.
  if (r.sound() && (e.overrideFlags & ~kAllOverrides) != 0) r.fail(Damage::badValue);
  if (e.overrides(kOverrideSubject)) e.subject = readNarrowText(r);
  e.meetingType = readIf(r, e, kOverrideMeetingType);
  e.reminderDelta = readIf(r, e, kOverrideReminderDelta);
  e.reminderSet = readIf(r, e, kOverrideReminderSet);
  if (e.overrides(kOverrideLocation)) e.location = readNarrowText(r);
  e.busyStatus = readIf(r, e, kOverrideBusyStatus);
  e.attachment = readIf(r, e, kOverrideAttachment);
  e.subType = readIf(r, e, kOverrideSubType);
  e.appointmentColor = readIf(r, e, kOverrideAppointmentColor);
}

// The reserved blocks should be empty, but their sizes say how far to skip.
void skipReservedBlock(Reader& r) { r.take(r.dword()); }

void readChangeHighlight(Reader& r, Exception& e) {
  std::uint32_t size = r.dword();
  if (r.sound() && size < kChangeHighlightValueSize) r.fail(Damage::badCount);
  if (!r.sound()) return;
  e.hasChangeHighlight = true;
  e.changeHighlight = r.dword();
  r.take(size - kChangeHighlightValueSize);
}

// The ExtendedException that goes with e, whose ExceptionInfo was read.
void readExtendedException(Reader& r, bool changeHighlight, Exception& e) {
  if (changeHighlight) readChangeHighlight(r, e);
  skipReservedBlock(r);
  if (!e.overrides(kOverrideSubject) && !e.overrides(kOverrideLocation)) return;
  for (int date = 0; date < 3; ++date) r.dword();  // the ExceptionInfo's three dates again
  if (e.overrides(kOverrideSubject)) e.wideSubject = readWideText(r);
  if (e.overrides(kOverrideLocation)) e.wideLocation = readWideText(r);
  skipReservedBlock(r);
}

void readVersionsAndTimes(Reader& r, AppointmentRecurrencePattern& a) {
  a.readerVersion2 = r.dword();
  a.writerVersion2 = r.dword();
  a.startTimeOffset = r.dword();
  a.endTimeOffset = r.dword();
  a.exceptionCount = r.word();
  if (!r.sound()) return;
  if (a.readerVersion2 != kReaderVersion2 || a.writerVersion2 < kOldestWriterVersion2) {
    r.fail(Damage::badValue);
  } else if (a.exceptionCount != a.pattern.modifiedInstanceCount ||
             a.exceptionCount > r.left() / kShortestExceptionInfo) {
    r.fail(Damage::badCount);
  }
}

void readExceptionInfos(Reader& r, AppointmentRecurrencePattern& a) {
  std::size_t from = r.at();
  Exception e;
  for (std::uint16_t i = 0; i < a.exceptionCount && r.sound(); ++i) readExceptionInfo(r, e);
  a.exceptionInfos = r.readSince(from);
}

// Each ExtendedException's fields depend on its ExceptionInfo's flags, so
// the infos are read again alongside.
void readExtendedExceptions(Reader& r, AppointmentRecurrencePattern& a) {
  std::size_t from = r.at();
  bool changeHighlight = a.writerVersion2 >= kChangeHighlightVersion;
  Reader infos(a.exceptionInfos);
  Exception e;
  for (std::uint16_t i = 0; i < a.exceptionCount && r.sound(); ++i) {
    readExceptionInfo(infos, e);
    readExtendedException(r, changeHighlight, e);
  }
  a.extendedExceptions = r.readSince(from);
}

// ---- The rule ----

std::uint32_t dayOf(std::uint32_t minutes) { return minutes / civil::kMinutesPerDay; }

unsigned monthOf(std::uint32_t minutes) { return civil::civilFromDays(dayOf(minutes)).month; }

bool setEnd(const RecurrencePattern& p, Rule& rule) {
  switch (p.endType) {
    case EndType::afterDate:
      rule.end = Rule::End::date;
      rule.endDate = dayOf(p.endDate);
      return p.endDate >= p.startDate;
    case EndType::afterCount:
      rule.end = Rule::End::count;
      rule.count = p.occurrenceCount;
      return p.occurrenceCount != 0;
    case EndType::never:
    case EndType::neverToo:
      rule.end = Rule::End::never;
      return true;
  }
  return false;
}

// Period counts minutes; only whole days make a daily rule.
bool setDaily(const RecurrencePattern& p, Rule& rule) {
  rule.frequency = Frequency::daily;
  rule.interval = p.period / civil::kMinutesPerDay;
  return p.period % civil::kMinutesPerDay == 0;
}

void setWeekly(const RecurrencePattern& p, Rule& rule) {
  rule.frequency = Frequency::weekly;
  rule.interval = p.period;
  rule.weekDays = static_cast<std::uint8_t>(p.weekDays);
}

// The day in each month: the 31st falls on the last day of shorter months.
void setDayInMonth(const RecurrencePattern& p, Rule& rule) {
  if (p.patternType == PatternType::monthNth) {
    rule.weekDays = static_cast<std::uint8_t>(p.weekDays);
    rule.setPosition = p.nth == kLastOfMonth ? -1 : static_cast<std::int8_t>(p.nth);
  } else if (p.patternType == PatternType::monthEnd || p.dayOfMonth == kLastDayOfMonth) {
    rule.monthDay = -1;
  } else {
    rule.monthDay = static_cast<std::int8_t>(p.dayOfMonth);
  }
}

// Period counts months whatever RecurFrequency says, so every whole number of
// years is a yearly rule, in the month that FirstDateTime gives (the month of
// the first instance too). A yearly series must keep to whole years.
bool setMonthlyOrYearly(const RecurrencePattern& p, Rule& rule) {
  setDayInMonth(p, rule);
  if (p.period % kMonthsPerYear != 0) {
    rule.frequency = Frequency::monthly;
    rule.interval = p.period;
    return p.frequency != RecurFrequency::yearly;
  }
  rule.frequency = Frequency::yearly;
  rule.interval = p.period / kMonthsPerYear;
  rule.month = static_cast<std::uint8_t>(monthOf(p.firstDateTime));
  return rule.month == monthOf(p.startDate);
}

bool setFrequency(const RecurrencePattern& p, Rule& rule) {
  if (p.patternType == PatternType::day) return setDaily(p, rule);
  if (p.patternType == PatternType::week) {
    setWeekly(p, rule);
    return true;
  }
  // Days and weeks are the same in every calendar; months are not.
  return countsGregorianMonths(p) && setMonthlyOrYearly(p, rule);
}

constexpr std::array<std::string_view, 4> kDamageNames{"none", "truncated", "badCount", "badValue"};

}  // namespace

std::string_view damageName(Damage damage) {
  auto index = static_cast<std::size_t>(damage);
  return index < kDamageNames.size() ? kDamageNames[index] : "unknown";
}

RecurrencePattern decodeRecurrencePattern(ByteView blob) {
  Reader r(blob);
  return readPattern(r);
}

AppointmentRecurrencePattern decodeAppointmentRecurrence(ByteView blob) {
  AppointmentRecurrencePattern a;
  Reader r(blob);
  a.pattern = readPattern(r);
  readVersionsAndTimes(r, a);
  readExceptionInfos(r, a);
  skipReservedBlock(r);
  readExtendedExceptions(r, a);
  skipReservedBlock(r);
  a.damage = r.damage();
  a.size = r.sound() ? r.at() : 0;
  return a;
}

ExceptionCursor AppointmentRecurrencePattern::exceptions() const {
  if (damage != Damage::none) return ExceptionCursor();
  return ExceptionCursor(exceptionInfos, extendedExceptions, exceptionCount,
                         writerVersion2 >= kChangeHighlightVersion);
}

bool ExceptionCursor::next(Exception& exception) {
  if (left_ == 0) return false;
  Reader info(infos_);
  Reader extended(extended_);
  readExceptionInfo(info, exception);
  readExtendedException(extended, changeHighlights_, exception);
  if (!info.sound() || !extended.sound()) {
    left_ = 0;
    return false;
  }
  infos_ = infos_.sub(info.at());
  extended_ = extended_.sub(extended.at());
  --left_;
  return true;
}

std::optional<Rule> ruleOf(const RecurrencePattern& pattern) {
  // A sliding task counts each instance from the completion of the last: no rule says that.
  if (pattern.damage != Damage::none || pattern.slidingFlag != 0) return std::nullopt;
  Rule rule;
  rule.weekStart = static_cast<std::uint8_t>(pattern.firstDayOfWeek);
  if (!setEnd(pattern, rule) || !setFrequency(pattern, rule)) return std::nullopt;
  return rule;
}

}  // namespace wendrel::recurrence
