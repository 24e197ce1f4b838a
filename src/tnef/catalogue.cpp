// The vocabulary of the stream (attribute and type names) and the formatters
// that turn raw values into text.

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "wendrel/formats/code_pages.h"
#include "wendrel/formats/utf16.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/id_index.h"
#include "wendrel/decoder.h"
#include "wendrel/tnef.h"

namespace wendrel {

namespace {

struct NamedAttribute {
  std::uint32_t id;
  std::string_view name;
};

constexpr std::array<NamedAttribute, 33> kAttributeNames{{
    {attNull, "attNull"},
    {attFrom, "attFrom"},
    {attSubject, "attSubject"},
    {attMessageID, "attMessageID"},
    {attParentID, "attParentID"},
    {attConversationID, "attConversationID"},
    {attAttachTitle, "attAttachTitle"},
    {attBody, "attBody"},
    {attDateStart, "attDateStart"},
    {attDateEnd, "attDateEnd"},
    {attDateSent, "attDateSent"},
    {attDateRecd, "attDateRecd"},
    {attAttachCreateDate, "attAttachCreateDate"},
    {attAttachModifyDate, "attAttachModifyDate"},
    {attDateModified, "attDateModified"},
    {attRequestRes, "attRequestRes"},
    {attPriority, "attPriority"},
    {attAidOwner, "attAidOwner"},
    {attOwner, "attOwner"},
    {attSentFor, "attSentFor"},
    {attDelegate, "attDelegate"},
    {attMessageStatus, "attMessageStatus"},
    {attAttachData, "attAttachData"},
    {attAttachMetaFile, "attAttachMetaFile"},
    {attAttachTransportFilename, "attAttachTransportFilename"},
    {attAttachRenddata, "attAttachRenddata"},
    {attMAPIProps, "attMAPIProps"},
    {attRecipTable, "attRecipTable"},
    {attAttachment, "attAttachment"},
    {attOemCodepage, "attOemCodepage"},
    {attOriginalMessageClass, "attOriginalMessageClass"},
    {attMessageClass, "attMessageClass"},
    {attTnefVersion, "attTnefVersion"},
}};
constexpr IdIndex kAttributeNameIndex(kAttributeNames, &NamedAttribute::id);
static_assert(kAttributeNameIndex.complete());

constexpr std::array<std::string_view, 9> kTypeNames{
    "atpTriples", "atpString", "atpText", "atpDate", "atpShort",
    "atpLong",    "atpByte",   "atpWord", "atpDword"};

constexpr std::array<std::string_view, 7> kDayNames{
    "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

constexpr std::array<std::string_view, 3> kPriorityLabels{"(High)", "(Normal)", "(Low)"};

struct StatusWord {
  std::uint8_t mask;
  std::string_view word;
};
constexpr std::array<StatusWord, 5> kStatusWords{{
    {0x01, "Modified"}, {0x02, "Local"}, {0x04, "Submitted"}, {0x20, "Read"}, {0x80, "HasAttach"}}};

// Appends text at p; the callers' texts are bounded well below the buffers.
char* append(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

char* appendNumber(char* p, unsigned value) { return std::to_chars(p, p + 10, value).ptr; }

}  // namespace

std::uint32_t readDword(ByteView bytes, std::size_t offset) { return bytes.dword(offset); }

std::uint16_t readWord(ByteView bytes, std::size_t offset) { return bytes.word(offset); }

std::string_view attributeName(std::uint32_t attributeId) {
  int position = kAttributeNameIndex.find(attributeId);
  return position >= 0 ? kAttributeNames[static_cast<std::size_t>(position)].name : "Unknown";
}

std::string_view attributeTypeName(std::uint16_t typeCode) {
  return typeCode < kTypeNames.size() ? kTypeNames[typeCode] : "unknown";
}

TnefDate readTnefDate(ByteView value) {
  auto field = [&](int index) { return value.word(2 * static_cast<std::size_t>(index)); };
  return {field(0), field(1), field(2), field(3), field(4), field(5), field(6)};
}

// "Saturday, 3/14/1998 " (month/day/year, a trailing blank). The weekday is the
// one stored in the stream; a value outside 0..6 is shown as "Unknown".
std::string_view formatDate(ByteView value) {
  TnefDate date = readTnefDate(value);
  char* dateText = decoder().dateText;
  char* p = dateText;
  p = append(p, date.dayOfWeek < kDayNames.size() ? kDayNames[date.dayOfWeek] : "Unknown");
  p = append(p, ", ");
  p = appendNumber(p, date.month);
  *p++ = '/';
  p = appendNumber(p, date.day);
  *p++ = '/';
  p = appendNumber(p, date.year);
  *p++ = ' ';
  *p = '\0';
  return {dateText, static_cast<std::size_t>(p - dateText)};
}

std::string_view priorityLabel(std::uint16_t priority) {
  auto index = static_cast<std::uint16_t>(priority - 1);
  return index < kPriorityLabels.size() ? kPriorityLabels[index] : "";
}

std::string_view messageStatusText(std::uint8_t flags) {
  char* statusText = decoder().statusText;
  char* p = statusText;
  for (const StatusWord& status : kStatusWords) {
    if ((flags & status.mask) != 0) {
      p = append(p, status.word);
      *p++ = ' ';
    }
  }
  *p = '\0';
  return {statusText, static_cast<std::size_t>(p - statusText)};
}

// At most 255 bytes of the value, up to its first NUL; never reads past the view.
std::string_view copyStringValue(ByteView value, char (&text)[kScratchSize]) {
  std::size_t limit = std::min(value.size(), kMaxText);
  std::size_t length = limit;
  if (limit != 0) {
    if (const void* nul = std::memchr(value.data(), '\0', limit)) {
      length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - value.data());
    }
    std::memcpy(text, value.data(), length);
  }
  std::memset(text + length, 0, limit - length + 1);
  return {text, length};
}

std::string_view copyStringValue(ByteView value) { return copyStringValue(value, decoder().stringScratch); }

std::string_view copyTextValue(ByteView value, const codepage::CodePage* page) {
  return copyTextValue(value, page, decoder().stringScratch);
}

std::string_view copyTextValue(ByteView value, const codepage::CodePage* page, char (&text)[kScratchSize]) {
  std::string_view raw = copyStringValue(value, text);
  ByteView bytes(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
  if (!codepage::hasHighBytes(bytes)) return raw;
  if (page == nullptr) {
    // Text that is UTF-8 already stays so (less a character the cut split);
    // any other is read as windows-1252.
    std::size_t whole = raw.size() == kMaxText ? utf8::withoutCutCharacter(raw) : raw.size();
    if (utf8::isValid(raw.substr(0, whole))) {
      text[whole] = '\0';
      return {text, whole};
    }
  }
  char converted[kMaxText];
  std::size_t length = page != nullptr ? codepage::convertText(*page, bytes, converted, kMaxText)
                                       : codepage::convertWindows1252(bytes, converted, kMaxText);
  std::memcpy(text, converted, length);
  text[length] = '\0';
  return {text, length};
}

namespace {

// Most Unicode values are mostly ASCII. When the eight code units at units are
// all ASCII and none is zero, writes their bytes to out (which has room for
// eight) and returns true.
bool copyAsciiBlock([[maybe_unused]] const std::uint8_t* units, [[maybe_unused]] char* out) {
#if defined(__SSE2__)
  __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
  __m128i zero = _mm_setzero_si128();
  __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(block, _mm_set1_epi16(static_cast<short>(0xFF80))), zero);
  __m128i good = _mm_andnot_si128(_mm_cmpeq_epi16(block, zero), ascii);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(block, block));
  return _mm_movemask_epi8(good) == 0xFFFF;
#else
  return false;
#endif
}

}  // namespace

std::size_t writeUnicodeValue(ByteView value, char* text) {
  const std::uint8_t* units = value.data();
  std::size_t count = value.size() / 2;  // an odd last byte is no unit
  char* p = text;
  char* const end = text + kMaxText;
  for (std::size_t i = 0; i < count;) {
    // Blocks of eight ASCII units go whole. Where a block goes does not hang
    // on what the block before held, so the processor overlaps them.
    if (count - i >= 8 && end - p >= 8 && copyAsciiBlock(units + 2 * i, p)) {
      p += 8;
      i += 8;
      continue;
    }
    // Any other block, and the last few units, one character at a time.
    for (std::size_t blockEnd = std::min(count, i + 8), taken = 0; i < blockEnd; i += taken) {
      char32_t c = utf16::decode(value, i, count, taken);
      if (c == 0 || utf8::encodedLength(c) > static_cast<std::size_t>(end - p)) return static_cast<std::size_t>(p - text);
      p = utf8::encode(p, c);
    }
  }
  return static_cast<std::size_t>(p - text);
}

std::string_view copyUnicodeValue(ByteView value, char (&text)[kScratchSize]) {
  std::size_t length = writeUnicodeValue(value, text);
  text[length] = '\0';
  return {text, length};
}

std::string_view copyUnicodeValue(ByteView value) { return copyUnicodeValue(value, decoder().stringScratch); }

}  // namespace wendrel
