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

// ---- What the builder's files share ----
// A BlockSink that appends to a std::string.
bool appendTo(ByteView block, void* text);
std::string lowercase(std::string_view text);
// A memory stream of a copy of bytes.
GMimeStream* streamOf(const std::string& bytes);
// A text value as UTF-8 (empty when it is none).
std::string text(const PropertyValue* value);
// A date as RFC 5322 writes it, from seconds since 1601 in the given zone
// ("Tue, 04 Mar 2003 09:30:00 +0000").
std::string rfc5322Date(std::int64_t seconds, std::string_view zone = "+0000");

// A new part of type ("text/html") with content from stream (whose
// reference it takes), encoded as GMime sees fit unless told otherwise.
GMimePart* newPart(std::string_view type, GMimeStream* stream);

// ---- Reports ----

// What a report message reports (by its class: REPORT.<class>.IPNRN and so
// on, compared without regard to case), or none.
enum class ReportKind : std::uint8_t { none, read, notRead, delivered, expanded, relayed, delayed, failed };
ReportKind reportKindOf(const MessageRecord& record);
// For a recall message (IPM.Outlook.Recall), the text a mail client shows
// for it: "<sender> would like to recall the message, "<subject>"."; empty
// for any other.
std::string recallText(const MessageRecord& record);

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
  // The MIME entity an S/MIME message (MS-OXOSMIME 2.1.3) carries in its one
  // attachment (a new reference): a clear-signed one's (IPM.Note.SMIME.
  // MultipartSigned) multipart/signed entity, its header lines included; an
  // opaque-signed or encrypted one's (IPM.Note.SMIME) CMS data as an
  // application/pkcs7-mime part. nullptr for any other message.
  GMimeObject* secureEntity(const MessageRecord& record);
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
  GMimeObject* calendarPart(const MessageRecord& record, bool& asAttachment);
  GMimeObject* rtfAttachment(const MessageRecord& record);
  GMimeObject* contactPart(const MessageRecord& record);
  GMimeMultipart* multipart(const char* subtype, const std::vector<GMimeObject*>& parts);
  // A report: bodies (its text, else one made from it), its report part, and
  // its attachments (reports.cpp).
  GMimeMultipart* reportContent(const MessageRecord& record, ReportKind kind, std::vector<GMimeObject*>& bodies,
                                std::vector<GMimeObject*>& attachments);
  GMimeObject* dispositionPart(const MessageRecord& record, ReportKind kind);
  GMimeObject* deliveryStatusPart(const MessageRecord& record, ReportKind kind, std::string& text);
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
