// Reading the input, putting the output in its place, and ending a run that
// cannot go on with a status rather than a signal.

#include "files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace wendrel::mime {

int worseOutcome(int a, int b) {
  auto rank = [](int status) { return status == kTemporaryFailure ? 2 : status == kNoInput ? 1 : 0; };
  return rank(a) >= rank(b) ? a : b;
}

// ---- Failing safely ----

namespace {

// The temporary file being written, for the last resort to remove.
char pendingTemporary[PATH_MAX + 16];

[[noreturn]] void endWithTemporaryFailure(const char* what, const char* detail = nullptr) {
  reportWithoutMemory("wendrel-mime", what, detail);
  if (pendingTemporary[0] != '\0') unlink(pendingTemporary);
  _exit(kTemporaryFailure);
}

void onGlibMessage(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
  bool fatal = (level & (G_LOG_FLAG_FATAL | G_LOG_LEVEL_ERROR)) != 0;
  if (fatal && message != nullptr && std::strstr(message, "failed to allocate") != nullptr) {
    endWithTemporaryFailure("out of memory");
  }
  if (fatal) endWithTemporaryFailure(domain != nullptr ? domain : "GLib", message);
  // Warnings go on as lines of their own, made safe to show.
  char what[64] = "GLib";
  if (domain != nullptr) {
    std::strncpy(what, domain, sizeof what - 1);
    what[sizeof what - 1] = '\0';
  }
  reportWithoutMemory("wendrel-mime", what, message);
}

}  // namespace

void guardAgainstFatalFailures() {
  g_log_set_default_handler(onGlibMessage, nullptr);
  std::set_new_handler([] { endWithTemporaryFailure("out of memory"); });
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

// ---- Input ----

namespace {

Input failedInput(int error, GByteArray* partial = nullptr) {
  if (partial != nullptr) g_byte_array_unref(partial);
  return {nullptr, inputFailureStatus(error), error};
}

}  // namespace

Input readInput(const char* path) {
  bool standardInput = std::strcmp(path, "-") == 0;
  int descriptor = standardInput ? STDIN_FILENO : ::open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return failedInput(errno);
  struct stat status {};
  guint hint = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
                       static_cast<std::uint64_t>(status.st_size) < G_MAXUINT
                   ? static_cast<guint>(status.st_size)
                   : 64 * 1024;
  GByteArray* bytes = g_byte_array_sized_new(hint);
  constexpr std::size_t kChunk = 1 << 20;
  auto* buffer = static_cast<char*>(g_malloc(kChunk));
  int error = 0;
  for (;;) {
    ssize_t count = read(descriptor, buffer, kChunk);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    // GByteArray counts in guint: a larger input cannot be held.
    if (bytes->len > G_MAXUINT - static_cast<guint>(count)) {
      error = EFBIG;
      break;
    }
    g_byte_array_append(bytes, reinterpret_cast<const guint8*>(buffer), static_cast<guint>(count));
  }
  g_free(buffer);
  if (!standardInput) close(descriptor);
  if (error != 0) return failedInput(error, bytes);
  return {bytes, kWritten, 0};
}

// ---- Output ----

namespace {

// Where path's symbolic links end: the file a write through it reaches,
// which may not exist yet.
std::string endOfLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    char link[PATH_MAX];
    ssize_t length = readlink(path.c_str(), link, sizeof link - 1);
    if (length < 0) return path;
    std::string next(link, static_cast<std::size_t>(length));
    if (next.front() != '/') {
      std::size_t slash = path.rfind('/');
      next = slash == std::string::npos ? next : path.substr(0, slash + 1) + next;
    }
    path = next;
  }
  return path;
}

}  // namespace

Output::~Output() { discard(); }

bool Output::fail() {
  error_ = errno != 0 ? errno : EIO;
  discard();
  return false;
}

void Output::discard() {
  if (buffered_ != nullptr) g_object_unref(buffered_);
  if (file_ != nullptr) g_object_unref(file_);
  buffered_ = file_ = nullptr;
  if (descriptor_ >= 0 && !toStandardOutput_) close(descriptor_);
  descriptor_ = -1;
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    temporary_.clear();
    pendingTemporary[0] = '\0';
  }
}

bool Output::open() {
  errno = 0;
  if (toStandardOutput_) {
    descriptor_ = STDOUT_FILENO;
  } else {
    struct stat status {};
    bool exists = stat(path_.c_str(), &status) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
      // A device or a FIFO: what the message is written into, not a file to replace.
      descriptor_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (descriptor_ < 0) return fail();
    } else {
      target_ = endOfLinks(path_);
      replacing_ = exists;
      mode_ = status.st_mode & 07777;
      owner_ = status.st_uid;
      group_ = status.st_gid;
      temporary_ = target_ + ".XXXXXX";
      if (temporary_.size() >= sizeof pendingTemporary) {
        errno = ENAMETOOLONG;
        temporary_.clear();
        return fail();
      }
      descriptor_ = mkostemp(temporary_.data(), O_CLOEXEC);  // 0600: it is mail
      if (descriptor_ < 0) {
        temporary_.clear();
        return fail();
      }
      std::memcpy(pendingTemporary, temporary_.c_str(), temporary_.size() + 1);
    }
  }
  // A pipe stream only writes: it neither seeks nor syncs, so it serves
  // pipes, terminals, devices and files alike.
  file_ = g_mime_stream_pipe_new(descriptor_);
  g_mime_stream_pipe_set_owner(GMIME_STREAM_PIPE(file_), FALSE);
  buffered_ = g_mime_stream_buffer_new(file_, GMIME_STREAM_BUFFER_BLOCK_WRITE);
  return true;
}

bool Output::finish() {
  errno = 0;
  if (g_mime_stream_flush(buffered_) != 0) return fail();
  if (temporary_.empty()) {
    // Written in place (or standard output): nothing to sync or rename.
    g_object_unref(buffered_);
    g_object_unref(file_);
    buffered_ = file_ = nullptr;
    int descriptor = std::exchange(descriptor_, -1);
    return toStandardOutput_ || close(descriptor) == 0 || fail();
  }
  if (replacing_) {
    fchmod(descriptor_, static_cast<mode_t>(mode_));
    // Only root may give a file away; a member of its group may keep that.
    if (fchown(descriptor_, static_cast<uid_t>(owner_), static_cast<gid_t>(group_)) != 0) {
      if (fchown(descriptor_, static_cast<uid_t>(-1), static_cast<gid_t>(group_)) != 0) errno = 0;
    }
  }
  if (fsync(descriptor_) != 0) return fail();
  g_object_unref(buffered_);
  g_object_unref(file_);
  buffered_ = file_ = nullptr;
  if (close(std::exchange(descriptor_, -1)) != 0) return fail();
  if (rename(temporary_.c_str(), target_.c_str()) != 0) return fail();
  temporary_.clear();
  pendingTemporary[0] = '\0';
  return true;
}

}  // namespace wendrel::mime
