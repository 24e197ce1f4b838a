// Calendar items: which messages are one, the names they are saved under,
// and their place in the walk's output.

#include "wendrel/calendar.h"

#include <algorithm>
#include <array>
#include <cstring>

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

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(a) == lower(b);
         });
}

const ClassRow* classRow(const MessageRecord& message) {
  const PropertyValue* value = message.find(Prop::attMessageClass);
  if (value == nullptr) value = message.find(Prop::messageClass);
  char text[kScratchSize];
  std::optional<std::string_view> name = shortTextValue(value, text);
  if (!name) return nullptr;
  for (const ClassRow& row : kClasses) {
    if (startsWithIgnoringCase(*name, row.prefix)) return &row;
  }
  return nullptr;
}

// The row of a message of the task request family, or nullptr.
const ClassRow* taskRequestRow(const MessageRecord* message) {
  const ClassRow* row = message != nullptr ? classRow(*message) : nullptr;
  return row != nullptr && row < kClasses.data() + kTaskRequestRows ? row : nullptr;
}

// A subject character that no saved name holds becomes '_'.
bool unsafeInName(std::uint8_t byte, std::uint8_t next) {
  return byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F);
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
  const PropertyValue* subject = message.find(Prop::attSubject);
  if (subject == nullptr) subject = message.find(Prop::subject);
  if (subject == nullptr) subject = message.find(Prop::conversationTopic);
  char text[kScratchSize];
  std::string_view name = shortTextValue(subject, text).value_or("");
  constexpr std::string_view kExtension = ".ics";
  std::size_t length = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto byte = static_cast<std::uint8_t>(name[i]);
    auto next = static_cast<std::uint8_t>(i + 1 < name.size() ? name[i + 1] : 0);
    bool unsafe = unsafeInName(byte, next);
    buffer[length++] = unsafe ? '_' : name[i];
    if (unsafe && byte == 0xC2) ++i;
  }
  length = utf8::cutLength({buffer, length}, kMaxText - kExtension.size());
  std::string_view stem(buffer, length);
  if (stem.empty() || stem == "." || stem == "..") {
    constexpr std::string_view kDefault = "calendar";
    length = static_cast<std::size_t>(std::copy(kDefault.begin(), kDefault.end(), buffer) - buffer);
  }
  length = static_cast<std::size_t>(std::copy(kExtension.begin(), kExtension.end(), buffer + length) - buffer);
  buffer[length] = '\0';
  return {buffer, length};
}

void handleCalendarItem(const MessageRecord& message) {
  CalendarItem item = calendarItemOf(message);
  if (item.kind == ItemKind::none) return;
  char name[kScratchSize];
  std::string_view fileName = calendarFileName(message, name);
  if (!saveFiles) {
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
