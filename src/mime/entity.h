#pragma once
// A MIME entity carried whole inside TNEF (the signed entity of an S/MIME
// message): written as it stands, its own header lines included and never
// folded or encoded again, so that a signature over it still verifies. Only
// its line ends follow the message around it (a signature covers the entity
// with CRLF, whatever line ends it travels with).

#include <gmime/gmime.h>

#include <cstddef>
#include <string_view>

#include "wendrel/bytes.h"

namespace wendrel::mime {

// An entity's header lines (to its first empty line, each with its line end)
// and where its body starts.
struct Entity {
  bool found = false;  // the bytes start with a header field and have an empty line
  std::string_view header;
  std::size_t bodyOffset = 0;
};
Entity splitEntity(ByteView bytes);

// A part made of the entity's header fields (their raw values: GMime writes
// them as they came) and body, the stream of the bytes after the header
// (whose reference it takes), which is written as it stands.
GMimePart* newEntityPart(const Entity& entity, GMimeStream* body);

// Writes the bytes of stream to output with newline as their line end;
// returns the bytes written, or -1.
ssize_t writeWithLineEnds(GMimeStream* stream, const char* newline, GMimeStream* output);

}  // namespace wendrel::mime
