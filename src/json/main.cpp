// wendrel-json: a JSON account of everything the TNEF streams of a file or
// a mail message hold, for mail filters and forensic tools.
//
//   wendrel-json [--contents] [FILE]
//
// Reads FILE (standard input when it is absent or "-") whole and writes one
// JSON document to standard output. Exit statuses are those of sysexits.h,
// as wendrel-mime has them (see input.h).

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "account.h"
#include "input.h"
#include "json_output.h"
#include "tnef_search.h"
#include "wendrel/version.h"

namespace {

using namespace wendrel::json;

void usage(std::FILE* stream) {
  std::fputs(
      "Usage: wendrel-json [--contents] [FILE]\n"
      "Write a JSON account of every TNEF stream (winmail.dat) in FILE.\n"
      "\n"
      "FILE is a bare TNEF stream or a mail message (RFC 5322, or an mbox one after\n"
      "its \"From \" line), whose TNEF parts are each given an account. With no FILE,\n"
      "or when FILE is -, standard input is read.\n"
      "\n"
      "      --contents   also give the bytes of attachments, bodies and binary\n"
      "                   values, in base64\n"
      "      --help       display this help and exit\n"
      "      --version    output version information and exit\n"
      "\n"
      "The document is described by the JSON Schema in\n"
      "/usr/share/wendrel/wendrel-json.schema.json.\n"
      "\n"
      "Exit status (sysexits.h): 0 when the account was written (also when a part\n"
      "was not TNEF or was damaged), 64 for a usage error, 66 when the input does\n"
      "not exist or cannot be opened, 75 for a failure a later try may get past (a\n"
      "read or write error, a full disk, no memory).\n",
      stream);
}

int usageError(const std::string& what) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, printable(what).c_str(),
               kProgram);
  return kUsage;
}

int printed(std::FILE* stream) {
  return std::fflush(stream) == 0 && !std::ferror(stream) ? kWritten : kTemporaryFailure;
}

struct Arguments {
  const char* input = "-";
  bool inputGiven = false;
  AccountOptions options;
};

// Parses the command line; a result other than -1 ends the run with it.
int scan(int argc, char** argv, Arguments& arguments) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (options && argument == "--") {
      options = false;
    } else if (options && argument == "--help") {
      usage(stdout);
      return printed(stdout);
    } else if (options && argument == "--version") {
      std::printf("wendrel-json (%s)\n", wendrel::kProgramVersion);
      return printed(stdout);
    } else if (options && argument == "--contents") {
      arguments.options.contents = true;
    } else if (options && argument.size() > 1 && argument[0] == '-') {
      return usageError("unknown option '" + std::string(argument) + "'");
    } else if (arguments.inputGiven) {
      return usageError("more than one input file");
    } else {
      arguments.input = argv[i];
      arguments.inputGiven = true;
    }
  }
  return -1;
}

const char* inputName(const char* path) { return std::strcmp(path, "-") == 0 ? "standard input" : path; }

int cannotRead(const char* path, int error, int status) {
  std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, printable(inputName(path)).c_str(),
               std::strerror(error != 0 ? error : EIO));
  return status;
}

// Too large for GMime to read as a message (a bare stream that large is
// refused by the library instead, which the document says).
bool tooLargeForMessage(GBytes* input) {
  std::size_t size = 0;
  const auto* data = static_cast<const std::uint8_t*>(g_bytes_get_data(input, &size));
  return size >= kLargestMessage && !startsWithTnefSignature(data, size);
}

int run(const Arguments& arguments) {
  Input input = readInput(arguments.input);
  if (input.bytes == nullptr) return cannotRead(arguments.input, input.error, input.status);
  if (tooLargeForMessage(input.bytes)) {
    g_bytes_unref(input.bytes);
    return cannotRead(arguments.input, EFBIG, kTemporaryFailure);
  }
  // Large blocks to the output: an attachment's base64 goes out in few writes.
  static char buffer[1 << 20];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  JsonOutput out(stdout);
  AccountResult result = writeAccount(out, input.bytes, arguments.options);
  bool written = out.finish();
  g_bytes_unref(input.bytes);
  if (!written) {
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", kProgram, std::strerror(out.error()));
    return kTemporaryFailure;
  }
  if (result.memoryShort) {
    std::fprintf(stderr, "%s: %s: out of memory: the account is not whole\n", kProgram,
                 printable(inputName(arguments.input)).c_str());
    return kTemporaryFailure;
  }
  return kWritten;
}

}  // namespace

int main(int argc, char** argv) {
  guardAgainstFatalFailures();
  Arguments arguments;
  if (int status = scan(argc, argv, arguments); status != -1) return status;
  return run(arguments);
}
