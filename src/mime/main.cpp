// wendrel-mime: turns TNEF (winmail.dat) into ordinary MIME mail, as a filter
// in mail delivery or over many saved messages in one run.
//
//   wendrel-mime [--crlf] [-o OUTPUT] [FILE]
//   wendrel-mime [--crlf] --output-dir DIR [--files-from LIST] [FILE]...
//
// Reads FILE (standard input when it is absent or "-") and writes one whole
// message to OUTPUT or standard output; with --output-dir, converts each
// input on its own into DIR under its base name. Exit statuses are those of
// sysexits.h (see files.h).

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "files.h"
#include "wendrel/mime.h"
#include "wendrel/version.h"

namespace {

using namespace wendrel::mime;

constexpr const char* kProgram = "wendrel-mime";

void usage(std::FILE* stream) {
  std::fputs(
      "Usage: wendrel-mime [--crlf] [-o OUTPUT] [FILE]\n"
      "  or:  wendrel-mime [--crlf] --output-dir DIR [--files-from LIST] [FILE]...\n"
      "Turn TNEF (winmail.dat, application/ms-tnef) into ordinary MIME mail.\n"
      "\n"
      "FILE is a bare TNEF stream, which becomes a whole message, or a mail message\n"
      "(RFC 5322, or an mbox one after its \"From \" line), whose TNEF parts are\n"
      "replaced by what they hold. With no FILE, or when FILE is -, standard input\n"
      "is read.\n"
      "\n"
      "  -o, --output=OUTPUT     write the message to OUTPUT instead of standard output\n"
      "      --output-dir=DIR    convert each input on its own into DIR, under its\n"
      "                          base name\n"
      "      --files-from=LIST   with --output-dir, also convert the files LIST names,\n"
      "                          one a line (- for standard input)\n"
      "      --crlf              end the lines of a message made from a bare stream\n"
      "                          in CRLF (a mail message keeps its own line ends)\n"
      "      --help              display this help and exit\n"
      "      --version           output version information and exit\n"
      "\n"
      "Exit status (sysexits.h): 0 when every message was written, 64 for a usage\n"
      "error, 66 when an input does not exist or cannot be opened, 75 for a failure\n"
      "a later try may get past (a read or write error, a full disk, no memory);\n"
      "with several inputs, the worst of them.\n",
      stream);
}

int usageError(const std::string& what) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram, what.c_str(), kProgram);
  return kUsage;
}

struct Arguments {
  std::vector<const char*> inputs;
  const char* output = nullptr;
  const char* outputDirectory = nullptr;
  const char* list = nullptr;
  Options options;
};

// The value of an option given as "--name=value", "--name value" (or for -o,
// "-ovalue" and "-o value"); nullptr when it has none.
const char* optionValue(int argc, char** argv, int& i, std::string_view argument, std::string_view name) {
  if (argument.size() > name.size()) return argv[i] + name.size() + (name == "-o" ? 0 : 1);
  return ++i < argc ? argv[i] : nullptr;
}

bool isOption(std::string_view argument, std::string_view name) {
  return argument == name || (argument.starts_with(name) && argument.size() > name.size() &&
                              (argument[name.size()] == '=' || (name == "-o" && !argument.starts_with("--"))));
}

// Parses the command line; a result other than -1 ends the run with it.
int scan(int argc, char** argv, Arguments& arguments) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (!options || argument == "-" || argument.empty() || argument[0] != '-') {
      arguments.inputs.push_back(argv[i]);
    } else if (argument == "--") {
      options = false;
    } else if (argument == "--help") {
      usage(stdout);
      return std::fflush(stdout) == 0 ? kWritten : kTemporaryFailure;
    } else if (argument == "--version") {
      std::printf("wendrel-mime (%s)\n", wendrel::kProgramVersion);
      return std::fflush(stdout) == 0 ? kWritten : kTemporaryFailure;
    } else if (argument == "--crlf") {
      arguments.options.crlf = true;
    } else {
      struct Valued {
        std::string_view name, longName;
        const char** value;
      } const valued[] = {{"-o", "--output", &arguments.output},
                          {"--output-dir", "--output-dir", &arguments.outputDirectory},
                          {"--files-from", "--files-from", &arguments.list}};
      const Valued* match = nullptr;
      for (const Valued& v : valued) {
        if (isOption(argument, v.name) || (v.name != v.longName && isOption(argument, v.longName))) match = &v;
      }
      if (match == nullptr) return usageError("unknown option '" + std::string(argument) + "'");
      std::string_view name = isOption(argument, match->name) ? match->name : match->longName;
      const char* value = optionValue(argc, argv, i, argument, name);
      if (value == nullptr) return usageError("option '" + std::string(name) + "' needs an argument");
      if (*value == '\0') return usageError("empty argument to '" + std::string(name) + "'");
      *match->value = value;
    }
  }
  if (arguments.outputDirectory == nullptr) {
    if (arguments.list != nullptr) return usageError("'--files-from' goes with '--output-dir'");
    if (arguments.inputs.size() > 1) return usageError("more than one input file");
  } else {
    if (arguments.output != nullptr) return usageError("'-o' and '--output-dir' do not go together");
    if (arguments.inputs.empty() && arguments.list == nullptr) return usageError("'--output-dir' needs input files");
  }
  return -1;
}

void reportFailure(const char* what, const char* name, int error) {
  std::fprintf(stderr, "%s: cannot %s %s: %s\n", kProgram, what, printable(name).c_str(),
               std::strerror(error != 0 ? error : EIO));
}

// Converts one input to one output (nullptr: standard output).
int convertOne(const char* inputName, const char* outputPath, const Options& options) {
  Input input = readInput(inputName);
  if (input.bytes == nullptr) {
    reportFailure("read", inputName, input.error);
    return input.status;
  }
  Output output(outputPath);
  Report report;
  bool written = output.open() && convertInput(input.bytes, output.stream(), report, options);
  int error = errno;
  if (written && !report.memoryShort) written = output.finish();
  for (const std::string& note : report.notes) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, printable(inputName).c_str(), printable(note).c_str());
  }
  g_byte_array_unref(input.bytes);
  if (report.memoryShort) {
    std::fprintf(stderr, "%s: %s: out of memory\n", kProgram, printable(inputName).c_str());
    return kTemporaryFailure;
  }
  if (!written) {
    reportFailure("write", output.name(), output.error() != 0 ? output.error() : error);
    return kTemporaryFailure;
  }
  return kWritten;
}

// ---- Many inputs ----

// The name an input's message takes in the output directory: its base name,
// or the first of <stem>-1<ext>, <stem>-2<ext>, ... when an input before it
// in this run took that.
std::string outputName(const char* input, std::set<std::string>& taken) {
  std::string name = input;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  if (std::size_t slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
  std::size_t dot = name.rfind('.');
  std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  std::string extension = name.substr(stem.size());
  std::string chosen = name;
  for (unsigned n = 1; taken.count(chosen) != 0; ++n) chosen = stem + "-" + std::to_string(n) + extension;
  taken.insert(chosen);
  return chosen;
}

// The paths LIST names, one a line.
bool readList(const char* list, std::vector<std::string>& paths, int& status) {
  Input input = readInput(list);
  if (input.bytes == nullptr) {
    reportFailure("read", list, input.error);
    status = input.status;
    return false;
  }
  std::string_view text(reinterpret_cast<const char*>(input.bytes->data), input.bytes->len);
  while (!text.empty()) {
    std::size_t end = std::min(text.find('\n'), text.size());
    if (end != 0) paths.emplace_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  g_byte_array_unref(input.bytes);
  return true;
}

int convertAll(const Arguments& arguments) {
  struct stat status {};
  if (stat(arguments.outputDirectory, &status) != 0 || !S_ISDIR(status.st_mode)) {
    reportFailure("write", arguments.outputDirectory, errno != 0 && !S_ISDIR(status.st_mode) ? errno : ENOTDIR);
    return kTemporaryFailure;
  }
  std::vector<std::string> inputs(arguments.inputs.begin(), arguments.inputs.end());
  int outcome = kWritten;
  if (arguments.list != nullptr) {
    int listStatus = kWritten;
    if (!readList(arguments.list, inputs, listStatus)) outcome = listStatus;
  }
  std::set<std::string> taken;
  std::string directory = arguments.outputDirectory;
  if (directory.back() != '/') directory += '/';
  for (const std::string& input : inputs) {
    std::string output = directory + outputName(input.c_str(), taken);
    outcome = worseOutcome(outcome, convertOne(input.c_str(), output.c_str(), arguments.options));
  }
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  guardAgainstFatalFailures();
  Arguments arguments;
  if (int status = scan(argc, argv, arguments); status != -1) return status;
  initialize();
  if (arguments.outputDirectory != nullptr) return convertAll(arguments);
  return convertOne(arguments.inputs.empty() ? "-" : arguments.inputs[0], arguments.output, arguments.options);
}
