// wendrel_dump_model FILE: the dump of the model the C interface gives for a
// stream (see model_dump.h), for tests in other languages to compare with.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "model_dump.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: wendrel_dump_model FILE\n", stderr);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.good() && !file.eof()) {
    std::perror(argv[1]);
    return 1;
  }
  wendrel_decoder* decoder = nullptr;
  wendrel_message* message = nullptr;
  if (wendrel_decoder_new(&decoder) != WENDREL_OK ||
      wendrel_decode(decoder, bytes.data(), bytes.size(), WENDREL_DECODE_ANY_SIGNATURE, &message) != WENDREL_OK) {
    std::fprintf(stderr, "%s: %s\n", argv[1], decoder != nullptr ? wendrel_decoder_error(decoder) : "out of memory");
    wendrel_decoder_free(decoder);
    return 1;
  }
  std::fputs(wendrel::test::dumpModel(message).c_str(), stdout);
  wendrel_message_free(message);
  wendrel_decoder_free(decoder);
  return 0;
}
