#include <cstdio>

#include "wendrel/cli.h"
#include "wendrel/version.h"

namespace wendrel::cli {

void printUsage(const char* invocationName) {
  std::fprintf(stderr,
               "\n%s by Quorral\n"
               "Translation Neutral Encapsulation Format (TNEF) decoder\n"
               "\nUsage: %s [-v][-d][-h][-s] <filename>\n"
               "\t-v: Verbose output\n"
               "\t-d: Dump hex contents\n"
               "\t-h: This information\n"
               "\t-s: Save any attached files in the TNEF stream to disk\n"
               "\n",
               kProgramVersion, invocationName != nullptr ? invocationName : "wendrel");
}

}  // namespace wendrel::cli
