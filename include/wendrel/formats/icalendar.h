#pragma once
// iCalendar text (RFC 5545) as content lines: a name, parameters and a value,
// ended by CRLF, folded so that no line is longer than 75 octets (the fold is
// CRLF and one space, never inside a UTF-8 character). TEXT values are
// escaped as they are written, so a value may arrive in pieces of any size
// (a message body converted block by block). Output leaves in blocks through
// a BlockSink; nothing is allocated.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wendrel/bytes.h"

namespace wendrel::ical {

class ContentLines {
 public:
  ContentLines(BlockSink write, void* context) : write_(write), context_(context) {}
  ContentLines(const ContentLines&) = delete;
  ContentLines& operator=(const ContentLines&) = delete;

  // A whole line whose value needs no escaping ("BEGIN:VEVENT").
  void line(std::string_view name, std::string_view value);
  // A line of a TEXT value, escaped.
  void textLine(std::string_view name, std::string_view value);

  // A line in pieces: begin, any parameters, then the value (raw() for
  // values that need no escaping, text() for TEXT, each as often as
  // needed), then end.
  void begin(std::string_view name);
  // ;NAME=VALUE, the value quoted when it holds ':', ';' or ','; a '"' (which
  // no parameter value can hold) becomes '\'' and control characters are
  // dropped.
  void parameter(std::string_view name, std::string_view value);
  // ;NAME=A,B: a list of the writer's own tokens, left unquoted (quoted, the
  // list would read as one value).
  void parameterList(std::string_view name, std::string_view tokens);
  void raw(std::string_view value);
  void text(std::string_view value);
  // A BlockSink that escapes what it is handed as TEXT into lines (context:
  // the ContentLines), for values that come from a converter.
  static bool textSink(ByteView block, void* lines);
  void end();

  // Hands over what is left; false when any write failed.
  bool finish();
  bool failed() const { return failed_; }

 private:
  void put(std::string_view bytes);  // value bytes, folded where needed
  void putByte(char byte);
  void emit(const char* bytes, std::size_t count);
  void flush();

  static constexpr std::size_t kLineLimit = 75;

  BlockSink write_;
  void* context_;
  bool failed_ = false;
  bool valueStarted_ = false;  // the ':' of the current line is written
  bool pendingReturn_ = false; // a CR in TEXT whose LF may come next
  std::size_t column_ = 0;     // octets on the current physical line
  std::size_t used_ = 0;
  std::array<char, 16 * 1024> buffer_;
};

// Values in the forms RFC 5545 gives them, written into a caller's buffer
// (at least 24 bytes); each returns the text.
struct DateTimeText {
  char text[24];
  std::size_t length = 0;
  std::string_view view() const { return {text, length}; }
};
// 19970714T133000 (local or with TZID), and with utc 19970714T173000Z.
DateTimeText formatDateTime(std::int64_t seconds, bool utc);
// 19970714
DateTimeText formatDate(std::int64_t seconds);
// An offset of minutes east of UTC as +HHMM or -HHMM.
DateTimeText formatUtcOffset(std::int32_t minutes);

}  // namespace wendrel::ical
