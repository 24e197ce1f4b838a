#pragma once
// How the values the C interface gives are written into the account: texts
// handed over in pieces, blocks of bytes by their size and digest, GUIDs,
// times, and MAPI property lists with their typed values.

#include <wendrel.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "digests.h"
#include "json_output.h"

namespace wendrel::json {

// What writing one stream's account needs, and what went wrong on the way.
struct Writing {
  JsonOutput& out;
  bool contents;  // base64 of every block of bytes too (--contents)
  BlockDigests digests{};
  bool memoryShort = false;  // the library ran out of memory: the account is not whole

  void note(wendrel_status status) {
    if (status == WENDREL_ERROR_MEMORY) memoryShort = true;
  }
};

// A text that a library function hands to a wendrel_write_fn, as a string
// begun only with its first piece: so that a text that is absent (the
// function fails before writing) can be null, or no member at all.
class PendingText {
 public:
  // With a member name, the member is written only when there is a text.
  explicit PendingText(JsonOutput& out, const char* member = nullptr) : out_(out), member_(member) {}
  static int sink(void* pending, const void* bytes, std::size_t size);
  // Closes the string; for a function that gave none, writes "" when it
  // succeeded, else null (nothing at all with a member name). Whether a
  // string was written.
  bool end(wendrel_status status);

 private:
  void begin();

  JsonOutput& out_;
  const char* member_;
  bool begun_ = false;
};

// The text produce(write, context) hands over, as a string, or null.
template <typename Produce>
void writeText(Writing& writing, Produce produce) {
  PendingText text(writing.out);
  wendrel_status status = produce(&PendingText::sink, &text);
  text.end(status);
  writing.note(status);
}

// The same as the member named member, left out when there is no text;
// whether it was written.
template <typename Produce>
bool writeTextMember(Writing& writing, const char* member, Produce produce) {
  PendingText text(writing.out, member);
  wendrel_status status = produce(&PendingText::sink, &text);
  bool written = text.end(status);
  writing.note(status);
  return written;
}

// Whether produce has something to hand over, asked without taking it all
// (the write function stops at the first piece).
template <typename Produce>
bool hasContent(Produce produce) {
  wendrel_status status = produce([](void*, const void*, std::size_t) { return 1; }, nullptr);
  return status == WENDREL_OK || status == WENDREL_ERROR_WRITE;
}

// A block that produce(write, context) hands over in pieces (a body): null
// when it has none, else an object begun with the members writeBlockMembers
// writes, for the caller to add its own to and end. The block is hashed as
// it comes, then handed over again for its base64.
template <typename Produce>
bool beginStreamedBlock(Writing& writing, Produce produce) {
  JsonOutput& out = writing.out;
  Sha256 digest;
  wendrel_status status = produce(&Sha256::sink, &digest);
  writing.note(status);
  if (status == WENDREL_ERROR_ABSENT) {
    out.null();
    return false;
  }
  out.beginObject();
  out.key("size");
  out.unsignedInteger(digest.size());
  out.key("sha256");
  out.string(digest.hex());
  if (writing.contents) {
    out.key("base64");
    out.beginBase64();
    writing.note(produce(&JsonOutput::base64Sink, &out));
    out.endBase64();
  }
  return true;
}

// The string or null.
void writeOptional(JsonOutput& out, const char* text);

// A block of the library's memory: {"size", "sha256"} and, with --contents,
// "base64" (members of the object being written).
void writeBlockMembers(Writing& writing, const std::uint8_t* bytes, std::size_t size);
void writeBlock(Writing& writing, const std::uint8_t* bytes, std::size_t size);

// A GUID as stored (the first three fields little-endian) in its usual
// form, 8-4-4-4-12 lowercase hexadecimal digits.
std::string guidText(const std::uint8_t guid[16]);
// 100-nanosecond ticks since 1601 as "2024-03-05T09:00:00Z" (sub-second
// ticks dropped); nothing for a time outside the years 1 to 9999.
std::optional<std::string> utcText(std::int64_t ticks);
// "0x" and digits hexadecimal digits, lowercase.
std::string hexText(std::uint32_t value, int digits);

// A MAPI property list: {"complete", "items": [each property]}.
void writePropertyList(Writing& writing, const wendrel_property_list* list);

}  // namespace wendrel::json
