#include "wendrel/output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace wendrel::out {

namespace detail {
alignas(64) char buffer[kBufferSize];
std::size_t used = 0;
namespace {
int firstError = 0;  // errno of the first failed hand-over to stdio
std::FILE* target = nullptr;  // standard output unless set
bool discarding = false;
std::FILE* destination() { return target != nullptr ? target : stdout; }
}

void drain() {
  if (used != 0 && firstError == 0 && !discarding) {
    if (std::fwrite(buffer, 1, used, destination()) != used) firstError = errno != 0 ? errno : EIO;
  }
  // After a failure the rest is dropped: the run goes on and reports it once at the end.
  used = 0;
}

void copyLong(char* d, const char* s, std::size_t n) { std::memcpy(d, s, n); }

void longText(std::string_view s) {
  while (s.size() > kBufferSize - used) {
    std::size_t room = kBufferSize - used;
    std::memcpy(buffer + used, s.data(), room);
    used = kBufferSize;
    drain();
    s.remove_prefix(room);
  }
  std::memcpy(buffer + used, s.data(), s.size());
  used += s.size();
}
}  // namespace detail

void setTarget(std::FILE* file) {
  detail::drain();
  detail::target = file;
}

void discard() {
  detail::used = 0;
  detail::discarding = true;
}

void flush() {
  detail::drain();
  if (detail::discarding) return;
  if (std::fflush(detail::destination()) != 0 && detail::firstError == 0) detail::firstError = errno != 0 ? errno : EIO;
}

namespace {
bool errorsSilenced = false;
}  // namespace

void silenceErrors(bool silent) { errorsSilenced = silent; }

void error(const char* format, ...) {
  if (errorsSilenced) return;
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
