#pragma once
// Entry IDs that name a recipient by itself: the one-off entry ID (MS-OXCDATA
// 2.2.5.1), which holds a display name, an address type and an address, as
// the members of a distribution list keep them, plain or inside a wrapped
// entry ID (MS-OXOCNTC 2.2.2.2.4.1.1). Views into the bytes; nothing is
// allocated.

#include <cstdint>

#include "wendrel/bytes.h"

namespace wendrel::entryid {

enum class Damage : std::uint8_t {
  none,
  other,         // no damage: another kind of entry ID (an address book's, a store's)
  truncated,     // the bytes end inside the header
  unterminated,  // a string runs to the end without its terminator
};

struct OneOff {
  bool unicode = false;  // the strings are UTF-16LE, else 8-bit text
  // Each without its terminator.
  ByteView displayName, addressType, address;
};

// Reads a one-off entry ID, or one wrapped as a one-off member.
Damage readOneOff(ByteView entry, OneOff& oneOff);

}  // namespace wendrel::entryid
