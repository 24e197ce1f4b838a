#pragma once
// Meetings, appointments and tasks written as iCalendar (RFC 5545), as
// Outlook exports them (MS-OXCICAL): a message whose class makes it a
// calendar item gives one VCALENDAR object, built from its record at the end
// of its walk.

#include <string_view>

#include "wendrel/bytes.h"
#include "wendrel/message.h"

namespace wendrel {

enum class CalendarMethod : std::uint8_t { publish, request, reply, cancel };
enum class ItemKind : std::uint8_t { none, event, task };
// What a reply says of the meeting.
enum class ReplyStatus : std::uint8_t { none, accepted, declined, tentative };

struct CalendarItem {
  ItemKind kind = ItemKind::none;
  CalendarMethod method = CalendarMethod::publish;
  ReplyStatus reply = ReplyStatus::none;
  // The task request (or response) that carries a task: the item is sent as
  // it is, and its organizer and attendees come from it first.
  const MessageRecord* request = nullptr;
};

// What a message is by its class (attMessageClass, else PR_MESSAGE_CLASS): an
// appointment, meeting request, cancellation or response is an event, a task
// a task (sent as a request, a reply or an update when the message it is
// attached to is a task request, acceptance, refusal or update); a task
// request itself, and anything else, is none.
CalendarItem calendarItemOf(const MessageRecord& message);

std::string_view methodName(CalendarMethod method);

// The item's VCALENDAR object, handed to write in blocks. A value that cannot
// be read whole (a recurrence pattern, a time zone, a recipient table) is
// left out, with "Damaged <what> in calendar item <fileName>" on standard
// error. False when write fails.
bool writeCalendarItem(const MessageRecord& message, const CalendarItem& item, std::string_view fileName,
                       BlockSink write, void* context);

// The name an item is saved under, before any -N suffix: its subject made a
// file name (see fileNameFrom), "calendar" when that leaves nothing, then
// ".ics".
std::string_view calendarFileName(const MessageRecord& message, char (&buffer)[kScratchSize]);

// At the end of a message's walk: a calendar item is announced ("Contains
// calendar item"), or saved with -s ("Calendar item saved to file <name>").
void handleCalendarItem(const MessageRecord& message);

}  // namespace wendrel
