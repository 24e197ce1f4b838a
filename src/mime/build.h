#pragma once
// Builds the MIME form of a decoded TNEF stream (see mime.h). Parts take
// their bytes as ranges of the stream, so an attachment is never copied
// before it is written.

#include <gmime/gmime.h>

#include <string>
#include <string_view>

#include "wendrel/message.h"

namespace wendrel::mime {

class Builder {
 public:
  // stream: the whole TNEF stream as GMime reads it, its bytes at base.
  Builder(GMimeStream* stream, const std::uint8_t* base, std::size_t size, const char* typesFile = "/etc/mime.types")
      : source_(stream), base_(base), size_(size), typesFile_(typesFile) {}

  // What one TNEF stream holds, as one multipart/mixed (a new reference).
  GMimeMultipart* content(const MessageRecord& record);
  // A whole message: headers from the record's properties, then content.
  GMimeMessage* message(const MessageRecord& record);

 private:
  GMimeStream* range(ByteView bytes) const;
  std::string attachmentType(const MessagePart& part) const;
  GMimeStream* attachmentBytes(const MessagePart& part) const;
  GMimeObject* attachment(const MessagePart& part, std::string_view contentId);
  GMimeObject* attachedMessage(const MessagePart& part);
  GMimeObject* htmlPart(const MessageRecord& record, std::string& html);
  GMimeObject* calendarPart(const MessageRecord& record);
  GMimeObject* rtfAttachment(const MessageRecord& record);

  GMimeStream* source_;
  const std::uint8_t* base_;
  std::size_t size_;
  const char* typesFile_;
};

}  // namespace wendrel::mime
