#include "wendrel/output.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace wendrel::out {

namespace {
std::FILE* destination(const Output& o) { return o.target != nullptr ? o.target : stdout; }
}  // namespace

namespace detail {

void drain(Output& o) {
  auto used = static_cast<std::size_t>(o.next - o.buffer);
  if (used != 0 && o.firstError == 0 && !o.discarding) {
    if (std::fwrite(o.buffer, 1, used, destination(o)) != used) o.firstError = errno != 0 ? errno : EIO;
  }
  // After a failure the rest is dropped: the run goes on and reports it once at the end.
  o.next = o.buffer;
}

void copyLong(char* d, const char* s, std::size_t n) { std::memcpy(d, s, n); }

void longText(Output& o, std::string_view s) {
  while (s.size() > static_cast<std::size_t>(o.end - o.next)) {
    auto room = static_cast<std::size_t>(o.end - o.next);
    std::memcpy(o.next, s.data(), room);
    o.next = o.end;
    drain(o);
    s.remove_prefix(room);
  }
  std::memcpy(o.next, s.data(), s.size());
  o.next += s.size();
}

}  // namespace detail

void useBuffer(Output& o, char* buffer, std::size_t capacity) {
  o = Output{};
  o.buffer = buffer;
  o.next = buffer;
  o.end = buffer + capacity;
}

void setTarget(std::FILE* file) {
  detail::drain(state());
  state().target = file;
}

void discard() {
  state().next = state().buffer;
  state().discarding = true;
}

void flush() {
  Output& o = state();
  detail::drain(o);
  if (o.discarding) return;
  if (std::fflush(destination(o)) != 0 && o.firstError == 0) o.firstError = errno != 0 ? errno : EIO;
}

void silenceErrors(bool silent) { state().errorsSilenced = silent; }

void setErrorSink(ErrorSink sink, void* context) {
  state().errorSink = sink;
  state().errorContext = context;
}

void error(const char* format, ...) {
  Output& o = state();
  if (o.errorsSilenced) return;
  std::va_list args;
  va_start(args, format);
  if (o.errorSink != nullptr) {
    // One message, without its last newline (names in it are at most 255 bytes).
    char line[1024];
    int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::size_t size = length < 0 ? 0 : std::min(static_cast<std::size_t>(length), sizeof line - 1);
    if (size != 0 && line[size - 1] == '\n') --size;
    o.errorSink(std::string_view(line, size), o.errorContext);
    return;
  }
  flush();
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
  if (state().firstError != 0) {
    reportWriteError("fflush", state().firstError);
    return false;
  }
  if (std::fclose(stdout) != 0) {
    reportWriteError("fclose", errno);
    return false;
  }
  return true;
}

}  // namespace wendrel::out
