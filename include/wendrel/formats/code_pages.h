#pragma once
// 8-bit text in a Windows, DOS or ISO code page, turned into UTF-8 by the C
// library's iconv. Only code pages that keep ASCII as it is are used, so
// ASCII text never needs converting and ASCII delimiters ('\', '{', NUL)
// mean the same before and after.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "wendrel/bytes.h"

namespace wendrel::codepage {

// A code page that converts to UTF-8. Each is opened once per process, on
// first use, and kept until the process ends.
struct CodePage;

// The code page numbered number ("CP<number>", and the ISO-8859, KOI8, ASCII,
// Macintosh and UTF-8 numbers by their own names), or nullptr when the C
// library cannot convert it or it is not ASCII-compatible (some byte
// 0x01-0x7F, converted on its own, does not give itself: EBCDIC, ISO-2022).
const CodePage* openCodePage(std::uint32_t number);

std::uint32_t codePageNumber(const CodePage& page);

// ---- Charsets by name, as MIME and HTML label text ----
// The IANA name of a code page ("windows-1251", "koi8-r", "iso-8859-8-i"),
// or nothing when it has none here.
std::string_view ianaName(std::uint32_t number);
// The code page a charset name stands for (compared without regard to case:
// the IANA names above, "cpNNNN", "windows-NNNN", "iso-8859-N"), opened;
// nullptr when it names none that can be used.
const CodePage* openCharset(std::string_view name);
// The charset an HTML document declares in its first 1024 bytes (a meta
// charset, or charset= in a meta content), copied into name; empty when it
// declares none.
std::string_view declaredCharset(ByteView html, char (&name)[40]);

// True when some byte of text is above 0x7F.
bool hasHighBytes(ByteView text);

// ---- Whole texts ----
// Each byte that starts an invalid or incomplete sequence becomes U+FFFD and
// conversion goes on after it; a character the converter holds back (a base
// letter waiting for a combining mark) is never lost.

// Converts text into out, stopping when out has room for no more (at most
// capacity bytes, always between characters); returns the bytes written.
std::size_t convertText(const CodePage& page, ByteView text, char* out, std::size_t capacity);

// Converts the whole of text, handing the UTF-8 to write in blocks; false as
// soon as write returns false.
bool convertTextBlocks(const CodePage& page, ByteView text, BlockSink write, void* context);

// ---- Text in no usable code page ----
// When a stream names no code page, or one that cannot be used, its 8-bit text
// is read as windows-1252 (the code page of most such mail), unless it is
// already UTF-8. The five bytes windows-1252 leaves unassigned (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) are the C1 controls of the same value, as browsers read
// unlabelled text, so nothing is lost and the result is always UTF-8.

// The character a byte stands for in that reading.
char32_t windows1252Character(std::uint8_t byte);

// Converts text into out, stopping between characters when out has room for no
// more (at most capacity bytes); returns the bytes written.
std::size_t convertWindows1252(ByteView text, char* out, std::size_t capacity);

// Converts the whole of text, handing the UTF-8 to write in blocks; false as
// soon as write returns false.
bool convertWindows1252Blocks(ByteView text, BlockSink write, void* context);

// ---- One character at a time (documents that switch code pages) ----
inline constexpr char32_t kLeadByte = 0xFFFFFFFF;

// The character of a single byte (bytes below 0x80 are themselves), U+FFFD
// for a byte the code page does not map, or kLeadByte for the first byte of a
// double-byte character.
char32_t decodeByte(const CodePage& page, std::uint8_t byte);

// The character a lead byte and the byte after it make, or nothing when they
// make none (the lead byte is then U+FFFD and the trail byte stands alone).
std::optional<char32_t> decodePair(const CodePage& page, std::uint8_t lead, std::uint8_t trail);

}  // namespace wendrel::codepage
