#pragma once
// Where TNEF lies in a mail message, as wendrel-mime and wendrel-json find
// it: a part of type application/ms-tnef or application/vnd.ms-tnef, or any
// part whose content, its transfer encoding undone, starts with the TNEF
// signature.

#include <gmime/gmime.h>

#include <cstddef>
#include <cstdint>

namespace wendrel::mime {

// The bytes 78 9f 3e 22 that every TNEF stream starts with.
bool startsWithSignature(const std::uint8_t* data, std::size_t size);
// A part typed as TNEF.
bool isTnefType(GMimeObject* part);
// A leaf part's content, its transfer encoding undone (a new reference), or
// nullptr when it cannot be read.
GByteArray* decodedContent(GMimePart* part);
// Whether a part's content starts with the TNEF signature, from its first
// bytes only when its encoding allows (most parts are not TNEF, and some are
// large); true when only decoding it whole can tell.
bool startsLikeTnef(GMimePart* part);

}  // namespace wendrel::mime
