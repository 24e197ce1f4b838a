// Fuzz target: each input is an RTF body, probed, then de-encapsulated as HTML
// and as text, once whole and once cut in three where the input's first bytes
// say. The outputs must match, the probe must answer alike, and every output
// must be valid UTF-8; any difference is a finding.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "wendrel/formats/encapsulated_rtf.h"
#include "wendrel/formats/utf8.h"

namespace {

using namespace wendrel;

bool append(ByteView block, void* context) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(block.data()), block.size());
  return true;
}


std::string deencapsulate(RtfEncapsulation mode, ByteView rtf, std::size_t first, std::size_t second) {
  std::string out;
  RtfDeencapsulator reader(mode, append, &out);
  reader.feed(rtf.sub(0, first));
  reader.feed(rtf.sub(first, second - first));
  reader.feed(rtf.sub(second));
  reader.finish();
  return out;
}

RtfEncapsulation probe(ByteView rtf, std::size_t first, std::size_t second) {
  EncapsulationProbe probe;
  probe.feed(rtf.sub(0, first)) || probe.feed(rtf.sub(first, second - first)) || probe.feed(rtf.sub(second));
  return probe.result();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView rtf(data, size);
  std::size_t first = size == 0 ? 0 : rtf.byte(0) % (size + 1);
  std::size_t second = size == 0 ? 0 : first + rtf.byte(1) * 7 % (size - first + 1);
  if (probe(rtf, size, size) != probe(rtf, first, second)) std::abort();
  for (RtfEncapsulation mode : {RtfEncapsulation::html, RtfEncapsulation::text}) {
    std::string whole = deencapsulate(mode, rtf, size, size);
    if (!utf8::isValid(whole) || deencapsulate(mode, rtf, first, second) != whole) std::abort();
  }
  return 0;
}
