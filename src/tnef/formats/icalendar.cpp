// iCalendar content lines: escaping, quoting and folding, and the text of
// date-time values.

#include "wendrel/formats/icalendar.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "wendrel/formats/civil_time.h"

namespace wendrel::ical {

namespace {

bool isContinuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Control characters other than tab may not stand in a value.
bool isControl(std::uint8_t byte) { return (byte < 0x20 && byte != '\t') || byte == 0x7F; }

char* appendDigits(char* p, std::int64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i, value /= 10) p[i] = static_cast<char>('0' + value % 10);
  return p + digits;
}

}  // namespace

void ContentLines::emit(const char* bytes, std::size_t count) {
  if (count <= buffer_.size() - used_) {
    std::memcpy(buffer_.data() + used_, bytes, count);
    used_ += count;
    return;
  }
  while (count > 0) {
    if (used_ == buffer_.size()) flush();
    std::size_t take = std::min(count, buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, bytes, take);
    used_ += take;
    bytes += take;
    count -= take;
  }
}

void ContentLines::flush() {
  if (used_ != 0 && !failed_) failed_ = !write_(ByteView(reinterpret_cast<const std::uint8_t*>(buffer_.data()), used_), context_);
  used_ = 0;
}

// A character that would pass the limit goes on a new physical line, which
// starts with the space that marks it as a continuation.
void ContentLines::putByte(char byte) { put({&byte, 1}); }

// Bytes go in runs: as much as the line has room for, cut back to the start
// of the character that would not fit.
void ContentLines::put(std::string_view bytes) {
  while (!bytes.empty()) {
    std::size_t room = column_ < kLineLimit ? kLineLimit - column_ : 0;
    if (bytes.size() <= room) {
      emit(bytes.data(), bytes.size());
      column_ += bytes.size();
      return;
    }
    std::size_t cut = room;
    while (cut > 0 && isContinuation(static_cast<std::uint8_t>(bytes[cut]))) --cut;
    if (cut == 0 && isContinuation(static_cast<std::uint8_t>(bytes[0]))) {
      // The rest of a character begun in an earlier piece stays with it.
      while (cut < bytes.size() && isContinuation(static_cast<std::uint8_t>(bytes[cut]))) ++cut;
      emit(bytes.data(), cut);
      column_ += cut;
    } else {
      emit(bytes.data(), cut);
      emit("\r\n ", 3);
      column_ = 1;
    }
    bytes.remove_prefix(cut);
  }
}

void ContentLines::begin(std::string_view name) {
  column_ = 0;
  valueStarted_ = false;
  pendingReturn_ = false;
  put(name);
}

void ContentLines::parameter(std::string_view name, std::string_view value) {
  bool quote = value.find_first_of(":;,") != std::string_view::npos;
  putByte(';');
  put(name);
  putByte('=');
  if (quote) putByte('"');
  while (!value.empty()) {
    std::size_t run = 0;
    while (run < value.size() && value[run] != '"' && !isControl(static_cast<std::uint8_t>(value[run]))) ++run;
    put({value.data(), run});
    if (run < value.size() && value[run] == '"') putByte('\'');
    value.remove_prefix(std::min(run + 1, value.size()));
  }
  if (quote) putByte('"');
}

void ContentLines::parameterList(std::string_view name, std::string_view tokens) {
  putByte(';');
  put(name);
  putByte('=');
  put(tokens);
}

void ContentLines::raw(std::string_view value) {
  if (!std::exchange(valueStarted_, true)) putByte(':');
  put(value);
}

// True for the bytes TEXT escapes or leaves out.
bool needsEscape(char byte) {
  return byte == '\\' || byte == ';' || byte == ',' || isControl(static_cast<std::uint8_t>(byte));
}

void ContentLines::text(std::string_view value) {
  if (!std::exchange(valueStarted_, true)) putByte(':');
  while (!value.empty()) {
    // A run that needs no escaping goes whole.
    std::size_t run = 0;
    while (run < value.size() && !needsEscape(value[run])) ++run;
    if (run != 0) {
      pendingReturn_ = false;
      put({value.data(), run});
      value.remove_prefix(run);
      continue;
    }
    char byte = value.front();
    value.remove_prefix(1);
    // CRLF, LF and a CR alone are each one line break.
    if (std::exchange(pendingReturn_, false) && byte == '\n') continue;
    switch (byte) {
      case '\\': put("\\\\"); break;
      case ';': put("\\;"); break;
      case ',': put("\\,"); break;
      case '\r': pendingReturn_ = true; [[fallthrough]];
      case '\n': put("\\n"); break;
      default: break;  // other control characters stand in no value
    }
  }
}

bool ContentLines::textSink(ByteView block, void* lines) {
  auto& self = *static_cast<ContentLines*>(lines);
  self.text({reinterpret_cast<const char*>(block.data()), block.size()});
  return !self.failed_;
}

void ContentLines::end() {
  if (!valueStarted_) putByte(':');
  emit("\r\n", 2);
  column_ = 0;
}

void ContentLines::line(std::string_view name, std::string_view value) {
  begin(name);
  raw(value);
  end();
}

void ContentLines::textLine(std::string_view name, std::string_view value) {
  begin(name);
  text(value);
  end();
}

bool ContentLines::finish() {
  flush();
  return !failed_;
}

DateTimeText formatDateTime(std::int64_t seconds, bool utc) {
  DateTimeText result;
  civil::DateTime t = civil::fromSeconds(seconds);
  if (t.date.year < 1 || t.date.year > 9999) return result;
  char* p = appendDigits(result.text, t.date.year, 4);
  p = appendDigits(p, t.date.month, 2);
  p = appendDigits(p, t.date.day, 2);
  *p++ = 'T';
  p = appendDigits(p, t.hour, 2);
  p = appendDigits(p, t.minute, 2);
  p = appendDigits(p, t.second, 2);
  if (utc) *p++ = 'Z';
  result.length = static_cast<std::size_t>(p - result.text);
  return result;
}

DateTimeText formatDate(std::int64_t seconds) {
  DateTimeText result = formatDateTime(seconds, false);
  result.length = result.length == 0 ? 0 : 8;
  return result;
}

DateTimeText formatUtcOffset(std::int32_t minutes) {
  DateTimeText result;
  std::int64_t magnitude = minutes < 0 ? -std::int64_t{minutes} : minutes;
  if (magnitude >= 100 * 60) return result;
  result.text[0] = minutes < 0 ? '-' : '+';
  char* p = appendDigits(result.text + 1, magnitude / 60, 2);
  p = appendDigits(p, magnitude % 60, 2);
  result.length = static_cast<std::size_t>(p - result.text);
  return result;
}

}  // namespace wendrel::ical
