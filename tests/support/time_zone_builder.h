#pragma once
// Builds time zone blobs for tests and fuzz seeds: PidLidTimeZoneStruct and
// TZDEFINITION (MS-OXOCAL 2.2.1.39, 2.2.1.41), with every header and rule
// field a test may want to get wrong.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "stream_builder.h"
#include "wendrel/formats/civil_time.h"
#include "wendrel/formats/time_zones.h"

namespace wendrel::test {

using timezone::Rule;
using timezone::SystemTime;

// The week-th weekday of month (week 5: the last) at hour, every year.
inline SystemTime relativeDate(std::uint16_t month, std::uint16_t weekday, std::uint16_t week, std::uint16_t hour) {
  return {0, month, weekday, week, hour, 0, 0, 0};
}

// That one day at hour, with its day of the week.
inline SystemTime absoluteDate(std::uint16_t year, std::uint16_t month, std::uint16_t day, std::uint16_t hour) {
  auto weekday = static_cast<std::uint16_t>(civil::weekday(civil::daysFromCivil(year, month, day)));
  return {year, month, weekday, day, hour, 0, 0, 0};
}

inline void appendSystemTime(Bytes& bytes, const SystemTime& t) {
  for (std::uint16_t field : {t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute, t.second, t.milliseconds}) {
    appendWord(bytes, field);
  }
}

inline void appendBiases(Bytes& bytes, const Rule& rule) {
  appendDword(bytes, static_cast<std::uint32_t>(rule.bias));
  appendDword(bytes, static_cast<std::uint32_t>(rule.standardBias));
  appendDword(bytes, static_cast<std::uint32_t>(rule.daylightBias));
}

inline Bytes timeZoneStruct(const Rule& rule) {
  Bytes bytes;
  appendBiases(bytes, rule);
  appendWord(bytes, rule.standardDate.year);
  appendSystemTime(bytes, rule.standardDate);
  appendWord(bytes, rule.daylightDate.year);
  appendSystemTime(bytes, rule.daylightDate);
  return bytes;
}

// What a test may change in a TZDEFINITION; the defaults are what Outlook writes.
struct TimeZoneLayout {
  std::uint8_t major = 0x02, minor = 0x01;
  std::optional<std::uint16_t> cbHeader;
  std::uint16_t reserved = 0x0002;
  std::optional<std::uint16_t> cchKeyName, cRules;
  Bytes headerExtra;  // after cRules, counted in cbHeader
  std::uint8_t ruleMajor = 0x02, ruleMinor = 0x01;
  std::optional<std::uint16_t> cbRule;
  Bytes ruleExtra;  // after each rule, counted in cbRule
};

inline void appendTimeZoneRule(Bytes& bytes, const Rule& rule, const TimeZoneLayout& layout) {
  bytes.push_back(layout.ruleMajor);
  bytes.push_back(layout.ruleMinor);
  appendWord(bytes, layout.cbRule.value_or(static_cast<std::uint16_t>(0x3E + layout.ruleExtra.size())));
  appendWord(bytes, rule.flags);
  appendWord(bytes, rule.year);
  for (int i = 0; i < 14; ++i) bytes.push_back(0);  // the rest of the start time
  appendBiases(bytes, rule);
  appendSystemTime(bytes, rule.standardDate);
  appendSystemTime(bytes, rule.daylightDate);
  appendBytes(bytes, layout.ruleExtra);
}

inline Bytes timeZoneDefinition(std::u16string_view keyName, const std::vector<Rule>& rules,
                                const TimeZoneLayout& layout = {}) {
  Bytes bytes{layout.major, layout.minor};
  auto counted = static_cast<std::uint16_t>(6 + 2 * keyName.size() + layout.headerExtra.size());
  appendWord(bytes, layout.cbHeader.value_or(counted));
  appendWord(bytes, layout.reserved);
  appendWord(bytes, layout.cchKeyName.value_or(static_cast<std::uint16_t>(keyName.size())));
  for (char16_t unit : keyName) appendWord(bytes, unit);
  appendWord(bytes, layout.cRules.value_or(static_cast<std::uint16_t>(rules.size())));
  appendBytes(bytes, layout.headerExtra);
  for (const Rule& rule : rules) appendTimeZoneRule(bytes, rule, layout);
  return bytes;
}

}  // namespace wendrel::test
