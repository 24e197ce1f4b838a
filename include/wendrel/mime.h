#pragma once
// TNEF turned into ordinary MIME mail (RFC 2045-2049), built and written
// with GMime 3. A bare TNEF stream becomes a whole message; in any other
// message every TNEF part (application/ms-tnef, application/vnd.ms-tnef, or
// any part whose content starts with the TNEF signature) is replaced by what
// it holds, and everything else stays as it was.
//
// A TNEF part becomes one multipart/mixed: the bodies as a
// multipart/alternative (text, HTML with the pictures it shows by cid: in a
// multipart/related, the calendar item), then every attachment in the form
// wendrel saves it, attached messages as message/rfc822, each converted the
// same way. Nothing is lost: a part with a wrong signature stays as it
// stood, and one whose stream ends on a damaged record is converted as far
// as it goes and also kept as it stood.

#include <gmime/gmime.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wendrel/bytes.h"

namespace wendrel {
struct MessageRecord;
}

namespace wendrel::mime {

// Parts nested deeper than this (multiparts and attached messages) are not
// searched for TNEF: no mail nests so deep, and a hostile one must not take
// the stack.
inline constexpr int kDeepestPart = 64;

struct Report {
  bool changed = false;            // some TNEF was turned into MIME
  std::vector<std::string> notes;  // lines for standard error, one each (see printable)
  bool memoryShort = false;        // memory ran out: what was written is not whole
};

struct Options {
  // A bare stream's message ends its lines in CRLF, not LF. (A mail message
  // keeps the line ends of its header.)
  bool crlf = false;
};

// Sets up the decoder for conversion (its printing goes nowhere, its own
// error lines are silenced, whole messages are kept) and GMime.
void initialize();

// The message input gives, written to output in full. A message with no TNEF
// part is written exactly as it came. The same input always gives the same
// bytes. False when output could not be written. input must outlive the call.
bool convertInput(GByteArray* input, GMimeStream* output, Report& report, const Options& options = {});

// A text from the input as a line of standard error may carry it: control
// characters (U+0000-U+001F, U+007F-U+009F) and bytes that are not UTF-8
// written as \xHH, so that no line can be split, forged or turned into a
// terminal's escape sequence.
std::string printable(std::string_view text);

// ---- What the conversion is built from, open for tests ----

// True for type/subtype made of RFC 2045 tokens.
bool isMediaType(std::string_view text);
// The media type for a file name's extension in a mime.types file
// (lowercase), or nothing.
std::optional<std::string> mediaTypeOf(std::string_view fileName, const char* typesFile = "/etc/mime.types");
// The charset to label 8-bit HTML with: the IANA name of its Internet code
// page, else the charset it declares, else utf-8 when it is UTF-8, else
// windows-1252.
std::string htmlCharsetLabel(const MessageRecord& message, ByteView html);

}  // namespace wendrel::mime
