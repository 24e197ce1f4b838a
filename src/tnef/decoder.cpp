// Decoders: the program's own, the one each thread runs, and new ones.

#include "wendrel/decoder.h"

#include <cstdlib>
#include <new>

#include "wendrel/message.h"

namespace wendrel {

namespace {

// The program's own decoder prints to standard output through a buffer in
// static storage, as a single-shot tool would: nothing to set up before main.
alignas(64) char programOutput[out::kBufferSize];
constexpr Decoder programDecoderAtStart() {
  Decoder decoder;
  decoder.output.buffer = programOutput;
  decoder.output.next = programOutput;
  decoder.output.end = programOutput + out::kBufferSize;
  return decoder;
}
constinit Decoder programDecoder = programDecoderAtStart();

}  // namespace

constinit thread_local Decoder* activeDecoder [[gnu::tls_model("initial-exec")]] = &programDecoder;

namespace out {
constinit thread_local Output* activeOutput [[gnu::tls_model("initial-exec")]] = &programDecoder.output;
}

DecoderScope::DecoderScope(Decoder& decoder) : outerDecoder_(activeDecoder), outerOutput_(out::activeOutput) {
  activeDecoder = &decoder;
  out::activeOutput = &decoder.output;
}

DecoderScope::~DecoderScope() {
  activeDecoder = outerDecoder_;
  out::activeOutput = outerOutput_;
}

Decoder* newDecoder() {
  void* memory = std::malloc(sizeof(Decoder));
  if (memory == nullptr) return nullptr;
  auto* decoder = new (memory) Decoder;
  out::useBuffer(decoder->output, decoder->droppedOutput, sizeof decoder->droppedOutput);
  decoder->output.discarding = true;
  return decoder;
}

void freeDecoder(Decoder* decoder) {
  if (decoder == nullptr) return;
  {
    DecoderScope scope(*decoder);
    resetDecoderState();
    freeMessage(decoder->decodedMessage);
    decoder->decodedMessage = nullptr;
  }
  decoder->~Decoder();
  std::free(decoder);
}

}  // namespace wendrel
