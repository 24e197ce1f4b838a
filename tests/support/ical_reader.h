#pragma once
// Reads an iCalendar file back with libical, as a calendar program would:
// each component's times in UTC (TZIDs resolved against the file's own
// VTIMEZONEs), its text properties unescaped, and its recurrence expanded.
// Tests check what a written file means, not how its text looks.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace wendrel::test {

struct IcalTime {
  std::int64_t utc = 0;  // Unix seconds
  bool isDate = false;   // VALUE=DATE: utc is midnight UTC of the date
  std::string tzid;      // of the written value; empty for UTC and dates
  bool operator==(const IcalTime&) const = default;
};

struct IcalItem {
  std::string kind;  // VEVENT, VTODO
  // Each property's values in order, by name, as libical gives them back
  // (text unescaped); parameters as "NAME=value" under "NAME;PARAM".
  std::multimap<std::string, std::string> properties;
  std::optional<IcalTime> start, end, due, recurrenceId;
  std::vector<IcalTime> exceptionDates;
  bool recurs = false;
  std::vector<std::string> alarms;  // each VALARM's TRIGGER

  std::string value(const std::string& name) const;  // the first, or ""
  std::vector<std::string> values(const std::string& name) const;
  // The first count instance starts the RRULE gives, in UTC, without the
  // exception dates (what a calendar shows).
  std::vector<std::int64_t> instances(std::size_t count) const;

  std::string rruleText;
  std::vector<std::int64_t> expanded;  // up to 60 instance starts, filled by readIcal
};

struct Ical {
  bool parsed = false;
  int errors = 0;  // properties libical could not read
  std::string method, prodid, version;
  std::vector<std::string> timeZones;  // TZIDs of the VTIMEZONEs
  std::vector<IcalItem> items;
};

Ical readIcal(const std::string& text);

// Unix seconds of a UTC date and time.
std::int64_t unixTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace wendrel::test
