#include "wendrel/output.h"

#include <cerrno>
#include <cstdarg>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace wendrel::out {

namespace detail {
alignas(64) char buffer[kBufferSize];
std::size_t used = 0;
namespace {
int firstError = 0;  // errno of the first failed hand-over to stdio
}

void drain() {
  if (used != 0 && firstError == 0) {
    if (std::fwrite(buffer, 1, used, stdout) != used) firstError = errno != 0 ? errno : EIO;
  }
  // After a failure the rest is dropped: the run goes on and reports it once at the end.
  used = 0;
}
}  // namespace detail

void text(std::string_view s) {
  while (s.size() > kBufferSize - detail::used) {
    std::size_t room = kBufferSize - detail::used;
    std::memcpy(detail::buffer + detail::used, s.data(), room);
    detail::used = kBufferSize;
    detail::drain();
    s.remove_prefix(room);
  }
  std::memcpy(detail::buffer + detail::used, s.data(), s.size());
  detail::used += s.size();
}

void decimal(std::uint64_t value) {
  char* p = reserve(20);
  commit(std::to_chars(p, p + 20, value).ptr);
}

void signedDecimal(std::int64_t value) {
  char* p = reserve(20);
  commit(std::to_chars(p, p + 20, value).ptr);
}

void hex(std::uint64_t value) {
  char* p = reserve(16);
  commit(std::to_chars(p, p + 16, value, 16).ptr);
}

void hexPadded(std::uint32_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  int needed = (std::bit_width(value) + 3) / 4;
  int width = needed > digits ? needed : digits;
  char* p = reserve(16);
  for (int i = width - 1; i >= 0; --i, value >>= 4) p[i] = kDigits[value & 0xF];
  commit(p + width);
}

void flush() {
  detail::drain();
  if (std::fflush(stdout) != 0 && detail::firstError == 0) detail::firstError = errno != 0 ? errno : EIO;
}

void error(const char* format, ...) {
  flush();
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

namespace {
void reportWriteError(const char* call, int error) {
  std::fputs("Error writing to standard output\n", stderr);
  std::fprintf(stderr, "%s: %s\n", call, std::strerror(error));
}
}  // namespace

bool finishOutput() {
  flush();
  if (detail::firstError != 0) {
    reportWriteError("fflush", detail::firstError);
    return false;
  }
  if (std::fclose(stdout) != 0) {
    reportWriteError("fclose", errno);
    return false;
  }
  return true;
}

}  // namespace wendrel::out
