// Fuzz target: dumps and decodes each input as `wendrel -d -v` would, record
// headers and MAPI property lines included, into an output buffer that fills
// up early.

#include "fuzz_decode.h"
#include "wendrel/cli.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  wendrel::fuzz::discardStandardOutput();
  wendrel::verbose = 1;
  wendrel::saveFiles = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  wendrel::fuzz::startOutputNearlyFull(size);
  wendrel::cli::writeHexDump(std::span<const std::uint8_t>(data, size));
  wendrel::fuzz::decodeOne(data, size);
  return 0;
}
