// Calendar items: which messages are one, the names they are saved under,
// and their place in the walk's output.

#include "wendrel/calendar.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "wendrel/decoder.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/output.h"

namespace wendrel {

namespace {

struct ClassRow {
  std::string_view prefix;
  ItemKind kind;
  CalendarMethod method;
  ReplyStatus reply;
};

// Message classes begin with these, compared without regard to case. The
// task request family comes first: it begins with "IPM.Task" too. Its
// messages carry a task, which is the item, sent the way the row says: an
// assignment as a request, an acceptance or a refusal as a reply, an update
// as the task published.
constexpr std::size_t kTaskRequestRows = 4;
constexpr std::array<ClassRow, 16> kClasses{{
    {"IPM.TaskRequest.Accept", ItemKind::none, CalendarMethod::reply, ReplyStatus::accepted},
    {"IPM.TaskRequest.Decline", ItemKind::none, CalendarMethod::reply, ReplyStatus::declined},
    {"IPM.TaskRequest.Update", ItemKind::none, CalendarMethod::publish, ReplyStatus::none},
    {"IPM.TaskRequest", ItemKind::none, CalendarMethod::request, ReplyStatus::none},
    {"IPM.Task", ItemKind::task, CalendarMethod::publish, ReplyStatus::none},
    {"IPM.Appointment", ItemKind::event, CalendarMethod::publish, ReplyStatus::none},
    {"IPM.Schedule.Meeting.Request", ItemKind::event, CalendarMethod::request, ReplyStatus::none},
    {"IPM.Schedule.Meeting.Canceled", ItemKind::event, CalendarMethod::cancel, ReplyStatus::none},
    {"IPM.Schedule.Meeting.Resp.Pos", ItemKind::event, CalendarMethod::reply, ReplyStatus::accepted},
    {"IPM.Schedule.Meeting.Resp.Neg", ItemKind::event, CalendarMethod::reply, ReplyStatus::declined},
    {"IPM.Schedule.Meeting.Resp.Tent", ItemKind::event, CalendarMethod::reply, ReplyStatus::tentative},
    {"IPM.Microsoft Schedule.MtgReq", ItemKind::event, CalendarMethod::request, ReplyStatus::none},
    {"IPM.Microsoft Schedule.MtgCncl", ItemKind::event, CalendarMethod::cancel, ReplyStatus::none},
    {"IPM.Microsoft Schedule.MtgRespP", ItemKind::event, CalendarMethod::reply, ReplyStatus::accepted},
    {"IPM.Microsoft Schedule.MtgRespN", ItemKind::event, CalendarMethod::reply, ReplyStatus::declined},
    {"IPM.Microsoft Schedule.MtgRespA", ItemKind::event, CalendarMethod::reply, ReplyStatus::tentative},
}};

const ClassRow* classRow(const MessageRecord& message) {
  char text[kScratchSize];
  std::string_view name = messageClassText(message, text);
  for (const ClassRow& row : kClasses) {
    if (beginsWithIgnoringCase(name, row.prefix)) return &row;
  }
  return nullptr;
}

// The row of a message of the task request family, or nullptr.
const ClassRow* taskRequestRow(const MessageRecord* message) {
  const ClassRow* row = message != nullptr ? classRow(*message) : nullptr;
  return row != nullptr && row < kClasses.data() + kTaskRequestRows ? row : nullptr;
}

}  // namespace

CalendarItem calendarItemOf(const MessageRecord& message) {
  const ClassRow* row = classRow(message);
  if (row == nullptr || row->kind == ItemKind::none) return {};
  CalendarItem item{row->kind, row->method, row->reply, nullptr};
  if (const ClassRow* carrier = item.kind == ItemKind::task ? taskRequestRow(message.parent) : nullptr) {
    item.method = carrier->method;
    item.reply = carrier->reply;
    item.request = message.parent;
  }
  return item;
}

std::string_view methodName(CalendarMethod method) {
  switch (method) {
    case CalendarMethod::publish: return "PUBLISH";
    case CalendarMethod::request: return "REQUEST";
    case CalendarMethod::reply: return "REPLY";
    case CalendarMethod::cancel: return "CANCEL";
  }
  return "PUBLISH";
}

std::string_view calendarFileName(const MessageRecord& message, char (&buffer)[kScratchSize]) {
  char text[kScratchSize];
  return fileNameFrom(subjectText(message, text), ".ics", "calendar", buffer);
}

void handleCalendarItem(const MessageRecord& message) {
  CalendarItem item = calendarItemOf(message);
  if (item.kind == ItemKind::none) return;
  char name[kScratchSize];
  std::string_view fileName = calendarFileName(message, name);
  if (!decoder().saveFiles) {
    out::text("Contains calendar item\n");
    return;
  }
  std::string_view target = fileNameToCreate(fileName);
  struct Source {
    const MessageRecord* message;
    const CalendarItem* item;
    std::string_view target;
  } source{&message, &item, target};
  auto produce = [](const void* from, BlockSink write, void* context) {
    const Source& s = *static_cast<const Source*>(from);
    return writeCalendarItem(*s.message, *s.item, s.target, write, context);
  };
  if (saveToFile(target, FileContents{produce, &source, 0}) == 0) {
    out::text("Calendar item saved to file ");
    out::text(target);
    out::ch('\n');
  }
}

}  // namespace wendrel
