// Time zone blobs: both layouts read back, the MS-OXOCAL example blob, every
// kind of damage, conversions around the transitions of northern, southern,
// fixed and absolute-date zones (gaps and overlaps included), the choice of
// rule by year, the extremes of the time range, and observances that, read
// the RFC 5545 way, give the offsets the conversions give.

#include "wendrel/formats/time_zones.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "stream_builder.h"
#include "time_zone_builder.h"

namespace wendrel::timezone {

void PrintTo(Damage damage, std::ostream* os) { *os << damageName(damage); }

namespace {

using test::Bytes;

// ---- Times ----

std::int64_t at(std::int64_t year, unsigned month, unsigned day, unsigned hour = 0, unsigned minute = 0,
                unsigned second = 0) {
  return civil::toSeconds({{year, month, day}, hour, minute, second});
}

constexpr std::int64_t kHour = 3600;

std::string show(std::int64_t seconds) {
  civil::DateTime t = civil::fromSeconds(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(t.date.year),
                t.date.month, t.date.day, t.hour, t.minute, t.second);
  return text;
}

// ---- Rules and blobs ----

SystemTime relative(std::uint16_t month, std::uint16_t weekday, std::uint16_t week, std::uint16_t hour) {
  return test::relativeDate(month, weekday, week, hour);
}

SystemTime absolute(std::uint16_t year, std::uint16_t month, std::uint16_t day, std::uint16_t hour) {
  return test::absoluteDate(year, month, day, hour);
}

constexpr SystemTime kNoDate{0, 0, 0, 0, 0, 0, 0, 0};

Rule usEastern(std::uint16_t year = 0) { return {year, 0, 300, 0, -60, relative(11, 0, 1, 2), relative(3, 0, 2, 2)}; }
Rule usEasternBefore2007(std::uint16_t year = 0) {
  return {year, 0, 300, 0, -60, relative(10, 0, 5, 2), relative(4, 0, 1, 2)};
}
Rule ausEastern(std::uint16_t year = 0) {
  return {year, 0, -600, 0, -60, relative(4, 0, 1, 3), relative(10, 0, 1, 2)};
}
Rule fixedOffset(std::int32_t bias, std::uint16_t year = 0) { return {year, 0, bias, 0, 0, kNoDate, kNoDate}; }
// Egypt-like: one season of daylight saving given by absolute dates.
Rule absoluteSeason(std::uint16_t year) {
  return {year, 0, -120, 0, -60, absolute(2014, 9, 25, 23), absolute(2014, 5, 15, 0)};
}

using Layout = test::TimeZoneLayout;
using test::timeZoneDefinition;
using test::timeZoneStruct;

ByteView view(const Bytes& bytes) { return ByteView(bytes.data(), bytes.size()); }

Bytes fromHex(std::string_view hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

// A Zone whose blob lives as long as it does.
struct Held {
  Bytes blob;
  Zone zone;
  Damage damage = Damage::none;
};

Held heldStruct(const Rule& rule) {
  Held held{timeZoneStruct(rule), {}, {}};
  held.damage = readTimeZoneStruct(view(held.blob), held.zone);
  return held;
}

Held heldDefinition(std::u16string_view keyName, const std::vector<Rule>& rules, const Layout& layout = {}) {
  Held held{timeZoneDefinition(keyName, rules, layout), {}, {}};
  held.damage = readTimeZoneDefinition(view(held.blob), held.zone);
  return held;
}

bool sameDate(const SystemTime& a, const SystemTime& b) {
  return a.year == b.year && a.month == b.month && a.dayOfWeek == b.dayOfWeek && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.milliseconds == b.milliseconds;
}

void expectSameRule(const Rule& got, const Rule& want, const std::string& name) {
  EXPECT_EQ(got.year, want.year) << name;
  EXPECT_EQ(got.flags, want.flags) << name;
  EXPECT_EQ(got.bias, want.bias) << name;
  EXPECT_EQ(got.standardBias, want.standardBias) << name;
  EXPECT_EQ(got.daylightBias, want.daylightBias) << name;
  EXPECT_TRUE(sameDate(got.standardDate, want.standardDate)) << name;
  EXPECT_TRUE(sameDate(got.daylightDate, want.daylightDate)) << name;
}

std::string keyNameOf(const Zone& zone) {
  std::string text(zone.keyNameUtf8Length(), '\0');
  text.resize(zone.keyNameUtf8(std::span<char>(text.data(), text.size())));
  return text;
}

// ---- Reading ----

TEST(TimeZoneStruct, ReadsTheRuleBack) {
  for (const Rule& rule : {usEastern(), ausEastern(), fixedOffset(-330), absoluteSeason(0)}) {
    Held held = heldStruct(rule);
    ASSERT_EQ(held.damage, Damage::none);
    ASSERT_EQ(held.zone.ruleCount(), 1u);
    expectSameRule(held.zone.rule(0), rule, "struct");
    EXPECT_TRUE(held.zone.keyName().empty());
  }
}

TEST(TimeZoneStruct, BytesAfterTheStructureAreIgnored) {
  Bytes blob = timeZoneStruct(usEastern());
  blob.push_back(0xFF);
  Zone zone;
  EXPECT_EQ(readTimeZoneStruct(view(blob), zone), Damage::none);
  EXPECT_EQ(zone.ruleCount(), 1u);
}

TEST(TimeZoneDefinition, ReadsKeyNameAndRulesBack) {
  std::vector<Rule> rules{usEasternBefore2007(2006), usEastern(2007)};
  rules[1].flags = kRuleEffective | kRuleRecurCurrent;
  Held held = heldDefinition(u"Eastern Standard Time", rules);
  ASSERT_EQ(held.damage, Damage::none);
  ASSERT_EQ(held.zone.ruleCount(), 2u);
  expectSameRule(held.zone.rule(0), rules[0], "rule 0");
  expectSameRule(held.zone.rule(1), rules[1], "rule 1");
  EXPECT_EQ(keyNameOf(held.zone), "Eastern Standard Time");
  EXPECT_EQ(held.zone.keyName().size(), 42u);
}

// The PidLidAppointmentTimeZoneDefinitionRecur example of MS-OXOCAL 4.1.4.
TEST(TimeZoneDefinition, ReadsThePublishedExample) {
  Bytes blob = fromHex(
      "0201300002001500500061006300690066006900630020005300740061006E0064006100720064002000540069006D0065000200"
      "02013E000000D6070000000000000000000000000000E001000000000000C4FFFFFF00000A00000005000200000000000000000004"
      "00000001000200000000000000"
      "02013E000200D7070000000000000000000000000000E001000000000000C4FFFFFF00000B0000000100020000000000000000000300"
      "000002000200000000000000");
  ASSERT_EQ(blob.size(), 184u);
  Zone zone;
  ASSERT_EQ(readTimeZoneDefinition(view(blob), zone), Damage::none);
  EXPECT_EQ(keyNameOf(zone), "Pacific Standard Time");
  ASSERT_EQ(zone.ruleCount(), 2u);
  expectSameRule(zone.rule(0), {2006, 0, 480, 0, -60, relative(10, 0, 5, 2), relative(4, 0, 1, 2)}, "2006");
  expectSameRule(zone.rule(1), {2007, kRuleEffective, 480, 0, -60, relative(11, 0, 1, 2), relative(3, 0, 2, 2)},
                 "2007");
  // 2006 ended daylight saving on the last Sunday of October, 2007 on the first of November.
  EXPECT_EQ(utcToLocal(zone, at(2006, 10, 29, 9)), at(2006, 10, 29, 1));
  EXPECT_EQ(utcToLocal(zone, at(2007, 10, 28, 9)), at(2007, 10, 28, 2));
}

TEST(TimeZoneDefinition, LaterMinorVersionsMaySkipHeaderAndRuleBytes) {
  Layout layout;
  layout.minor = 0x02;
  layout.headerExtra = {0xAA, 0xBB, 0xCC};
  layout.ruleMinor = 0x02;
  layout.ruleExtra = {0xDD, 0xEE};
  Held held = heldDefinition(u"Eastern Standard Time", {usEasternBefore2007(2006), usEastern(2007)}, layout);
  ASSERT_EQ(held.damage, Damage::none);
  expectSameRule(held.zone.rule(1), usEastern(2007), "second rule past the extra bytes");
  EXPECT_EQ(keyNameOf(held.zone), "Eastern Standard Time");
}

TEST(TimeZoneDefinition, KeyNameToUtf8) {
  // é, €, a character beyond the BMP, then a lone high surrogate.
  std::u16string name = u"Zone \u00E9\u20AC\U0001F600";
  name.push_back(static_cast<char16_t>(0xD800));
  Held held = heldDefinition(name, {usEastern(2007)});
  ASSERT_EQ(held.damage, Damage::none);
  std::string want = "Zone \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD";
  EXPECT_EQ(keyNameOf(held.zone), want);
  EXPECT_EQ(held.zone.keyNameUtf8Length(), want.size());

  // A short buffer is cut between characters.
  char small[9];
  std::size_t written = held.zone.keyNameUtf8(small);
  EXPECT_EQ(std::string(small, written), "Zone \xC3\xA9");
  EXPECT_EQ(held.zone.keyNameUtf8(std::span<char>()), 0u);

  // A zero unit ends the name.
  Held stopped = heldDefinition(std::u16string(u"Ab\0cd", 5), {usEastern(2007)});
  EXPECT_EQ(keyNameOf(stopped.zone), "Ab");
}

// ---- Damage ----

struct DamageCase {
  std::string name;
  Bytes blob;
  Damage damage;
};

void expectDamage(const std::vector<DamageCase>& cases, Damage (*read)(ByteView, Zone&)) {
  for (const DamageCase& c : cases) {
    Zone zone;
    EXPECT_EQ(read(view(c.blob), zone), c.damage) << c.name;
    EXPECT_EQ(zone.ruleCount(), 0u) << c.name;
    EXPECT_TRUE(zone.keyName().empty()) << c.name;
  }
}

Bytes definitionWith(const Layout& layout, std::vector<Rule> rules = {usEasternBefore2007(2006), usEastern(2007)}) {
  return timeZoneDefinition(u"Eastern Standard Time", rules, layout);
}

template <typename Change>
Layout changed(Change change) {
  Layout layout;
  change(layout);
  return layout;
}

template <typename Change>
Rule changedRule(Change change) {
  Rule rule = usEastern(2007);
  change(rule);
  return rule;
}

// Rules that no zone can have, each in both kinds of blob.
std::vector<std::pair<std::string, Rule>> impossibleRules() {
  return {
      {"month 13", changedRule([](Rule& r) { r.standardDate.month = 13; })},
      {"week 0", changedRule([](Rule& r) { r.daylightDate.day = 0; })},
      {"week 6", changedRule([](Rule& r) { r.standardDate.day = 6; })},
      {"day of week 7", changedRule([](Rule& r) { r.daylightDate.dayOfWeek = 7; })},
      {"hour 24", changedRule([](Rule& r) { r.standardDate.hour = 24; })},
      {"minute 60", changedRule([](Rule& r) { r.daylightDate.minute = 60; })},
      {"second 60", changedRule([](Rule& r) { r.standardDate.second = 60; })},
      {"millisecond 1000", changedRule([](Rule& r) { r.daylightDate.milliseconds = 1000; })},
      {"standard date without daylight date", changedRule([](Rule& r) { r.daylightDate = kNoDate; })},
      {"daylight date without standard date", changedRule([](Rule& r) { r.standardDate = kNoDate; })},
      {"bias 0x7FFFFFFF", changedRule([](Rule& r) { r.bias = 0x7FFFFFFF; })},
      {"standard bias -2^31", changedRule([](Rule& r) { r.standardBias = INT32_MIN; })},
      {"daylight bias 0x7FFFFFFF", changedRule([](Rule& r) { r.daylightBias = 0x7FFFFFFF; })},
      {"bias of 24 hours and a minute", changedRule([](Rule& r) { r.bias = -1441; })},
      {"bias plus daylight bias beyond a day", changedRule([](Rule& r) {
         r.bias = 1000;
         r.daylightBias = 500;
       })},
      {"bias plus standard bias beyond a day", changedRule([](Rule& r) {
         r.bias = -1000;
         r.standardBias = -500;
       })},
      {"absolute April 31", changedRule([](Rule& r) {
         r.standardDate = absolute(2014, 4, 30, 2);
         r.standardDate.day = 31;
       })},
      {"absolute February 29 of 2015", changedRule([](Rule& r) {
         r.standardDate = absolute(2015, 2, 28, 2);
         r.standardDate.day = 29;
       })},
      {"absolute year 1600", changedRule([](Rule& r) {
         r.daylightDate = absolute(2014, 3, 1, 2);
         r.daylightDate.year = 1600;
       })},
      {"absolute year 30828", changedRule([](Rule& r) {
         r.daylightDate = absolute(2014, 3, 1, 2);
         r.daylightDate.year = 30828;
       })},
  };
}

TEST(TimeZoneHostile, ImpossibleRulesDamageBothKinds) {
  std::vector<DamageCase> structs, definitions;
  for (const auto& [name, rule] : impossibleRules()) {
    structs.push_back({name, timeZoneStruct(rule), Damage::badRule});
    definitions.push_back({name, timeZoneDefinition(u"X", {usEasternBefore2007(2006), rule}), Damage::badRule});
  }
  expectDamage(structs, readTimeZoneStruct);
  expectDamage(definitions, readTimeZoneDefinition);
}

TEST(TimeZoneHostile, PossibleEdgesAreSound) {
  // The extremes that are still possible: a day's bias, 23:59:59.999, week 5,
  // absolute February 29 of a leap year and the last year SYSTEMTIME holds.
  Rule edges = {0, 0, 1440, 0, -1440, absolute(2016, 2, 29, 23), relative(12, 6, 5, 23)};
  edges.daylightDate.minute = 59, edges.daylightDate.second = 59, edges.daylightDate.milliseconds = 999;
  edges.standardDate.minute = 59;
  Zone zone;
  EXPECT_EQ(readTimeZoneStruct(view(timeZoneStruct(edges)), zone), Damage::none);
  edges.standardDate = absolute(30827, 12, 31, 23);
  EXPECT_EQ(readTimeZoneStruct(view(timeZoneStruct(edges)), zone), Damage::none);
  // A zone without daylight saving may leave anything in the other date fields.
  Rule loose = fixedOffset(-330);
  loose.standardDate.hour = 99, loose.daylightDate.day = 77;
  EXPECT_EQ(readTimeZoneStruct(view(timeZoneStruct(loose)), zone), Damage::none);
}

TEST(TimeZoneHostile, HeaderAndCountDamage) {
  Layout longerKey;
  longerKey.cchKeyName = 22;
  expectDamage(
      {
          {"empty", {}, Damage::truncated},
          {"major version 1", definitionWith(changed([](Layout& l) { l.major = 1; })), Damage::badVersion},
          {"major version 3", definitionWith(changed([](Layout& l) { l.major = 3; })), Damage::badVersion},
          {"minor version 0", definitionWith(changed([](Layout& l) { l.minor = 0; })), Damage::badVersion},
          {"Reserved 0x0003 (a GUID)", definitionWith(changed([](Layout& l) { l.reserved = 3; })), Damage::badHeader},
          {"cbHeader below the fixed fields", definitionWith(changed([](Layout& l) { l.cbHeader = 4; })),
           Damage::badHeader},
          {"cbHeader short of the key name", definitionWith(changed([](Layout& l) { l.cbHeader = 40; })),
           Damage::badHeader},
          {"cbHeader longer than the fields at minor version 1",
           definitionWith(changed([](Layout& l) { l.cbHeader = 50; })), Damage::badHeader},
          {"cbHeader past the end", definitionWith(changed([](Layout& l) { l.cbHeader = 0xFFFF; })),
           Damage::truncated},
          {"cchKeyName past cbHeader", definitionWith(changed([](Layout& l) { l.cchKeyName = 0xFFFF; })),
           Damage::badHeader},
          {"cchKeyName past the end, cbHeader agreeing",
           definitionWith(changed([](Layout& l) { l.cchKeyName = 0x7FF0, l.cbHeader = 0xFFE6; })), Damage::truncated},
          {"cchKeyName one longer", definitionWith(longerKey), Damage::badHeader},
          {"no rules", definitionWith(changed([](Layout& l) { l.cRules = 0; })), Damage::badCount},
          {"cRules 0xFFFF", definitionWith(changed([](Layout& l) { l.cRules = 0xFFFF; })), Damage::badCount},
          {"cRules 1025", definitionWith(changed([](Layout& l) { l.cRules = 1025; })), Damage::badCount},
          {"cRules one more than there are", definitionWith(changed([](Layout& l) { l.cRules = 3; })),
           Damage::truncated},
      },
      readTimeZoneDefinition);
}

TEST(TimeZoneHostile, RuleRecordDamage) {
  expectDamage(
      {
          {"rule major version 1", definitionWith(changed([](Layout& l) { l.ruleMajor = 1; })), Damage::badVersion},
          {"rule minor version 0", definitionWith(changed([](Layout& l) { l.ruleMinor = 0; })), Damage::badVersion},
          {"rule size 0x3D", definitionWith(changed([](Layout& l) { l.cbRule = 0x3D; })), Damage::badRule},
          {"rule size 0x40 at minor version 1",
           definitionWith(changed([](Layout& l) { l.ruleExtra = {0, 0}; })), Damage::badRule},
          {"rule size past the end at a later minor version",
           definitionWith(changed([](Layout& l) { l.ruleMinor = 2, l.cbRule = 0xFFFF; })), Damage::truncated},
          {"equal years", definitionWith({}, {usEastern(2007), usEastern(2007)}), Damage::badOrder},
          {"falling years", definitionWith({}, {usEastern(2007), usEasternBefore2007(2006)}), Damage::badOrder},
      },
      readTimeZoneDefinition);

  // At a later minor version every rule must share the first one's size.
  Bytes blob = definitionWith(changed([](Layout& l) { l.ruleMinor = 2, l.ruleExtra = {0, 0}; }));
  blob[4 + 48 + 2] = 0x3E;  // the first rule's size, now short of the second's
  blob.erase(blob.begin() + 4 + 48 + 66, blob.begin() + 4 + 48 + 68);
  Zone zone;
  EXPECT_EQ(readTimeZoneDefinition(view(blob), zone), Damage::badRule);
}

TEST(TimeZoneHostile, EveryPrefixIsDamaged) {
  std::vector<Bytes> blobs{
      timeZoneStruct(usEastern()),
      timeZoneDefinition(u"Eastern Standard Time", {usEasternBefore2007(2006), usEastern(2007)}),
      timeZoneDefinition(u"", {fixedOffset(-330, 1601)}),
      definitionWith(changed([](Layout& l) { l.minor = 3, l.headerExtra = {1, 2, 3, 4}, l.ruleMinor = 2,
                                             l.ruleExtra = {5, 6}; })),
  };
  for (std::size_t b = 0; b < blobs.size(); ++b) {
    auto read = b == 0 ? readTimeZoneStruct : readTimeZoneDefinition;
    Zone zone;
    ASSERT_EQ(read(view(blobs[b]), zone), Damage::none) << "blob " << b;
    for (std::size_t size = 0; size < blobs[b].size(); ++size) {
      EXPECT_NE(read(ByteView(blobs[b].data(), size), zone), Damage::none) << "blob " << b << " cut at " << size;
      EXPECT_EQ(zone.ruleCount(), 0u);
    }
  }
}

TEST(TimeZoneHostile, DamageNames) {
  EXPECT_EQ(damageName(Damage::none), "none");
  EXPECT_EQ(damageName(Damage::truncated), "truncated");
  EXPECT_EQ(damageName(Damage::badOrder), "badOrder");
  EXPECT_EQ(damageName(static_cast<Damage>(200)), "unknown");
}

// Every byte of each blob set to a few values: whatever reads as sound must
// convert and describe without fault, within the documented bounds.
TEST(TimeZoneHostile, CorruptedBlobsConvertSafely) {
  std::vector<Bytes> blobs{
      timeZoneStruct(ausEastern()),
      timeZoneDefinition(u"E", {usEasternBefore2007(2006), absoluteSeason(2014), fixedOffset(-60, 2015)}),
  };
  std::vector<Observance> observances(3 * kMostRules);
  for (std::size_t b = 0; b < blobs.size(); ++b) {
    auto read = b == 0 ? readTimeZoneStruct : readTimeZoneDefinition;
    for (std::size_t i = 0; i < blobs[b].size(); ++i) {
      for (std::uint8_t value : {0x00, 0x01, 0x05, 0x0C, 0x17, 0x7F, 0x80, 0xFF}) {
        Bytes blob = blobs[b];
        blob[i] = value;
        Zone zone;
        if (read(view(blob), zone) != Damage::none) continue;
        for (std::int64_t t : {INT64_MIN, at(1601, 1, 1), at(2014, 5, 15), at(2015, 1, 1), at(30827, 6, 1),
                               INT64_MAX}) {
          std::int64_t local = utcToLocal(zone, t);
          EXPECT_LE(std::abs(local - std::clamp(t, kEarliestTime, kLatestTime)), 2 * civil::kSecondsPerDay);
          EXPECT_LE(std::abs(localToUtc(zone, local) - std::clamp(local, kEarliestTime, kLatestTime)),
                    2 * civil::kSecondsPerDay);
        }
        std::size_t count = observanceCount(zone, 2000);
        EXPECT_LE(count, kMostObservancesPerRule * zone.ruleCount());
        EXPECT_EQ(describeObservances(zone, 2000, observances), count);
      }
    }
  }
}

// ---- Conversions ----

struct Instant {
  std::string name;
  std::int64_t utc;
  std::int64_t local;
};

// Each pair is the same instant both ways.
void expectBothWays(const Zone& zone, const std::vector<Instant>& cases) {
  for (const Instant& c : cases) {
    EXPECT_EQ(show(utcToLocal(zone, c.utc)), show(c.local)) << c.name;
    EXPECT_EQ(show(localToUtc(zone, c.local)), show(c.utc)) << c.name;
  }
}

// Local times that are not the conversion of one instant: gaps and overlaps.
void expectLocalToUtc(const Zone& zone, const std::vector<Instant>& cases) {
  for (const Instant& c : cases) EXPECT_EQ(show(localToUtc(zone, c.local)), show(c.utc)) << c.name;
}

TEST(TimeZoneConversion, UsEasternAroundItsTransitions) {
  Held held = heldStruct(usEastern());
  expectBothWays(held.zone,
                 {
                     {"winter", at(2024, 1, 15, 17), at(2024, 1, 15, 12)},
                     {"second before spring-forward", at(2024, 3, 10, 6, 59, 59), at(2024, 3, 10, 1, 59, 59)},
                     {"spring-forward", at(2024, 3, 10, 7), at(2024, 3, 10, 3)},
                     {"summer", at(2024, 7, 4, 16), at(2024, 7, 4, 12)},
                     {"second before fall-back", at(2024, 11, 3, 5, 59, 59), at(2024, 11, 3, 1, 59, 59)},
                     {"after the overlap", at(2024, 11, 3, 7), at(2024, 11, 3, 2)},
                     {"turn of the year", at(2025, 1, 1, 4, 59, 59), at(2024, 12, 31, 23, 59, 59)},
                     {"1601, first year of FILETIME", at(1601, 3, 11, 7), at(1601, 3, 11, 3)},
                     {"30827, last year of SYSTEMTIME", at(30827, 7, 1, 4), at(30827, 7, 1)},
                 });
}

TEST(TimeZoneConversion, UsEasternGapAndOverlap) {
  Held held = heldStruct(usEastern());
  expectLocalToUtc(held.zone,
                   {
                       // 02:00-02:59:59 never happens: read with the offset before the gap (EST).
                       {"start of the gap", at(2024, 3, 10, 7), at(2024, 3, 10, 2)},
                       {"in the gap", at(2024, 3, 10, 7, 30), at(2024, 3, 10, 2, 30)},
                       {"end of the gap", at(2024, 3, 10, 7, 59, 59), at(2024, 3, 10, 2, 59, 59)},
                       // 01:00-01:59:59 happens twice: the first, in daylight time (EDT).
                       {"start of the overlap", at(2024, 11, 3, 5), at(2024, 11, 3, 1)},
                       {"in the overlap", at(2024, 11, 3, 5, 30), at(2024, 11, 3, 1, 30)},
                       {"end of the overlap", at(2024, 11, 3, 5, 59, 59), at(2024, 11, 3, 1, 59, 59)},
                       {"after the overlap", at(2024, 11, 3, 7), at(2024, 11, 3, 2)},
                   });
  // The second occurrence of the overlap converts to local time as well.
  EXPECT_EQ(utcToLocal(held.zone, at(2024, 11, 3, 6, 30)), at(2024, 11, 3, 1, 30));
  // The gap's reading lands after the gap.
  EXPECT_EQ(utcToLocal(held.zone, localToUtc(held.zone, at(2024, 3, 10, 2, 30))), at(2024, 3, 10, 3, 30));
}

TEST(TimeZoneConversion, SouthernHemisphere) {
  Held held = heldStruct(ausEastern());
  expectBothWays(held.zone,
                 {
                     {"summer, in daylight saving", at(2024, 1, 15, 1), at(2024, 1, 15, 12)},
                     {"second before the end of daylight saving", at(2024, 4, 6, 15, 59, 59),
                      at(2024, 4, 7, 2, 59, 59)},
                     {"winter", at(2024, 7, 1, 2), at(2024, 7, 1, 12)},
                     {"second before daylight saving", at(2024, 10, 5, 15, 59, 59), at(2024, 10, 6, 1, 59, 59)},
                     {"start of daylight saving", at(2024, 10, 5, 16), at(2024, 10, 6, 3)},
                     {"new year's eve in daylight saving", at(2024, 12, 31, 12, 59, 59), at(2024, 12, 31, 23, 59, 59)},
                     {"new year", at(2024, 12, 31, 13), at(2025, 1, 1)},
                 });
  expectLocalToUtc(held.zone,
                   {
                       {"gap, read in standard time", at(2024, 10, 5, 16, 30), at(2024, 10, 6, 2, 30)},
                       {"overlap, first occurrence in daylight time", at(2024, 4, 6, 15, 30), at(2024, 4, 7, 2, 30)},
                   });
  EXPECT_EQ(utcToLocal(held.zone, at(2024, 4, 6, 16, 30)), at(2024, 4, 7, 2, 30));
}

// Daylight saving ends on the first Sunday of January at 00:30 daylight time:
// in 2023, January 1, which is 23:30 of December 31 in standard time, so the
// transition belongs to 2023 and takes effect while standard time is in 2022.
Rule newYearEnd() {
  Rule rule = ausEastern();
  rule.standardDate = relative(1, 0, 1, 0);
  rule.standardDate.minute = 30;
  return rule;
}

TEST(TimeZoneConversion, TransitionInTheFirstMinutesOfTheYear) {
  Held held = heldStruct(newYearEnd());
  EXPECT_EQ(show(utcToLocal(held.zone, at(2022, 12, 31, 13, 29, 59))), show(at(2023, 1, 1, 0, 29, 59)));
  EXPECT_EQ(show(utcToLocal(held.zone, at(2022, 12, 31, 13, 30))), show(at(2022, 12, 31, 23, 30)));
  EXPECT_EQ(show(utcToLocal(held.zone, at(2022, 12, 31, 13, 45))), show(at(2022, 12, 31, 23, 45)));
  EXPECT_EQ(show(utcToLocal(held.zone, at(2022, 12, 31, 14))), show(at(2023, 1, 1)));
  expectLocalToUtc(held.zone, {
                                  {"overlap across the new year: first occurrence", at(2022, 12, 31, 12, 45),
                                   at(2022, 12, 31, 23, 45)},
                                  {"after the overlap", at(2022, 12, 31, 14, 30), at(2023, 1, 1, 0, 30)},
                              });
}

TEST(TimeZoneConversion, FixedOffsetAndUtc) {
  Held india = heldStruct(fixedOffset(-330));
  expectBothWays(india.zone, {
                                 {"winter", at(2024, 1, 1), at(2024, 1, 1, 5, 30)},
                                 {"summer", at(2024, 7, 1, 20), at(2024, 7, 2, 1, 30)},
                                 {"1601", at(1601, 1, 1), at(1601, 1, 1, 5, 30)},
                             });
  Zone utc;
  EXPECT_EQ(utcToLocal(utc, at(2024, 3, 10, 2)), at(2024, 3, 10, 2));
  EXPECT_EQ(localToUtc(utc, at(2024, 3, 10, 2)), at(2024, 3, 10, 2));
  EXPECT_EQ(utcOffsetAt(utc, at(2024, 3, 10, 2)), 0);
}

TEST(TimeZoneConversion, RuleOfEachYear) {
  Held held = heldDefinition(u"Eastern Standard Time", {usEasternBefore2007(2006), usEastern(2007)});
  expectBothWays(held.zone,
                 {
                     {"1990, before every rule: the first", at(1990, 4, 1, 7), at(1990, 4, 1, 3)},
                     {"1990, a second earlier", at(1990, 4, 1, 6, 59, 59), at(1990, 4, 1, 1, 59, 59)},
                     {"2006: April start", at(2006, 4, 2, 7), at(2006, 4, 2, 3)},
                     {"2006: second Sunday of March still standard", at(2006, 3, 12, 17), at(2006, 3, 12, 12)},
                     {"2006: last Sunday of October", at(2006, 10, 29, 7), at(2006, 10, 29, 2)},
                     {"2007: second Sunday of March", at(2007, 3, 11, 7), at(2007, 3, 11, 3)},
                     {"2007: last Sunday of October now daylight", at(2007, 10, 28, 16), at(2007, 10, 28, 12)},
                     {"2007: first Sunday of November", at(2007, 11, 4, 7), at(2007, 11, 4, 2)},
                     {"2030, after every rule: the last", at(2030, 3, 10, 7), at(2030, 3, 10, 3)},
                 });
  // A rule's year starts at its own midnight, standard time.
  EXPECT_EQ(utcToLocal(held.zone, at(2007, 1, 1, 5)), at(2007, 1, 1));
}

TEST(TimeZoneConversion, AbsoluteDates) {
  Held held = heldDefinition(u"Egypt Standard Time",
                             {fixedOffset(-120, 2013), absoluteSeason(2014), fixedOffset(-120, 2015)});
  ASSERT_EQ(held.damage, Damage::none);
  expectBothWays(held.zone,
                 {
                     {"2013, none", at(2013, 7, 1, 10), at(2013, 7, 1, 12)},
                     {"2014, before the season", at(2014, 5, 14, 21, 59, 59), at(2014, 5, 14, 23, 59, 59)},
                     {"2014, season starts", at(2014, 5, 14, 22), at(2014, 5, 15, 1)},
                     {"2014, in the season", at(2014, 8, 1, 9), at(2014, 8, 1, 12)},
                     {"2014, last second of the season", at(2014, 9, 25, 19, 59, 59), at(2014, 9, 25, 22, 59, 59)},
                     {"2014, after the season", at(2014, 9, 25, 21), at(2014, 9, 25, 23)},
                     {"2015, none", at(2015, 7, 1, 10), at(2015, 7, 1, 12)},
                 });
  // The same season with its dates in the other order is a southern one:
  // daylight saving before the standard date, standard time from it.
  Rule southern = {0, 0, -120, 0, -60, absolute(2014, 4, 6, 3), absolute(2014, 10, 5, 2)};
  Held reversed = heldStruct(southern);
  EXPECT_EQ(utcOffsetAt(reversed.zone, at(2014, 2, 1)), 3 * kHour);
  EXPECT_EQ(utcOffsetAt(reversed.zone, at(2014, 7, 1)), 2 * kHour);
  EXPECT_EQ(utcOffsetAt(reversed.zone, at(2014, 12, 1)), 3 * kHour);
}

TEST(TimeZoneConversion, BaseOffsetChangeAtNewYear) {
  // The offset moves from +3 to +4 with the 2011 rule: its year starts at
  // 2011-01-01 00:00 in +4, so the last hour of 2010 in +3 never happens.
  Held held = heldDefinition(u"Russian Standard Time", {fixedOffset(-180, 2010), fixedOffset(-240, 2011)});
  expectBothWays(held.zone, {
                                {"last second of the old rule", at(2010, 12, 31, 19, 59, 59), at(2010, 12, 31, 22, 59, 59)},
                                {"first second of the new one", at(2010, 12, 31, 20), at(2011, 1, 1)},
                            });
  expectLocalToUtc(held.zone, {{"in the new year's gap", at(2010, 12, 31, 20, 30), at(2010, 12, 31, 23, 30)}});
}

TEST(TimeZoneConversion, RuleFoundAmongManyYears) {
  // One rule a year, 2000 to 2999, each an offset of as many minutes east.
  std::vector<Rule> rules;
  for (std::uint16_t year = 2000; year < 3000; ++year) {
    rules.push_back(fixedOffset(-static_cast<std::int32_t>(year - 2000), year));
  }
  Held held = heldDefinition(u"Many", rules);
  ASSERT_EQ(held.damage, Damage::none);
  ASSERT_EQ(held.zone.ruleCount(), 1000u);
  for (std::int64_t year : {1601, 1999, 2000, 2001, 2500, 2998, 2999, 3000, 9999}) {
    std::int64_t minutes = std::clamp<std::int64_t>(year, 2000, 2999) - 2000;
    EXPECT_EQ(utcOffsetAt(held.zone, at(year, 6, 1)), minutes * 60) << year;
  }
}

TEST(TimeZoneConversion, ExtremesAreClampedNotOverflowed) {
  Held east = heldStruct({0, 0, -1380, 0, -60, relative(1, 0, 1, 0), relative(12, 6, 5, 23)});
  ASSERT_EQ(east.damage, Damage::none);
  Held west = heldStruct({0, 0, 1440, 0, 0, kNoDate, kNoDate});
  for (const Zone* zone : {&east.zone, &west.zone}) {
    for (std::int64_t t : {INT64_MIN, INT64_MIN + 1, kEarliestTime - 1, kEarliestTime, kLatestTime,
                           kLatestTime + 1, INT64_MAX - 1, INT64_MAX}) {
      std::int64_t clamped = std::clamp(t, kEarliestTime, kLatestTime);
      EXPECT_EQ(utcToLocal(*zone, t), clamped + utcOffsetAt(*zone, clamped));
      std::int64_t utc = localToUtc(*zone, t);
      EXPECT_LE(std::abs(utc - clamped), 2 * civil::kSecondsPerDay);
    }
  }
  EXPECT_EQ(utcToLocal(west.zone, INT64_MAX), kLatestTime - 24 * kHour);
  EXPECT_EQ(utcToLocal(west.zone, INT64_MIN), kEarliestTime - 24 * kHour);
  Zone utc;
  EXPECT_EQ(utcToLocal(utc, INT64_MIN), kEarliestTime);
  EXPECT_EQ(localToUtc(utc, INT64_MAX), kLatestTime);
}

// Converting to local time and back gives the same instant, except for the
// second pass through an overlap, which comes back as the first.
TEST(TimeZoneConversion, RoundTripsOverManyYears) {
  std::vector<Held> zones;
  zones.push_back(heldStruct(usEastern()));
  zones.push_back(heldStruct(ausEastern()));
  zones.push_back(heldDefinition(u"E", {usEasternBefore2007(2006), usEastern(2007)}));
  for (const Held& held : zones) {
    for (std::int64_t utc = at(1601, 1, 1); utc < at(2400, 1, 1); utc += 86400 * 7 + 3607) {
      std::int64_t local = utcToLocal(held.zone, utc);
      std::int64_t back = localToUtc(held.zone, local);
      EXPECT_EQ(utcToLocal(held.zone, back), local) << show(utc);
      EXPECT_TRUE(back == utc || back == utc - kHour) << show(utc);
    }
  }
}

// ---- Observances ----

std::vector<Observance> observancesOf(const Zone& zone, std::int64_t fromYear) {
  std::vector<Observance> observances(observanceCount(zone, fromYear));
  EXPECT_EQ(describeObservances(zone, fromYear, observances), observances.size());
  return observances;
}

Observance recurring(bool daylight, std::int64_t start, std::int32_t from, std::int32_t to, std::uint8_t month,
                     std::int8_t week, std::optional<std::int64_t> until = std::nullopt) {
  return {daylight, start, from, to, true, month, week, 0, until.has_value(), until.value_or(0)};
}

Observance once(bool daylight, std::int64_t start, std::int32_t from, std::int32_t to) {
  return {daylight, start, from, to, false, 0, 0, 0, false, 0};
}

void expectObservances(const std::vector<Observance>& got, const std::vector<Observance>& want,
                       const std::string& name) {
  ASSERT_EQ(got.size(), want.size()) << name;
  for (std::size_t i = 0; i < got.size(); ++i) {
    std::string which = name + ", observance " + std::to_string(i);
    EXPECT_EQ(got[i].daylight, want[i].daylight) << which;
    EXPECT_EQ(show(got[i].start), show(want[i].start)) << which;
    EXPECT_EQ(got[i].offsetFrom, want[i].offsetFrom) << which;
    EXPECT_EQ(got[i].offsetTo, want[i].offsetTo) << which;
    EXPECT_EQ(got[i].recurs, want[i].recurs) << which;
    if (got[i].recurs && want[i].recurs) {
      EXPECT_EQ(got[i].month, want[i].month) << which;
      EXPECT_EQ(got[i].week, want[i].week) << which;
      EXPECT_EQ(got[i].weekday, want[i].weekday) << which;
    }
    EXPECT_EQ(got[i].hasUntil, want[i].hasUntil) << which;
    if (got[i].hasUntil && want[i].hasUntil) {
      EXPECT_EQ(show(got[i].untilUtc), show(want[i].untilUtc)) << which;
    }
  }
}

TEST(TimeZoneObservances, AsOutlookWritesThem) {
  // 1601-03-11 and 1601-11-04 are the second Sunday of March and the first of
  // November 1601: the DTSTARTs Outlook gives Eastern time.
  expectObservances(observancesOf(heldStruct(usEastern()).zone, 2024),
                    {recurring(false, at(1601, 11, 4, 2), -240, -300, 11, 1),
                     recurring(true, at(1601, 3, 11, 2), -300, -240, 3, 2)},
                    "US Eastern");
  expectObservances(observancesOf(heldStruct(ausEastern()).zone, 2024),
                    {recurring(false, at(1601, 4, 1, 3), 660, 600, 4, 1),
                     recurring(true, at(1601, 10, 7, 2), 600, 660, 10, 1)},
                    "AUS Eastern");
  expectObservances(observancesOf(heldStruct(fixedOffset(-330)).zone, 2024), {once(false, at(1601, 1, 1), 330, 330)},
                    "India");
  Rule lastSaturday = {0, 0, -120, 0, -60, relative(10, 6, 5, 23), relative(3, 4, 5, 23)};
  lastSaturday.standardDate.minute = 59, lastSaturday.standardDate.second = 59;
  lastSaturday.standardDate.milliseconds = 999;
  std::vector<Observance> jordan = observancesOf(heldStruct(lastSaturday).zone, 2024);
  ASSERT_EQ(jordan.size(), 2u);
  EXPECT_EQ(jordan[0].week, -1);
  EXPECT_EQ(jordan[0].weekday, 6);
  EXPECT_EQ(show(jordan[0].start), show(at(1601, 10, 27, 23, 59, 59)));  // milliseconds dropped
  EXPECT_EQ(jordan[1].weekday, 4);
}

TEST(TimeZoneObservances, EndedRulesGetUntilAndOldOnesAreLeftOut) {
  Held held = heldDefinition(u"Eastern Standard Time", {usEasternBefore2007(2006), usEastern(2007)});
  expectObservances(observancesOf(held.zone, 2005),
                    {
                        // Last Sunday of October 1601 is the 28th, first of April the 1st.
                        recurring(false, at(1601, 10, 28, 2), -240, -300, 10, -1, at(2006, 10, 29, 6)),
                        recurring(true, at(1601, 4, 1, 2), -300, -240, 4, 1, at(2006, 4, 2, 7)),
                        recurring(false, at(2007, 11, 4, 2), -240, -300, 11, 1),
                        recurring(true, at(2007, 3, 11, 2), -300, -240, 3, 2),
                    },
                    "from 2005");
  expectObservances(observancesOf(held.zone, 2024),
                    {recurring(false, at(1601, 11, 4, 2), -240, -300, 11, 1),
                     recurring(true, at(1601, 3, 11, 2), -300, -240, 3, 2)},
                    "from 2024: the current rule only");
  EXPECT_EQ(observanceCount(held.zone, 1200), 4u);  // before 1601 counts as 1601
}

TEST(TimeZoneObservances, AbsoluteDatesAndNewYearChanges) {
  Held egypt = heldDefinition(u"Egypt Standard Time",
                              {fixedOffset(-120, 2013), absoluteSeason(2014), fixedOffset(-120, 2015)});
  expectObservances(observancesOf(egypt.zone, 2013),
                    {
                        once(false, at(1601, 1, 1), 120, 120),
                        once(false, at(2014, 9, 25, 23), 180, 120),
                        once(true, at(2014, 5, 15), 120, 180),
                        once(false, at(2015, 1, 1), 120, 120),
                    },
                    "Egypt");
  Held russia = heldDefinition(u"Russian Standard Time", {fixedOffset(-180, 2010), fixedOffset(-240, 2011)});
  expectObservances(observancesOf(russia.zone, 2010),
                    {once(false, at(1601, 1, 1), 180, 180), once(false, at(2010, 12, 31, 23), 180, 240)}, "Russia");
  // A zone that starts daylight saving in the middle of a southern summer.
  Held newSouth = heldDefinition(u"S", {fixedOffset(-600, 2007), ausEastern(2008)});
  expectObservances(observancesOf(newSouth.zone, 2007),
                    {
                        once(false, at(1601, 1, 1), 600, 600),
                        once(true, at(2008, 1, 1), 600, 660),
                        recurring(false, at(2008, 4, 6, 3), 660, 600, 4, 1),
                        recurring(true, at(2008, 10, 5, 2), 600, 660, 10, 1),
                    },
                    "southern start");
}

TEST(TimeZoneObservances, BoundedByTheSpan) {
  Held held = heldDefinition(u"E", {usEasternBefore2007(2006), usEastern(2007)});
  std::vector<Observance> three(3);
  EXPECT_EQ(describeObservances(held.zone, 2000, three), 3u);
  EXPECT_EQ(three[2].start, at(2007, 11, 4, 2));
  EXPECT_EQ(describeObservances(held.zone, 2000, {}), 0u);
  EXPECT_EQ(observanceCount(Zone(), 2000), 0u);
}

// ---- Observances read back as an iCalendar reader would ----

// The day of the week-th weekday of month (-1 the last), found by walking the month.
std::int64_t nthWeekday(std::int64_t year, unsigned month, unsigned weekday, int week) {
  std::vector<std::int64_t> days;
  for (unsigned day = 1; day <= civil::daysInMonth(year, month); ++day) {
    std::int64_t d = civil::daysFromCivil(year, month, day);
    if (civil::weekday(d) == weekday) days.push_back(d);
  }
  return week < 0 ? days.back() : days.at(static_cast<std::size_t>(week - 1));
}

struct Onset {
  std::int64_t utc;
  std::int32_t offsetTo;
};

// Every onset up to lastYear, by RFC 5545 3.6.5: DTSTART, then the RRULE's
// instances up to UNTIL.
std::vector<Onset> onsetsOf(const std::vector<Observance>& observances, std::int64_t lastYear) {
  std::vector<Onset> onsets;
  for (const Observance& o : observances) {
    std::int64_t fromSeconds = std::int64_t{o.offsetFrom} * 60;
    if (!o.recurs) {
      onsets.push_back({o.start - fromSeconds, o.offsetTo});
      continue;
    }
    std::int64_t timeOfDay = o.start - civil::floorDivide(o.start, civil::kSecondsPerDay) * civil::kSecondsPerDay;
    for (std::int64_t year = civil::fromSeconds(o.start).date.year; year <= lastYear; ++year) {
      std::int64_t utc = nthWeekday(year, o.month, o.weekday, o.week) * civil::kSecondsPerDay + timeOfDay - fromSeconds;
      if (o.hasUntil && utc > o.untilUtc) break;
      onsets.push_back({utc, o.offsetTo});
    }
  }
  std::sort(onsets.begin(), onsets.end(), [](const Onset& a, const Onset& b) { return a.utc < b.utc; });
  return onsets;
}

std::int64_t offsetFromOnsets(const std::vector<Onset>& onsets, std::int64_t utc) {
  auto next = std::upper_bound(onsets.begin(), onsets.end(), utc,
                               [](std::int64_t t, const Onset& onset) { return t < onset.utc; });
  return next == onsets.begin() ? INT64_MIN : std::int64_t{std::prev(next)->offsetTo} * 60;
}

TEST(TimeZoneObservances, ReadBackGiveTheOffsetsOfTheConversions) {
  struct Case {
    std::string name;
    Held held;
    std::int64_t fromYear;
  };
  std::vector<Case> cases;
  cases.push_back({"US Eastern", heldStruct(usEastern()), 2020});
  cases.push_back({"AUS Eastern", heldStruct(ausEastern()), 2020});
  cases.push_back({"India", heldStruct(fixedOffset(-330)), 2020});
  cases.push_back({"transition at the new year", heldStruct(newYearEnd()), 2020});
  cases.push_back({"Eastern, two rules", heldDefinition(u"E", {usEasternBefore2007(2006), usEastern(2007)}), 2003});
  cases.push_back({"Egypt", heldDefinition(u"Eg", {fixedOffset(-120, 2013), absoluteSeason(2014),
                                                   fixedOffset(-120, 2015)}), 2013});
  cases.push_back({"Russia", heldDefinition(u"R", {fixedOffset(-180, 2010), fixedOffset(-240, 2011)}), 2009});
  cases.push_back({"southern start", heldDefinition(u"S", {fixedOffset(-600, 2007), ausEastern(2008)}), 2006});
  cases.push_back({"southern rule change", heldDefinition(u"S2", {{2000, 0, -600, 0, -60, relative(3, 0, 5, 3),
                                                                   relative(10, 0, 5, 2)},
                                                                  ausEastern(2008)}),
                   2005});
  constexpr std::int64_t kLastYear = 2040;
  for (const Case& c : cases) {
    ASSERT_EQ(c.held.damage, Damage::none) << c.name;
    std::vector<Onset> onsets = onsetsOf(observancesOf(c.held.zone, c.fromYear), kLastYear);
    std::vector<std::int64_t> instants;
    for (const Onset& onset : onsets) {
      for (std::int64_t around : {-1, 0, 1}) instants.push_back(onset.utc + around);
    }
    for (std::int64_t t = at(c.fromYear, 1, 2); t < at(kLastYear, 12, 1); t += 4 * kHour + 67) instants.push_back(t);
    for (std::int64_t t : instants) {
      if (t < at(c.fromYear, 1, 2) || t >= at(kLastYear, 12, 1)) continue;
      ASSERT_EQ(offsetFromOnsets(onsets, t), utcOffsetAt(c.held.zone, t)) << c.name << " at " << show(t) << " UTC";
    }
  }
}

}  // namespace
}  // namespace wendrel::timezone

namespace wendrel::timezone {
namespace {

// Every territory-001 entry of CLDR's table gives its IANA name back, in any
// case; the table is the file's, when the file is there to compare.
TEST(WindowsZoneNames, EveryCldrEntryRoundTrips) {
  std::span<const WindowsZone> zones = windowsZones();
  ASSERT_GE(zones.size(), 130u);
  for (const WindowsZone& zone : zones) {
    EXPECT_EQ(ianaZoneName(zone.windows), zone.iana) << zone.windows;
    std::string upper(zone.windows);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ianaZoneName(upper), zone.iana) << upper;
  }
  EXPECT_EQ(ianaZoneName("Eastern Standard Time"), "America/New_York");
  EXPECT_EQ(ianaZoneName("W. Europe Standard Time"), "Europe/Berlin");
  for (std::string_view other : {"", "Eastern", "Eastern Standard Time ", "(UTC-05:00) Eastern Time (US & Canada)",
                                 "Zzz Standard Time"}) {
    EXPECT_EQ(ianaZoneName(other), "") << other;
  }
  const char* file = "/usr/share/unicode/cldr/common/supplemental/windowsZones.xml";
  std::ifstream xml(file);
  if (!xml) GTEST_SKIP() << file << " is not here (Debian's unicode-cldr-core) to compare the table with";
  std::string text((std::istreambuf_iterator<char>(xml)), std::istreambuf_iterator<char>());
  std::regex entry("<mapZone other=\"([^\"]+)\" territory=\"001\" type=\"([^\"]+)\"/>");
  std::size_t count = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it, ++count) {
    EXPECT_EQ(ianaZoneName((*it)[1].str()), (*it)[2].str()) << (*it)[1].str();
  }
  EXPECT_EQ(count, zones.size());
}

}  // namespace
}  // namespace wendrel::timezone
