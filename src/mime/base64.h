#pragma once
// Base64 by loops of our own for the large contents: a part written in base64
// straight to the output, and base64 content read back. GMime's own writer
// and reader send every byte through its coder and a line-end filter one
// byte at a time, which made a large attachment take three times what
// base64(1) takes.

#include <gmime/gmime.h>

namespace wendrel::mime {

// A new part of type major/minor whose content is stream (its reference is
// taken), written in base64 with the message's line ends.
GMimePart* newBase64Part(const char* major, const char* minor, GMimeStream* stream);

// The bytes the base64 text in stream stands for (characters outside the
// alphabet are skipped, the first '=' ends it), appended to out.
void decodeBase64(GMimeStream* stream, GByteArray* out);

}  // namespace wendrel::mime
