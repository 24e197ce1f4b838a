// Fuzz target: each input is what wendrel-mime reads (a bare TNEF stream or a
// mail message, with or without TNEF parts), converted in memory. The output
// must be one whole message that GMime reads back; when nothing was
// converted it must be the input itself, byte for byte.

#include <gmime/gmime.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wendrel/mime.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  wendrel::mime::initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  GByteArray* input = g_byte_array_sized_new(static_cast<guint>(size));
  g_byte_array_append(input, data, static_cast<guint>(size));
  GMimeStream* output = g_mime_stream_mem_new();
  wendrel::mime::Report report;
  if (!wendrel::mime::convertInput(input, output, report)) {
    std::fputs("conversion failed to write to memory\n", stderr);
    std::abort();
  }
  GByteArray* written = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(output));
  if (!report.changed && (written->len != size || (size != 0 && std::memcmp(written->data, data, size) != 0))) {
    std::fputs("a message without TNEF did not come out unchanged\n", stderr);
    std::abort();
  }
  if (report.changed) {
    g_mime_stream_reset(output);
    GMimeParser* parser = g_mime_parser_new_with_stream(output);
    GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
    if (message == nullptr) {
      std::fputs("the converted message does not parse\n", stderr);
      std::abort();
    }
    g_object_unref(message);
    g_object_unref(parser);
  }
  g_object_unref(output);
  g_byte_array_unref(input);
  return 0;
}
