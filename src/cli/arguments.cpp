#include <string_view>

#include "wendrel/cli.h"

namespace wendrel::cli {

Arguments scanArguments(int argc, const char* const* argv) {
  Arguments arguments;
  if (argc < 2 || argc > 4) {
    arguments.outcome = Outcome::wrongCount;
    return arguments;
  }
  arguments.fileName = argv[1];
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "-v") {
      arguments.verbose = 1;
    } else if (argument == "-s") {
      arguments.saveFiles = 1;
    } else if (argument == "-h") {
      arguments.outcome = Outcome::help;
      return arguments;
    } else if (argument == "-d") {
      arguments.dumpHex = 1;
    } else {
      arguments.fileName = argv[i];
    }
  }
  return arguments;
}

}  // namespace wendrel::cli
