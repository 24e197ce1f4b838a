#pragma once
// What both fuzz targets share: standard output goes to /dev/null, every input
// starts from the decoder's start-up state, and the output buffer is handed to
// stdio after each input so the write path runs too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel::fuzz {

inline void discardStandardOutput() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

// Starts the output buffer a little short of full, by an amount the input
// decides (so a finding still reproduces from the input alone): the path that
// hands a full buffer to stdio in the middle of a line then runs as well.
inline void startOutputNearlyFull(std::size_t size) {
  out::flush();
  out::state().next = out::state().end - size % 4096;
}

inline void decodeOne(const std::uint8_t* data, std::size_t size) {
  resetDecoderState();
  decodeStream(std::span<const std::uint8_t>(data, size));
  out::flush();
}

}  // namespace wendrel::fuzz
