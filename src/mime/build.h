#pragma once
// Builds the MIME form of a decoded TNEF stream (see mime.h). Parts take
// their bytes as ranges of the stream, so an attachment is never copied
// before it is written.

#include <gmime/gmime.h>

#include <algorithm>

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wendrel/message.h"

namespace wendrel::mime {

// The header a TNEF part kept as it stood beside its conversion carries, so
// that converting the message again leaves it as it is.
inline constexpr const char* kKeptHeader = "X-Wendrel-Kept";
inline constexpr const char* kKeptValue = "as it stands, beside what it gave";

// The multiparts a conversion made, in the order it made them (each after
// the ones inside it). They get their boundaries once the message is whole.
class Made {
 public:
  void add(GMimeMultipart* multipart) { multiparts_.push_back(multipart); }
  // Appends other's multiparts, which it then no longer holds.
  void take(Made& other);
  // Boundaries made from the content of the input (the same input always
  // gives the same ones), each checked not to occur in what its multipart
  // encloses, where a parser would take it for the end of a part.
  void assignBoundaries(ByteView input);

 private:
  std::vector<GMimeMultipart*> multiparts_;
};

class Builder {
 public:
  // stream: the whole TNEF stream as GMime reads it, its bytes at base;
  // notes: where lines for standard error go; made: where the multiparts it
  // makes are listed; enclosing: the boundaries of the multiparts the result
  // goes into, which no text it makes may hold.
  Builder(GMimeStream* stream, const std::uint8_t* base, std::size_t size, std::vector<std::string>& notes,
          Made& made, std::vector<std::string> enclosing = {}, const char* typesFile = "/etc/mime.types")
      : source_(stream), base_(base), size_(size), partsLeft_(std::max<std::size_t>(kLeastParts, size / kBytesPerPart)),
        notes_(notes), made_(made), enclosing_(std::move(enclosing)), typesFile_(typesFile) {}

  // What one TNEF stream holds, as one multipart/mixed (a new reference).
  GMimeMultipart* content(const MessageRecord& record);
  // A whole message: headers from the record's properties, then content.
  GMimeMessage* message(const MessageRecord& record);
  // True when the stream held more attachments than were made parts of:
  // the caller keeps the stream as it stands beside them.
  bool overflowed() const { return overflowed_; }

  // A MIME part costs GMime a few KiB; a stream gets one per KiB of its own
  // (and at least 64), so that a stream of empty attachments cannot take
  // more memory than a few times its size. Real mail is far from it.
  static constexpr std::size_t kBytesPerPart = 1024;
  static constexpr std::size_t kLeastParts = 64;

 private:
  bool takePart();
  const PropertySet& propertiesOf(const MessagePart& part);
  GMimeStream* range(ByteView bytes) const;
  std::string attachmentType(const MessagePart& part);
  GMimeStream* attachmentBytes(const MessagePart& part) const;
  GMimeObject* attachment(const MessagePart& part, std::string_view contentId);
  GMimeObject* attachedMessage(const MessagePart& part);
  GMimeObject* damagedMessage(const MessagePart& part);
  GMimeObject* htmlPart(const MessageRecord& record, std::string& html);
  GMimeObject* calendarPart(const MessageRecord& record);
  GMimeObject* rtfAttachment(const MessageRecord& record);
  GMimeMultipart* multipart(const char* subtype, const std::vector<GMimeObject*>& parts);
  GMimePart* textPart(std::string_view type, GMimeStream* stream, const std::string& charset);

  GMimeStream* source_;
  const std::uint8_t* base_;
  std::size_t size_;
  std::size_t partsLeft_;
  bool overflowed_ = false;
  std::vector<std::string>& notes_;
  Made& made_;
  std::vector<std::string> enclosing_;
  const char* typesFile_;
  // Each attachment property list read once, however many parts share it.
  std::map<std::pair<const std::uint8_t*, std::size_t>, PropertySet> lists_;
};

}  // namespace wendrel::mime
