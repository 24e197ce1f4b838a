#pragma once
// The state of one decoder: its options, its scratch buffers and counters,
// the names it has saved, the stream it walks and its output. Any number of
// decoders run at once, in any threads, each touching only its own state.
//
// The walk's functions take no decoder argument: each reads the decoder the
// calling thread runs, which a DecoderScope sets for as long as it lives.
// A thread that sets none runs the program's own decoder (a single-shot
// program such as wendrel, and the tests, need nothing else).

#include <cstdint>

#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel {

struct MessageRecord;

// Names remembered as 64-bit keyed fingerprints, in arrays that grow in
// place, chained from buckets (see file_names.cpp).
struct FingerprintTable {
  std::uint64_t* keys = nullptr;
  std::uint32_t* links = nullptr;    // the next entry of the same bucket, plus one
  std::uint32_t* numbers = nullptr;  // one per entry, in tables that keep them
  std::uint32_t* buckets = nullptr;  // the first entry of each bucket, plus one
  std::uint32_t count = 0;
  std::uint32_t capacity = 0;  // of entries and of buckets alike: 0 or a power of two
};

// What a decoder remembers of the files it saves.
struct SavedFiles {
  FingerprintTable created;   // the names created
  FingerprintTable counters;  // the next suffix to try, per set of names
  std::size_t filesCreated = 0;
  // The file being decoded, which no save may replace.
  bool inputSet = false;
  std::uint64_t inputDevice = 0;
  std::uint64_t inputInode = 0;
  // The fingerprints' key, taken from the kernel's random bytes at first use.
  bool keyTaken = false;
  std::uint64_t key[2] = {0x0706050403020100, 0x0F0E0D0C0B0A0908};
};

struct Decoder {
  // ---- Options (set before decoding, read-only afterwards) ----
  int verbose = 0;    // -v: a header block per record, a line per MAPI property
  int saveFiles = 0;  // -s: write attachments and message bodies to files
  // Each record keeps the message whole (its parts, attached messages' records),
  // and the file's own is handed over at the end (see message.h).
  bool keepWholeMessages = false;
  // Each record also keeps the whole account of its message (every attribute,
  // property, recipient row, attachment and damage: see MessageModel);
  // implies keepWholeMessages.
  bool keepModel = false;

  // ---- Scratch buffers: each formatter returns a view of its own buffer,
  // valid until that formatter runs again. Texts are NUL-terminated as well. ----
  char stringScratch[kScratchSize] = {};
  char dateText[kScratchSize] = {};
  char statusText[kScratchSize] = {};
  char chosenName[kScratchSize] = {};  // fileNameToCreate's

  // ---- Counters ----
  // Number the bodies of each kind met, from 0, with or without -s.
  int rtfFileCounter = 0;
  int htmlFileCounter = 0;
  int textFileCounter = 0;
  // Saves that failed (unusable name, create, write or close); any makes the
  // exit status -1.
  int failedSaves = 0;
  // A keepMemory or regrowMemory failed since the last reset.
  bool allocationFailed = false;

  SavedFiles saved;

  // ---- The stream being walked ----
  StreamState outsideAnyWalk;
  StreamState* current = nullptr;           // nullptr: outsideAnyWalk
  const std::uint8_t* fileStart = nullptr;  // offsets in messages count from here
  MessageRecord* decodedMessage = nullptr;  // the file's own, kept for takeDecodedMessage

  out::Output output;
  // Where output is formatted when the decoder prints nothing.
  char droppedOutput[out::kDroppedBufferSize] = {};
};

// The decoder this thread runs.
extern constinit thread_local Decoder* activeDecoder [[gnu::tls_model("initial-exec")]];
inline Decoder& decoder() { return *activeDecoder; }

// Makes decoder the one this thread runs for as long as the scope lives.
class DecoderScope {
 public:
  explicit DecoderScope(Decoder& decoder);
  ~DecoderScope();
  DecoderScope(const DecoderScope&) = delete;
  DecoderScope& operator=(const DecoderScope&) = delete;

 private:
  Decoder* outerDecoder_;
  out::Output* outerOutput_;
};

// A decoder of its own, with its start-up state and an output that drops
// everything (give it a buffer with out::useBuffer to print); nullptr when
// memory runs out. freeDecoder frees it and all it holds.
Decoder* newDecoder();
void freeDecoder(Decoder* decoder);

}  // namespace wendrel
