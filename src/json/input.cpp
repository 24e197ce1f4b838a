// Reading the input whole, and ending a run that cannot go on with a status
// rather than a signal.

#include "input.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <new>


namespace wendrel::json {

namespace {

[[noreturn]] void endWithTemporaryFailure(const char* what, const char* detail = nullptr) {
  mime::reportWithoutMemory(kProgram, what, detail);
  _exit(kTemporaryFailure);
}

void onGlibMessage(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
  bool fatal = (level & (G_LOG_FLAG_FATAL | G_LOG_LEVEL_ERROR)) != 0;
  if (fatal && message != nullptr && std::strstr(message, "failed to allocate") != nullptr) {
    endWithTemporaryFailure("out of memory");
  }
  if (fatal) endWithTemporaryFailure(domain != nullptr ? domain : "GLib", message);
  mime::reportWithoutMemory(kProgram, domain != nullptr ? domain : "GLib", message);
}

// Room for the input: a regular file's size and one byte more (to see its
// end without growing), else a start that doubles.
guint sizeHint(int descriptor) {
  struct stat status {};
  bool sized = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
               static_cast<std::uint64_t>(status.st_size) < G_MAXUINT;
  return sized ? static_cast<guint>(status.st_size) + 1 : 64 * 1024;
}

// Reads the rest of descriptor straight into bytes, first within the room
// reserved for it; 0, or errno.
int readAll(int descriptor, GByteArray* bytes, guint reserved) {
  for (;;) {
    guint used = bytes->len;
    // A GByteArray counts in guint: an input of 4 GiB or more cannot be held.
    if (used == G_MAXUINT) return EFBIG;
    guint room = used < reserved ? reserved - used : std::max<guint>(used, 64 * 1024);
    room = std::min(room, G_MAXUINT - used);
    g_byte_array_set_size(bytes, used + room);
    ssize_t count = read(descriptor, bytes->data + used, room);
    int error = errno;
    g_byte_array_set_size(bytes, used + static_cast<guint>(count > 0 ? count : 0));
    if (count == 0) return 0;
    if (count < 0 && error != EINTR) return error;
  }
}

// A regular file's bytes in place, read ahead in order; nullptr when it is
// none (or empty, which some files of /proc say they are) or cannot be mapped.
GBytes* mappedFile(int descriptor) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) return nullptr;
  GMappedFile* file = g_mapped_file_new_from_fd(descriptor, FALSE, nullptr);
  if (file == nullptr) return nullptr;
  madvise(g_mapped_file_get_contents(file), g_mapped_file_get_length(file), MADV_SEQUENTIAL | MADV_WILLNEED);
  GBytes* bytes = g_mapped_file_get_bytes(file);
  g_mapped_file_unref(file);
  return bytes;
}

GBytes* readWhole(int descriptor, int& error) {
  guint reserved = sizeHint(descriptor);
  GByteArray* bytes = g_byte_array_sized_new(reserved);
  error = readAll(descriptor, bytes, reserved);
  if (error == 0) return g_byte_array_free_to_bytes(bytes);
  g_byte_array_unref(bytes);
  return nullptr;
}

}  // namespace

void guardAgainstFatalFailures() {
  g_log_set_default_handler(onGlibMessage, nullptr);
  std::set_new_handler([] { endWithTemporaryFailure("out of memory"); });
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGBUS, [](int) { endWithTemporaryFailure("cannot read the input: it was cut short while it was read"); });
}

Input readInput(const char* path) {
  bool standardInput = std::strcmp(path, "-") == 0;
  int descriptor = standardInput ? STDIN_FILENO : ::open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return {nullptr, mime::inputFailureStatus(errno), errno};
  int error = 0;
  GBytes* bytes = mappedFile(descriptor);
  if (bytes == nullptr) bytes = readWhole(descriptor, error);
  if (!standardInput) close(descriptor);
  if (bytes == nullptr) return {nullptr, mime::inputFailureStatus(error), error};
  return {bytes, kWritten, 0};
}

}  // namespace wendrel::json
