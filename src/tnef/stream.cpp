// Stream framing: the 6-byte header, then attribute records back to back until
// the end of the buffer. Only records that lie wholly inside the buffer are
// handled, so nothing downstream can read past it.

#include <cstdlib>
#include <new>
#include <optional>

#include "wendrel/calendar.h"
#include "wendrel/contacts.h"
#include "wendrel/decoder.h"
#include "wendrel/message.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel {

namespace {

StreamState& currentStream() {
  Decoder& d = decoder();
  return d.current != nullptr ? *d.current : d.outsideAnyWalk;
}

StreamHeader readStreamHeader(ByteView stream) { return {stream.dword(0), stream.word(4)}; }

AttributeRecord readRecord(ByteView record) {
  std::uint32_t length = record.dword(5);
  return {record.byte(0), record.dword(1), length, record.sub(kRecordValueOffset, length),
          record.word(kRecordValueOffset + std::size_t{length})};
}

void printSignatureVerdict(std::uint32_t signature) {
  if (signature == kTnefSignature) {
    out::text("Good TNEF Signature\n");
    return;
  }
  out::text("Bad TNEF Signature, Expecting: ");
  out::hex(kTnefSignature);
  out::text("  Got: ");
  out::hex(signature);
  out::ch('\n');
}

void printRecordHeader(const AttributeRecord& record) {
  out::text("Attribute: ");
  out::text(attributeName(record.attributeId));
  out::text(", (");
  out::hexPadded(record.attributeId, 8);
  out::text(")\n");
  out::text(record.level == 1 ? "\tComponent:\tMessage\n" : "\tComponent:\tAttachment\n");
  out::text("\tType:\t\t");
  out::text(attributeTypeName(attributeType(record.attributeId)));
  out::text("\n\tSize:\t\t");
  out::signedDecimal(static_cast<std::int32_t>(record.length));
  out::text("\n\tChecksum:\t");
  out::hexPadded(record.checksum, 4);
  out::ch('\n');
}

// The bytes of the record at the start of rest, when its 11 bytes of framing
// and its whole value lie inside rest.
std::optional<ByteView> wholeRecord(ByteView rest) {
  if (rest.size() < kRecordOverhead || rest.dword(5) > rest.size() - kRecordOverhead) return std::nullopt;
  return rest.sub(0, kRecordOverhead + rest.dword(5));
}

// Makes state the current stream's for as long as it lives, then puts back
// the stream that was current before.
class CurrentStream {
 public:
  explicit CurrentStream(StreamState& state) : outer_(decoder().current) { decoder().current = &state; }
  ~CurrentStream() { decoder().current = outer_; }
  CurrentStream(const CurrentStream&) = delete;
  CurrentStream& operator=(const CurrentStream&) = delete;

 private:
  StreamState* outer_;
};

void walkRecords(ByteView bytes) {
  StreamState* current = &currentStream();
  std::size_t offset = kStreamHeaderSize;
  while (offset < bytes.size()) {
    ByteView rest = bytes.sub(offset);
    std::optional<ByteView> record = wholeRecord(rest);
    if (!record) {
      auto inFile = static_cast<long long>(rest.data() - decoder().fileStart);
      out::error("Truncated attribute record at offset %lld\n", inFile);
      noteDamage(DamageKind::truncatedRecord, rest.data());
      current->message->endedEarly = true;
      current->message->bytesLeft = rest.size();
      break;
    }
    current->followingRecords = rest.sub(record->size());
    offset += static_cast<std::size_t>(handleAttribute(*record));
  }
  current->followingRecords = {};
}

// A fresh record for a message attached to parent (nullptr for the file's
// own); nullptr when memory runs out, and the walk then keeps none.
MessageRecord* newMessage(MessageRecord* parent) {
  void* memory = keepMemory(sizeof(MessageRecord));
  if (memory == nullptr) return nullptr;
  auto* message = new (memory) MessageRecord;
  message->parent = parent;
  return message;
}

void walkMessage(ByteView bytes) {
  StreamState* current = &currentStream();
  modelBeginStream(*current->message, bytes);
  if (bytes.size() < kStreamHeaderSize) {
    out::error("Stream too short for a TNEF header: %d bytes\n", static_cast<int>(bytes.size()));
    noteDamage(DamageKind::shortStream, bytes.data());
    current->message->endedEarly = true;
    current->message->bytesLeft = bytes.size();
    return;
  }
  StreamHeader header = readStreamHeader(bytes);
  printSignatureVerdict(header.signature);
  if (header.signature != kTnefSignature) noteDamage(DamageKind::badSignature, bytes.data());
  out::text("TNEF Attach Key: ");
  out::hex(header.attachKey);
  out::ch('\n');
  walkRecords(bytes);
}

// Walks one stream with a state and a record of its own. At its end come
// the writers that need the whole message; the record is returned when whole
// messages are kept, and freed otherwise.
MessageRecord* walkStream(ByteView bytes, int depth) {
  MessageRecord scratch;  // stands in when no record could be made
  MessageRecord* message = newMessage(currentStream().message);
  StreamState state;
  state.depth = depth;
  state.message = message != nullptr ? message : &scratch;
  {
    CurrentStream scope(state);
    walkMessage(bytes);
    if (!decoder().keepWholeMessages) {
      handleCalendarItem(*state.message);
      handleContact(*state.message);
    }
    finishModel(*state.message);
  }
  if (decoder().keepWholeMessages) return message;
  freeMessage(message);
  return nullptr;
}

}  // namespace

StreamState& streamState() { return currentStream(); }

std::string_view streamText(ByteView value, char (&text)[kScratchSize]) {
  return copyTextValue(value, currentStream().codePage, text);
}

std::string_view streamText(ByteView value) { return streamText(value, decoder().stringScratch); }

ByteView followingRecords() { return currentStream().followingRecords; }

bool takeRecord(ByteView& records, AttributeRecord& record) {
  std::optional<ByteView> whole = wholeRecord(records);
  if (!whole) return false;
  record = readRecord(*whole);
  records = records.sub(whole->size());
  return true;
}

int decodeStream(std::span<const std::uint8_t> stream) {
  Decoder& d = decoder();
  d.fileStart = stream.data();
  d.outsideAnyWalk = StreamState{};
  freeMessage(d.decodedMessage);
  d.decodedMessage = walkStream(ByteView(stream), 0);
  return 0;
}

MessageRecord* decodeNestedStream(ByteView stream, int depth) { return walkStream(stream, depth); }

MessageRecord* currentMessage() { return currentStream().message; }

MessageRecord* takeDecodedMessage() {
  Decoder& d = decoder();
  MessageRecord* message = d.decodedMessage;
  d.decodedMessage = nullptr;
  return message;
}

std::int64_t handleAttribute(ByteView record) {
  AttributeRecord parsed = readRecord(record);
  if (decoder().verbose) printRecordHeader(parsed);
  dispatchAttribute(parsed.attributeId, parsed.value);
  if (decoder().keepModel) modelKeepAttribute(record);
  return std::int64_t{parsed.length} + static_cast<std::int64_t>(kRecordOverhead);
}

}  // namespace wendrel
