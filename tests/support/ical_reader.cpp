#include "ical_reader.h"

#include <libical/ical.h>

#include <algorithm>

namespace wendrel::test {

namespace {

IcalTime timeOf(icaltimetype t) {
  IcalTime result;
  result.isDate = t.is_date != 0;
  if (t.zone != nullptr && !icaltime_is_utc(t)) {
    result.tzid = icaltimezone_get_tzid(const_cast<icaltimezone*>(t.zone));
  }
  result.utc = static_cast<std::int64_t>(icaltime_as_timet_with_zone(t, t.zone != nullptr ? t.zone : icaltimezone_get_utc_timezone()));
  return result;
}

std::optional<IcalTime> propertyTime(icalcomponent* component, icalproperty_kind kind) {
  icalproperty* property = icalcomponent_get_first_property(component, kind);
  if (property == nullptr) return std::nullopt;
  icalvalue* value = icalproperty_get_value(property);
  if (value == nullptr) return std::nullopt;
  icaltimetype t = icalvalue_get_datetime(value);
  // Resolve a TZID as icalcomponent_get_dtstart does.
  if (const char* tzid = icalproperty_get_parameter_as_string(property, "TZID")) {
    icalcomponent* top = icalcomponent_get_parent(component);
    while (top != nullptr && icalcomponent_get_parent(top) != nullptr) top = icalcomponent_get_parent(top);
    if (top != nullptr) t.zone = icalcomponent_get_timezone(top, tzid);
  }
  return timeOf(t);
}

std::string owned(char* text) {
  std::string result = text != nullptr ? text : "";
  icalmemory_free_buffer(text);
  return result;
}

void readProperties(icalcomponent* component, IcalItem& item) {
  for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
    // The _r forms: libical's ring of temporary buffers does not survive
    // long enough for the others.
    std::string name = owned(icalproperty_get_property_name_r(p));
    // Text as the program shows it, its escapes undone.
    icalvalue* value = icalproperty_get_value(p);
    icalvalue_kind kind = value != nullptr ? icalvalue_isa(value) : ICAL_NO_VALUE;
    const char* text = kind == ICAL_TEXT_VALUE ? icalvalue_get_text(value) : kind == ICAL_X_VALUE ? icalvalue_get_x(value) : nullptr;
    item.properties.emplace(name, text != nullptr ? std::string(text) : owned(icalproperty_get_value_as_string_r(p)));
    for (icalparameter* q = icalproperty_get_first_parameter(p, ICAL_ANY_PARAMETER); q != nullptr;
         q = icalproperty_get_next_parameter(p, ICAL_ANY_PARAMETER)) {
      item.properties.emplace(name + ";PARAM", owned(icalparameter_as_ical_string_r(q)));
    }
  }
}

void expand(icalcomponent* component, IcalItem& item) {
  icalproperty* rule = icalcomponent_get_first_property(component, ICAL_RRULE_PROPERTY);
  if (rule == nullptr || !item.start) return;
  item.recurs = true;
  struct icalrecurrencetype recurrence = icalproperty_get_rrule(rule);
  item.rruleText = icalrecurrencetype_as_string(&recurrence);
  icaltimetype start = icalcomponent_get_dtstart(component);
  icalrecur_iterator* it = icalrecur_iterator_new(recurrence, start);
  if (it == nullptr) return;
  for (std::size_t i = 0; i < 60; ++i) {
    icaltimetype next = icalrecur_iterator_next(it);
    if (icaltime_is_null_time(next)) break;
    next.zone = start.zone;
    item.expanded.push_back(timeOf(next).utc);
  }
  icalrecur_iterator_free(it);
}

}  // namespace

std::string IcalItem::value(const std::string& name) const {
  auto it = properties.find(name);
  return it != properties.end() ? it->second : "";
}

std::vector<std::string> IcalItem::values(const std::string& name) const {
  std::vector<std::string> result;
  for (auto [it, end] = properties.equal_range(name); it != end; ++it) result.push_back(it->second);
  return result;
}

std::vector<std::int64_t> IcalItem::instances(std::size_t count) const {
  std::vector<std::int64_t> result;
  for (std::int64_t start : expanded) {
    bool excluded = std::any_of(exceptionDates.begin(), exceptionDates.end(), [&](const IcalTime& t) { return t.utc == start; });
    if (!excluded) result.push_back(start);
    if (result.size() == count) break;
  }
  return result;
}

Ical readIcal(const std::string& text) {
  Ical ical;
  icalerror_set_errors_are_fatal(0);
  icalcomponent* calendar = icalparser_parse_string(text.c_str());
  if (calendar == nullptr || icalcomponent_isa(calendar) != ICAL_VCALENDAR_COMPONENT) {
    if (calendar != nullptr) icalcomponent_free(calendar);
    return ical;
  }
  ical.parsed = true;
  ical.errors = icalcomponent_count_errors(calendar);
  auto text_of = [&](icalproperty_kind kind) {
    icalproperty* p = icalcomponent_get_first_property(calendar, kind);
    return p != nullptr ? owned(icalproperty_get_value_as_string_r(p)) : std::string();
  };
  ical.method = text_of(ICAL_METHOD_PROPERTY);
  ical.prodid = text_of(ICAL_PRODID_PROPERTY);
  ical.version = text_of(ICAL_VERSION_PROPERTY);
  for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
    icalcomponent_kind kind = icalcomponent_isa(c);
    if (kind == ICAL_VTIMEZONE_COMPONENT) {
      icalproperty* tzid = icalcomponent_get_first_property(c, ICAL_TZID_PROPERTY);
      ical.timeZones.push_back(tzid != nullptr ? icalproperty_get_tzid(tzid) : "");
      continue;
    }
    if (kind != ICAL_VEVENT_COMPONENT && kind != ICAL_VTODO_COMPONENT) continue;
    IcalItem item;
    item.kind = kind == ICAL_VEVENT_COMPONENT ? "VEVENT" : "VTODO";
    readProperties(c, item);
    item.start = propertyTime(c, ICAL_DTSTART_PROPERTY);
    item.end = propertyTime(c, ICAL_DTEND_PROPERTY);
    item.due = propertyTime(c, ICAL_DUE_PROPERTY);
    item.recurrenceId = propertyTime(c, ICAL_RECURRENCEID_PROPERTY);
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_EXDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_EXDATE_PROPERTY)) {
      icaltimetype t = icalproperty_get_exdate(p);
      if (const char* tzid = icalproperty_get_parameter_as_string(p, "TZID")) t.zone = icalcomponent_get_timezone(calendar, tzid);
      item.exceptionDates.push_back(timeOf(t));
    }
    for (icalcomponent* alarm = icalcomponent_get_first_component(c, ICAL_VALARM_COMPONENT); alarm != nullptr;
         alarm = icalcomponent_get_next_component(c, ICAL_VALARM_COMPONENT)) {
      icalproperty* trigger = icalcomponent_get_first_property(alarm, ICAL_TRIGGER_PROPERTY);
      item.alarms.push_back(trigger != nullptr ? owned(icalproperty_get_value_as_string_r(trigger)) : "");
    }
    expand(c, item);
    ical.items.push_back(std::move(item));
  }
  icalcomponent_free(calendar);
  return ical;
}

std::int64_t unixTime(int year, int month, int day, int hour, int minute, int second) {
  // Days from 1970-01-01 in the proleptic Gregorian calendar.
  int y = month <= 2 ? year - 1 : year;
  int era = (y >= 0 ? y : y - 399) / 400;
  int yoe = y - era * 400;
  int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace wendrel::test
