#pragma once
// Standard output for the whole program. Text is formatted straight into one
// large buffer and handed to stdio in big blocks, so printing a field costs a
// copy, not a printf call. Write failures are remembered and reported once,
// after decoding, by finishOutput().

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace wendrel::out {

inline constexpr std::size_t kBufferSize = std::size_t{1} << 20;

namespace detail {
extern char buffer[kBufferSize];
extern std::size_t used;
void drain();
}  // namespace detail

// Room for at least n more bytes (n <= kBufferSize); returns where to write them.
inline char* reserve(std::size_t n) {
  if (kBufferSize - detail::used < n) detail::drain();
  return detail::buffer + detail::used;
}
// Marks the bytes up to end (inside the reserved room) as written.
inline void commit(char* end) { detail::used = static_cast<std::size_t>(end - detail::buffer); }

void text(std::string_view s);
inline void ch(char c) { *reserve(1) = c; ++detail::used; }
void decimal(std::uint64_t value);
void signedDecimal(std::int64_t value);
void hex(std::uint64_t value);                       // lowercase, no leading zeros
void hexPadded(std::uint32_t value, int digits);     // lowercase, zero-filled to digits

// Hands everything buffered so far to stdio (before a message on standard error,
// so the two streams keep their order on a terminal).
void flush();

// A message on standard error, printf-style, after flushing standard output.
[[gnu::format(printf, 1, 2)]] void error(const char* format, ...);

// Writes out what is left and closes standard output. On failure prints
// "Error writing to standard output" and the system error line on standard
// error and returns false.
bool finishOutput();

}  // namespace wendrel::out
