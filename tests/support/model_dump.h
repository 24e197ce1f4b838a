#pragma once
// The whole of what the C interface gives for a message, as one text: every
// attribute, property (each value), recipient row, attachment (with its
// message, in turn), body, calendar item, card and damage. Blobs appear as
// their size and a hash. Two decodings of the same stream agree exactly when
// their dumps do.

#include <string>

#include "wendrel.h"

namespace wendrel::test {

std::string dumpModel(const wendrel_message* message);

// A value the C interface writes, collected whole; empty with the status set
// when it fails.
struct Collected {
  wendrel_status status = WENDREL_OK;
  std::string text;
};
template <typename Call>
Collected collect(Call call) {
  Collected collected;
  wendrel_buffer buffer{};
  collected.status = call(wendrel_buffer_write, &buffer);
  if (collected.status == WENDREL_OK && buffer.data != nullptr) collected.text.assign(buffer.data, buffer.size);
  wendrel_buffer_free(&buffer);
  return collected;
}

// One value of a property as the dump shows it: a number, "ticks N", a GUID
// in hexadecimal, a quoted text (or its size and hash), "bytes SIZE:HASH".
std::string valueText(const wendrel_property* property, std::size_t index);

// The UTF-8 of a string property's value index (or its status's text).
std::string propertyString(const wendrel_property* property, std::size_t index = 0);

}  // namespace wendrel::test
