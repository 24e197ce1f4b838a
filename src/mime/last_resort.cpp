#include "last_resort.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace wendrel::mime {

namespace {

void writeAll(int descriptor, const char* text, std::size_t size) {
  while (size != 0) {
    ssize_t written = write(descriptor, text, size);
    if (written <= 0) return;
    text += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

int inputFailureStatus(int error) {
  switch (error) {
    case ENOENT: case ENOTDIR: case EACCES: case EPERM: case ELOOP: case ENAMETOOLONG: case EISDIR: case ENXIO:
    case ENODEV:
      return kNoInput;
    default: return kTemporaryFailure;
  }
}

void reportWithoutMemory(const char* program, const char* what, const char* detail) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char line[512];
  std::size_t used = 0;
  auto put = [&](const char* text, bool escape) {
    for (; text != nullptr && *text != '\0' && used + 5 < sizeof line; ++text) {
      auto byte = static_cast<unsigned char>(*text);
      if (escape && (byte < 0x20 || byte == 0x7F)) {
        line[used++] = '\\';
        line[used++] = 'x';
        line[used++] = kDigits[byte >> 4];
        line[used++] = kDigits[byte & 15];
      } else {
        line[used++] = *text;
      }
    }
  };
  put(program, false);
  put(": ", false);
  put(what, false);
  if (detail != nullptr) {
    put(": ", false);
    put(detail, true);
  }
  line[used++] = '\n';
  writeAll(STDERR_FILENO, line, used);
}

}  // namespace wendrel::mime
