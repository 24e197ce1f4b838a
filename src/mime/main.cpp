// wendrel-mime: turns TNEF (winmail.dat) into ordinary MIME mail, as a filter.
//
//   wendrel-mime [-o OUTPUT] [FILE]
//
// Reads FILE (standard input when it is absent or "-") and writes one whole
// message to OUTPUT (through a file beside it that is renamed into place, so
// OUTPUT is never left half written) or standard output. Exit status 0 when
// a message was written, 1 when the input could not be read or the output
// not written, 2 for a usage error.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "wendrel/mime.h"
#include "wendrel/version.h"

namespace {

constexpr int kWritten = 0, kFailed = 1, kUsage = 2;

void usage(std::FILE* stream) {
  std::fputs(
      "Usage: wendrel-mime [-o OUTPUT] [FILE]\n"
      "Turn TNEF (winmail.dat, application/ms-tnef) into ordinary MIME mail.\n"
      "\n"
      "FILE is a bare TNEF stream, which becomes a whole message, or a mail message\n"
      "(RFC 5322), whose TNEF parts are replaced by what they hold. With no FILE, or\n"
      "when FILE is -, standard input is read.\n"
      "\n"
      "  -o, --output=OUTPUT  write the message to OUTPUT instead of standard output\n"
      "      --help           display this help and exit\n"
      "      --version        output version information and exit\n"
      "\n"
      "Exit status: 0 when a message was written, 1 when the input could not be read\n"
      "or the output could not be written, 2 for a usage error.\n",
      stream);
}

int usageError(const char* program, const std::string& what) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, what.c_str(), program);
  return kUsage;
}

// Reads all of descriptor into a new array; nullptr (errno set) on failure.
GByteArray* readAll(int descriptor) {
  struct stat status {};
  guint hint = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
                       static_cast<std::uint64_t>(status.st_size) < G_MAXUINT
                   ? static_cast<guint>(status.st_size)
                   : 64 * 1024;
  GByteArray* bytes = g_byte_array_sized_new(hint);
  std::size_t chunk = 1 << 20;
  std::string buffer(chunk, '\0');
  for (;;) {
    ssize_t count = read(descriptor, buffer.data(), chunk);
    if (count == 0) return bytes;
    if (count < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      g_byte_array_unref(bytes);
      errno = error;
      return nullptr;
    }
    if (bytes->len > G_MAXUINT - static_cast<guint>(count)) {
      g_byte_array_unref(bytes);
      errno = EFBIG;
      return nullptr;
    }
    g_byte_array_append(bytes, reinterpret_cast<const guint8*>(buffer.data()), static_cast<guint>(count));
  }
}

struct Arguments {
  const char* input = nullptr;
  const char* output = nullptr;
};

// Parses the command line; a result other than -1 ends the run with it.
int scan(int argc, char** argv, Arguments& arguments) {
  const char* program = "wendrel-mime";
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (options && argument == "--") {
      options = false;
    } else if (options && argument == "--help") {
      usage(stdout);
      return std::fflush(stdout) == 0 ? kWritten : kFailed;
    } else if (options && argument == "--version") {
      std::printf("wendrel-mime (%s)\n", wendrel::kProgramVersion);
      return std::fflush(stdout) == 0 ? kWritten : kFailed;
    } else if (options && (argument == "-o" || argument == "--output")) {
      if (++i == argc) return usageError(program, "option '" + argument + "' needs an argument");
      arguments.output = argv[i];
    } else if (options && argument.starts_with("--output=")) {
      arguments.output = argv[i] + std::strlen("--output=");
    } else if (options && argument.starts_with("-o") && argument.size() > 2) {
      arguments.output = argv[i] + 2;
    } else if (options && argument.size() > 1 && argument[0] == '-') {
      return usageError(program, "unknown option '" + argument + "'");
    } else if (arguments.input != nullptr) {
      return usageError(program, "more than one input file");
    } else {
      arguments.input = argv[i];
    }
  }
  if (arguments.output != nullptr && *arguments.output == '\0') return usageError(program, "empty output name");
  return -1;
}

// A new file beside path, made with the permissions a new file gets.
int temporaryBeside(const std::string& path, std::string& temporary) {
  temporary = path + ".XXXXXX";
  int descriptor = mkstemp(temporary.data());
  if (descriptor < 0) return -1;
  mode_t mask = umask(0);
  umask(mask);
  fchmod(descriptor, 0666 & ~mask);
  return descriptor;
}

// Writes the converted message to descriptor through a buffer.
bool writeTo(int descriptor, GByteArray* input, wendrel::mime::Report& report) {
  // A pipe stream only writes: it neither seeks nor syncs, so it serves pipes,
  // terminals and files alike.
  GMimeStream* file = g_mime_stream_pipe_new(descriptor);
  g_mime_stream_pipe_set_owner(GMIME_STREAM_PIPE(file), FALSE);
  GMimeStream* buffered = g_mime_stream_buffer_new(file, GMIME_STREAM_BUFFER_BLOCK_WRITE);
  bool written = wendrel::mime::convertInput(input, buffered, report);
  g_object_unref(buffered);
  g_object_unref(file);
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (int status = scan(argc, argv, arguments); status != -1) return status;
  const char* inputName = arguments.input != nullptr ? arguments.input : "-";
  int input = std::strcmp(inputName, "-") == 0 ? STDIN_FILENO : open(inputName, O_RDONLY | O_CLOEXEC);
  GByteArray* bytes = input >= 0 ? readAll(input) : nullptr;
  if (bytes == nullptr) {
    std::fprintf(stderr, "wendrel-mime: cannot read %s: %s\n", inputName, std::strerror(errno));
    return kFailed;
  }
  if (input != STDIN_FILENO) close(input);

  wendrel::mime::initialize();
  wendrel::mime::Report report;
  std::string temporary;
  bool written = false;
  const char* outputName = arguments.output != nullptr ? arguments.output : "standard output";
  int error = 0;
  if (arguments.output == nullptr) {
    written = writeTo(STDOUT_FILENO, bytes, report);
    error = errno;
  } else {
    int descriptor = temporaryBeside(arguments.output, temporary);
    if (descriptor >= 0) {
      written = writeTo(descriptor, bytes, report) && fsync(descriptor) == 0;
      error = errno;
      written = close(descriptor) == 0 && written;
      if (written && rename(temporary.c_str(), arguments.output) != 0) {
        error = errno;
        written = false;
      }
      if (!written) unlink(temporary.c_str());
    } else {
      error = errno;
    }
  }
  for (const std::string& note : report.notes) std::fprintf(stderr, "wendrel-mime: %s: %s\n", inputName, note.c_str());
  g_byte_array_unref(bytes);
  if (!written) {
    std::fprintf(stderr, "wendrel-mime: cannot write %s: %s\n", outputName, std::strerror(error != 0 ? error : EIO));
    return kFailed;
  }
  return kWritten;
}
