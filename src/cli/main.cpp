// wendrel: prints a readable account of a TNEF stream (winmail.dat), with an
// optional hex dump, per-record headers and saving of attachments.

#include <cstdio>
#include <cstdlib>

#include "wendrel/cli.h"
#include "wendrel/decoder.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

int main(int argc, char** argv) {
  using namespace wendrel;
  cli::Arguments arguments = cli::scanArguments(argc, argv);
  switch (arguments.outcome) {
    case cli::Outcome::wrongCount: cli::printUsage(argv[0]); return -1;
    case cli::Outcome::help: cli::printUsage(argv[0]); return 0;
    case cli::Outcome::decode: break;
  }
  // The program's own decoder: the one a thread runs when it sets none.
  Decoder& tool = decoder();
  tool.verbose = arguments.verbose;
  tool.saveFiles = arguments.saveFiles;

  auto stream = cli::loadStream(arguments.fileName);
  if (!stream) {
    cli::printUsage(argv[0]);
    return -1;
  }
  if (arguments.dumpHex) cli::writeHexDump(*stream);
  decodeStream(*stream);
  bool outputWritten = out::finishOutput();
  if (cli::streamShrank()) {
    std::fprintf(stderr, "Error reading stream from file %s: the file shrank while it was read\n", arguments.fileName);
    return -1;
  }
  // A file that could not be saved fails the run, after the rest is decoded.
  return outputWritten && tool.failedSaves == 0 ? 0 : -1;
}
