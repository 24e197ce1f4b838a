// Fuzz target: each input decoded through the C interface, and everything
// the model gives read back (every attribute, property value, recipient row,
// attachment, attached message, body, calendar item and card). The same
// decoder decodes it twice, once from a copy and once borrowing the bytes:
// both must give the same account, and everything the account points into
// must lie inside the input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "model_dump.h"
#include "wendrel.h"

namespace {

wendrel_decoder* decoder = nullptr;

void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

bool inside(const std::uint8_t* data, std::size_t size, const std::uint8_t* base, std::size_t length) {
  return size == 0 || (data >= base && size <= length && static_cast<std::size_t>(data - base) <= length - size);
}

// Attribute values and attachment data lie in the bytes decoded (an OLE
// picture, read out of its compound file, lies in memory of its own).
void checkBounds(const wendrel_message* message, const std::uint8_t* base, std::size_t length) {
  for (std::size_t i = 0; i < wendrel_message_attribute_count(message); ++i) {
    const wendrel_attribute* attribute = wendrel_message_attribute(message, i);
    std::size_t size = 0;
    const std::uint8_t* data = wendrel_attribute_data(attribute, &size);
    if (!inside(data, size, base, length)) fail("an attribute's value lies outside the input");
    if (wendrel_attribute_offset(attribute) + 11 + size > length) fail("an attribute's offset is past the input");
  }
  for (std::size_t i = 0; i < wendrel_message_damage_count(message); ++i) {
    std::uint64_t offset = 0;
    wendrel_message_damage(message, i, nullptr, &offset);
    if (offset > length) fail("damage is placed past the input");
  }
  for (std::size_t i = 0; i < wendrel_message_attachment_count(message); ++i) {
    const wendrel_attachment* attachment = wendrel_message_attachment(message, i);
    std::size_t size = 0;
    const std::uint8_t* data = wendrel_attachment_data(attachment, &size);
    if (wendrel_attachment_kind_of(attachment) != WENDREL_ATTACHMENT_OLE_PICTURE && !inside(data, size, base, length)) {
      fail("an attachment's data lies outside the input");
    }
    if (const wendrel_message* attached = wendrel_attachment_message(attachment)) checkBounds(attached, base, length);
  }
}

std::string decodeAndRead(const std::uint8_t* data, std::size_t size, unsigned flags) {
  wendrel_message* message = nullptr;
  wendrel_status status = wendrel_decode(decoder, data, size, flags | WENDREL_DECODE_ANY_SIGNATURE, &message);
  if (status == WENDREL_ERROR_MEMORY) return "memory";
  if (status != WENDREL_OK || message == nullptr) fail("a decode that may not fail failed");
  std::string account = wendrel::test::dumpModel(message);
  if ((flags & WENDREL_DECODE_BORROW) != 0) checkBounds(message, data, size);
  wendrel_message_free(message);
  return account;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (wendrel_decoder_new(&decoder) != WENDREL_OK) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string copied = decodeAndRead(data, size, 0);
  std::string borrowed = decodeAndRead(data, size, WENDREL_DECODE_BORROW);
  if (copied != "memory" && borrowed != "memory" && copied != borrowed) fail("two decodes of one input differ");
  return 0;
}
