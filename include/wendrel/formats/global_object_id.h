#pragma once
// The global object ID of a meeting (MS-OXOCAL 2.2.1.27): a 16-byte class ID,
// the instance date (year, month, day) at bytes 16-19, a creation time, eight
// reserved bytes, a size and that many bytes of data. Data that begins with
// "vCal-Uid" and the dword 1 carries the iCalendar UID of a meeting that came
// from another calendar, as text up to its NUL.

#include <optional>

#include "wendrel/bytes.h"

namespace wendrel::goid {

inline constexpr std::size_t kInstanceDateOffset = 16;
inline constexpr std::size_t kInstanceDateSize = 4;
inline constexpr std::size_t kDataOffset = 40;

// The UID text an ID carries after "vCal-Uid", when it does (up to its NUL,
// within the data its size gives and the blob).
std::optional<ByteView> vcalUid(ByteView id);

// The ID as the UID of every instance of its meeting: uppercase hexadecimal of
// the whole blob with the instance date zeroed, handed to write in blocks.
bool writeInstanceFreeHex(ByteView id, BlockSink write, void* context);
// Any bytes in uppercase hexadecimal (a task's global ID as its UID).
bool writeHex(ByteView bytes, BlockSink write, void* context);

}  // namespace wendrel::goid
