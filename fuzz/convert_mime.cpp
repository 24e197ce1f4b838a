// Fuzz target: each input is what wendrel-mime reads (a bare TNEF stream or a
// mail message, with or without TNEF parts), converted in memory three ways:
// as it is, after an mbox envelope line, and with every line end made CRLF.
// The output must be one whole message that GMime reads back, the same each
// time; when nothing was converted it must be the input itself, byte for
// byte. The envelope line stays first, and a CRLF message ends every line of
// its output in CRLF. The message made from a bare stream, all of it made
// here, is one that a second conversion leaves as it is. (A mail message
// whose structure is broken may be read otherwise once GMime has written it
// out again, so that a second run finds other parts: no fixed point holds
// for those.)

#include <gmime/gmime.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wendrel/mime.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fputs(what, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

std::string convert(const std::string& input, bool& changed) {
  GByteArray* bytes = g_byte_array_sized_new(static_cast<guint>(input.size()));
  g_byte_array_append(bytes, reinterpret_cast<const guint8*>(input.data()), static_cast<guint>(input.size()));
  GMimeStream* output = g_mime_stream_mem_new();
  wendrel::mime::Report report;
  if (!wendrel::mime::convertInput(bytes, output, report)) fail("conversion failed to write to memory");
  GByteArray* written = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(output));
  std::string result(reinterpret_cast<const char*>(written->data), written->len);
  g_object_unref(output);
  g_byte_array_unref(bytes);
  changed = report.changed;
  return result;
}

bool parses(const std::string& text) {
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  bool parsed = message != nullptr;
  if (message != nullptr) g_object_unref(message);
  g_object_unref(parser);
  g_object_unref(stream);
  return parsed;
}

bool onlyCrlf(const std::string& text) {
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    if (at == 0 || text[at - 1] != '\r') return false;
  }
  return true;
}

std::string withCrlf(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) result += '\r';
    result += text[i];
  }
  return result;
}

void check(const std::string& input, const std::string& envelope, bool crlf, bool bare = false) {
  bool changed = false;
  std::string output = convert(input, changed);
  if (!changed) {
    if (output != input) fail("a message without TNEF did not come out unchanged");
    return;
  }
  if (!parses(output.substr(envelope.size()))) fail("the converted message does not parse");
  if (output.compare(0, envelope.size(), envelope) != 0) fail("the envelope line is not first");
  if (crlf && !onlyCrlf(output)) fail("a CRLF message gave a line that does not end in CRLF");
  bool again = false;
  if (convert(input, again) != output) fail("the same input gave other bytes");
  if (!bare) return;
  std::string reconverted = convert(output, again);
  if (again || reconverted != output) fail("converting the output changed it");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  wendrel::mime::initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  bool bare = size >= 4 && std::memcmp(data, "\x78\x9F\x3E\x22", 4) == 0;
  check(input, "", false, bare);
  const std::string envelope = "From fuzz@example.org Tue Dec 10 10:00:00 2024\n";
  check(envelope + input, envelope, false);
  // A bare stream ends its lines in LF whatever it holds.
  if (!bare) check(withCrlf(input), "", input.find('\n') != std::string::npos);
  return 0;
}
