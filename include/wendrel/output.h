#pragma once
// The output of one decoder. Text is formatted straight into one large buffer
// and handed to stdio in big blocks, so printing a field costs a copy, not a
// printf call. Write failures are remembered and reported once, after
// decoding, by finishOutput().
//
// Each decoder has an Output of its own; the functions here print through the
// one of the decoder the calling thread runs (see decoder.h). One without a
// buffer prints nothing.

#include <array>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace wendrel::out {

inline constexpr std::size_t kBufferSize = std::size_t{256} << 10;

// Where a decoder's diagnostics go instead of standard error (a library's
// caller collects them); line is one whole message, without its newline.
using ErrorSink = void (*)(std::string_view line, void* context);

// A decoder that prints nothing still formats into a buffer, this small one,
// which is emptied without a write whenever it fills. No single reserve asks
// for more.
inline constexpr std::size_t kDroppedBufferSize = 4096;

struct Output {
  // The buffer is [buffer, end); what is written so far ends at next. (Two
  // pointers: printing a field then costs a compare and a copy, as it did
  // with a buffer of its own.)
  char* buffer = nullptr;
  char* next = nullptr;
  char* end = nullptr;
  int firstError = 0;           // errno of the first failed hand-over to stdio
  std::FILE* target = nullptr;  // standard output unless set
  bool discarding = false;
  bool errorsSilenced = false;
  ErrorSink errorSink = nullptr;
  void* errorContext = nullptr;
};

// The Output of the decoder this thread runs.
extern constinit thread_local Output* activeOutput [[gnu::tls_model("initial-exec")]];
inline Output& state() { return *activeOutput; }

namespace detail {
void drain(Output& o);
void longText(Output& o, std::string_view s);
// memcpy for texts over 32 bytes, out of line: inlined, g++ warns that copies
// from small fixed arrays could overrun them on this never-taken path.
void copyLong(char* d, const char* s, std::size_t n);

constexpr std::array<char, 512> makeDigitPairs() {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (std::size_t i = 0; i < 256; ++i) {
    pairs[2 * i] = kDigits[i >> 4];
    pairs[2 * i + 1] = kDigits[i & 0xF];
  }
  return pairs;
}
}  // namespace detail

// Two lowercase hexadecimal digits for every byte value, at 2 * value.
inline constexpr std::array<char, 512> kHexPairs = detail::makeDigitPairs();

// Room for at least n more bytes (n <= kDroppedBufferSize); returns where to
// write them.
inline char* reserve(std::size_t n) {
  Output& o = state();
  if (static_cast<std::size_t>(o.end - o.next) < n) detail::drain(o);
  return o.next;
}
inline std::size_t room() { return static_cast<std::size_t>(state().end - state().next); }
// Marks the bytes up to end (inside the reserved room) as written.
inline void commit(char* end) { state().next = end; }

namespace detail {
// Copies n bytes with at most two overlapping moves when n <= 32, inline: most
// fields are short and of varying length, where a call to memcpy costs more
// than the copy. Never reads outside s[0, n).
inline void copyText(char* d, const char* s, std::size_t n) {
  if (n >= 16) {
    if (n > 32) return copyLong(d, s, n);
    std::memcpy(d, s, 16);
    std::memcpy(d + n - 16, s + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(d, s, 8);
    std::memcpy(d + n - 8, s + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(d, s, 4);
    std::memcpy(d + n - 4, s + n - 4, 4);
  } else if (n != 0) {
    d[0] = s[0];
    d[n / 2] = s[n / 2];
    d[n - 1] = s[n - 1];
  }
}
}  // namespace detail

inline void text(std::string_view s) {
  Output& o = state();
  char* at = o.next;
  if (s.size() <= static_cast<std::size_t>(o.end - at)) [[likely]] {
    detail::copyText(at, s.data(), s.size());
    o.next = at + s.size();
  } else {
    detail::longText(o, s);
  }
}

inline void ch(char c) {
  char* p = reserve(1);
  *p = c;
  commit(p + 1);
}

inline void decimal(std::uint64_t value) {
  char* p = reserve(20);
  commit(std::to_chars(p, p + 20, value).ptr);
}

inline void signedDecimal(std::int64_t value) {
  char* p = reserve(20);
  commit(std::to_chars(p, p + 20, value).ptr);
}

// Lowercase, no leading zeros (printf's %x).
inline void hex(std::uint64_t value) {
  char* p = reserve(16);
  commit(std::to_chars(p, p + 16, value, 16).ptr);
}

// Exactly eight lowercase digits (printf's %08x), as tags are shown.
inline void hex8(std::uint32_t value) {
  char* p = reserve(8);
  for (int i = 3; i >= 0; --i, value >>= 8) std::memcpy(p + 2 * i, &kHexPairs[2 * (value & 0xFF)], 2);
  commit(p + 8);
}

// Lowercase, zero-filled to at least `digits` digits (printf's %08x, %04x).
inline void hexPadded(std::uint32_t value, int digits) {
  int needed = (std::bit_width(value) + 3) / 4;
  int width = needed > digits ? needed : digits;
  char* p = reserve(8) + width;
  for (int i = 0; i < width / 2; ++i, value >>= 8) std::memcpy(p -= 2, &kHexPairs[2 * (value & 0xFF)], 2);
  if (width % 2 != 0) *--p = kHexPairs[2 * (value & 0xF) + 1];
  commit(p + width);
}

// Sends the output to file instead of standard output (benchmarks, fuzzers).
void setTarget(std::FILE* file);
// Starts an output on buffer, of capacity bytes (at least
// kDroppedBufferSize); it prints to standard output unless setTarget says
// otherwise, or drops everything once discard() is called.
void useBuffer(Output& o, char* buffer, std::size_t capacity);
// Drops all output from now on (a program that only wants what the walk
// records, and whose standard output is its own).
void discard();

// Hands everything buffered so far to stdio and flushes it (before a message on
// standard error, so the two streams keep their order on a terminal).
void flush();

// A message on standard error, printf-style, after flushing standard output;
// or to the decoder's error sink when it has one.
[[gnu::format(printf, 1, 2)]] void error(const char* format, ...);
// Where this decoder's messages go instead of standard error.
void setErrorSink(ErrorSink sink, void* context);
// Drops the messages error() would print, for a program that reports what
// it made of the stream in its own words.
void silenceErrors(bool silent);

// Writes out what is left and closes standard output. On failure prints
// "Error writing to standard output" and the system error line on standard
// error and returns false.
bool finishOutput();

}  // namespace wendrel::out
