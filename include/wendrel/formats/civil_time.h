#pragma once
// Dates and times as MAPI stores them: FILETIME counts 100-nanosecond ticks
// since 1601-01-01 00:00 UTC, recurrence patterns count minutes since the same
// day (in local time). Everything here works in seconds or days since that
// day, in the proleptic Gregorian calendar, with no time zone: which zone a
// value is in is the caller's business.

#include <cstdint>

namespace wendrel::civil {

inline constexpr std::int64_t kSecondsPerMinute = 60;
inline constexpr std::int64_t kSecondsPerDay = 86400;
inline constexpr std::int64_t kMinutesPerDay = 1440;
inline constexpr std::uint64_t kTicksPerSecond = 10'000'000;

struct Date {
  std::int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

struct DateTime {
  Date date;
  unsigned hour, minute, second;
};

constexpr bool isLeapYear(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

constexpr unsigned daysInMonth(std::int64_t year, unsigned month) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1601-01-01 to the given date (negative before it). Any month and
// day are taken as they come, so the caller checks them first.
constexpr std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  // Counted in years that begin on March 1, so the leap day is the last one.
  std::int64_t y = month <= 2 ? year - 1 : year;
  std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  std::int64_t yearOfEra = y - era * 400;
  std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  constexpr std::int64_t kDaysTo1601 = 584694;  // from 0000-03-01
  return era * 146097 + dayOfEra - kDaysTo1601;
}

constexpr Date civilFromDays(std::int64_t days) {
  std::int64_t z = days + 584694;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t dayOfEra = z - era * 146097;
  std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  std::int64_t mp = (5 * dayOfYear + 2) / 153;
  auto day = static_cast<unsigned>(dayOfYear - (153 * mp + 2) / 5 + 1);
  auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// 0 for Sunday to 6 for Saturday; 1601-01-01 was a Monday.
constexpr unsigned weekday(std::int64_t days) {
  std::int64_t w = (days + 1) % 7;
  return static_cast<unsigned>(w < 0 ? w + 7 : w);
}

// Floor division, so that times before 1601 fall on the right day.
constexpr std::int64_t floorDivide(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

constexpr DateTime fromSeconds(std::int64_t seconds) {
  std::int64_t days = floorDivide(seconds, kSecondsPerDay);
  std::int64_t rest = seconds - days * kSecondsPerDay;
  return {civilFromDays(days), static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
          static_cast<unsigned>(rest % 60)};
}

constexpr std::int64_t toSeconds(const DateTime& t) {
  return daysFromCivil(t.date.year, t.date.month, t.date.day) * kSecondsPerDay + t.hour * 3600 + t.minute * 60 +
         t.second;
}

// A FILETIME as whole seconds since 1601 (sub-second ticks are dropped).
constexpr std::int64_t secondsFromFiletime(std::uint64_t ticks) {
  return static_cast<std::int64_t>(ticks / kTicksPerSecond);
}

}  // namespace wendrel::civil
