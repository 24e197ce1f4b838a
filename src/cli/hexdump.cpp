// The -d dump: rows of 32 bytes, eight groups of four, each group after one
// blank and each row after a newline. Whole rows are formatted with vector
// instructions straight into the output buffer, with the best the processor
// has (chosen at run time): two byte permutations per row with AVX-512 VBMI,
// in-lane byte shuffles with AVX2, sixteen bytes at a time with SSE2; a short
// last row from a digit-pair table.

#include <algorithm>
#include <array>
#include <cstring>

#include "wendrel/cli.h"
#include "wendrel/output.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
// The AVX2 and AVX-512 kernels: compiled for their targets, run only where
// the processor has them.
#define WENDREL_DUMP_X86 1
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wendrel::cli {

namespace {

constexpr std::size_t kRowBytes = 32;
constexpr std::size_t kGroupBytes = 4;

char* formatPartialRow(char* p, const std::uint8_t* bytes, std::size_t count) {
  *p++ = '\n';
  for (std::size_t i = 0; i < count; ++i) {
    if (i % kGroupBytes == 0) *p++ = ' ';
    std::memcpy(p, &out::kHexPairs[2 * std::size_t{bytes[i]}], 2);
    p += 2;
  }
  return p;
}

char* formatRowsScalar(char* p, const std::uint8_t* bytes, std::size_t rows) {
  for (std::size_t i = 0; i < rows; ++i, bytes += kRowBytes) p = formatPartialRow(p, bytes, kRowBytes);
  return p;
}

#if defined(__SSE2__)
// The 32 digits of 16 bytes, in byte order, as two registers of 16 characters.
inline void hexDigits(const std::uint8_t* bytes, __m128i& first, __m128i& second) {
  const __m128i nibble = _mm_set1_epi8(0x0F);
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), nibble);
  __m128i low = _mm_and_si128(v, nibble);
  auto ascii = [](__m128i n) {
    __m128i letter = _mm_cmpgt_epi8(n, _mm_set1_epi8(9));
    __m128i digit = _mm_add_epi8(n, _mm_set1_epi8('0'));
    return _mm_add_epi8(digit, _mm_and_si128(letter, _mm_set1_epi8('a' - '0' - 10)));
  };
  high = ascii(high);
  low = ascii(low);
  first = _mm_unpacklo_epi8(high, low);
  second = _mm_unpackhi_epi8(high, low);
}

// Stores a blank and the 8 digits of one group at p, as one 16-byte store;
// the 7 bytes after the group are overwritten by whatever comes next.
inline void storeGroup(char* p, __m128i digitsFromByte0) {
  const __m128i blank = _mm_cvtsi32_si128(' ');
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_or_si128(_mm_slli_si128(digitsFromByte0, 1), blank));
}

char* formatRowsSse2(char* p, const std::uint8_t* bytes, std::size_t rows) {
  for (std::size_t i = 0; i < rows; ++i) {
    *p++ = '\n';
    for (int half = 0; half < 2; ++half, bytes += 16, p += 36) {
      __m128i first, second;
      hexDigits(bytes, first, second);
      storeGroup(p, first);
      storeGroup(p + 9, _mm_srli_si128(first, 8));
      storeGroup(p + 18, second);
      storeGroup(p + 27, _mm_srli_si128(second, 8));
    }
  }
  return p;
}
#endif

#if defined(WENDREL_DUMP_X86)
// AVX2 shuffles bytes only within 128-bit lanes. A row's 64 digits come out of
// the nibble lookup in four lanes, 16 digits (8 input bytes) each:
//   low = [bytes 0-7 | bytes 16-23], high = [bytes 8-15 | bytes 24-31].
// Each 16-character piece of the row draws on at most two of those lanes, so
// it is the OR of two in-lane shuffles (index 0x80 gives zero) and of the
// separators. Pieces 0-15 and 16-31 form the first store, 32-63 the second,
// and 64-72 come from the last lane alone.
struct LaneSource {
  bool high;        // the high digit register, else the low one
  std::size_t lane;
};

struct AvxPiece {
  LaneSource first, second;
};

// The two sources of each 16-character piece of a row, in store order.
constexpr AvxPiece kAvxPieces[5] = {
    {{false, 0}, {true, 0}}, {{false, 0}, {true, 0}},  // characters 0-15, 16-31
    {{true, 0}, {false, 1}}, {{false, 1}, {true, 1}},  // 32-47, 48-63
    {{true, 1}, {true, 1}},                            // 64-72 and slack
};

struct AvxRowTables {
  std::array<std::uint8_t, 80> first{}, second{}, separators{};
  bool complete = true;  // every digit found a source lane
};

constexpr std::uint8_t kZero = 0x80;

// Where digit k of a row (byte k / 2, high nibble first) sits.
constexpr LaneSource digitLane(std::size_t digit) {
  std::size_t byte = digit / 2;
  return {byte % 16 >= 8, byte / 16};
}
constexpr std::uint8_t digitOffset(std::size_t digit) { return static_cast<std::uint8_t>(2 * (digit / 2 % 8) + digit % 2); }

constexpr AvxRowTables makeAvxRowTables() {
  AvxRowTables tables{};
  for (std::size_t at = 0; at < tables.first.size(); ++at) {
    tables.first[at] = tables.second[at] = kZero;
    if (at == 0) {
      tables.separators[at] = '\n';
      continue;
    }
    std::size_t group = (at - 1) / 9, place = (at - 1) % 9;
    if (group >= kRowBytes / kGroupBytes || place == 0) {
      tables.separators[at] = ' ';
      continue;
    }
    std::size_t digit = 2 * kGroupBytes * group + place - 1;
    LaneSource lane = digitLane(digit);
    const AvxPiece& piece = kAvxPieces[at / 16];
    auto same = [&](LaneSource s) { return s.high == lane.high && s.lane == lane.lane; };
    if (same(piece.first)) {
      tables.first[at] = digitOffset(digit);
    } else if (same(piece.second)) {
      tables.second[at] = digitOffset(digit);
    } else {
      tables.complete = false;
    }
  }
  return tables;
}
alignas(32) constexpr AvxRowTables kAvxRow = makeAvxRowTables();
static_assert(kAvxRow.complete, "a row character has no source lane");

[[gnu::target("avx2")]] inline __m256i load256(const std::uint8_t* table) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table));
}

[[gnu::target("avx2")]] char* formatRowsAvx2(char* p, const std::uint8_t* bytes, std::size_t rows) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i digitChars = _mm256_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd',
                                              'e', 'f', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b',
                                              'c', 'd', 'e', 'f');
  const __m256i first0 = load256(&kAvxRow.first[0]), second0 = load256(&kAvxRow.second[0]);
  const __m256i first1 = load256(&kAvxRow.first[32]), second1 = load256(&kAvxRow.second[32]);
  const __m256i separators0 = load256(&kAvxRow.separators[0]), separators1 = load256(&kAvxRow.separators[32]);
  const __m128i first2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kAvxRow.first[64]));
  const __m128i separators2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kAvxRow.separators[64]));
  for (std::size_t i = 0; i < rows; ++i, bytes += kRowBytes, p += kRowChars) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
    __m256i high = _mm256_shuffle_epi8(digitChars, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    __m256i low = _mm256_shuffle_epi8(digitChars, _mm256_and_si256(v, nibble));
    __m256i digitsLow = _mm256_unpacklo_epi8(high, low);   // [bytes 0-7 | bytes 16-23]
    __m256i digitsHigh = _mm256_unpackhi_epi8(high, low);  // [bytes 8-15 | bytes 24-31]
    __m256i a0 = _mm256_permute4x64_epi64(digitsLow, 0x44);     // [0-7 | 0-7]
    __m256i b0 = _mm256_permute4x64_epi64(digitsHigh, 0x44);    // [8-15 | 8-15]
    __m256i a1 = _mm256_blend_epi32(digitsHigh, digitsLow, 0xF0);     // [8-15 | 16-23]
    __m256i b1 = _mm256_permute2x128_si256(digitsLow, digitsHigh, 0x31);  // [16-23 | 24-31]
    __m256i head = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a0, first0), _mm256_shuffle_epi8(b0, second0)),
                                   separators0);
    __m256i middle = _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(a1, first1), _mm256_shuffle_epi8(b1, second1)), separators1);
    __m128i tail = _mm_or_si128(_mm_shuffle_epi8(_mm256_extracti128_si256(digitsHigh, 1), first2), separators2);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), head);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 32), middle);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 64), tail);
  }
  return p;
}
#endif

#if defined(WENDREL_DUMP_X86)
// Where each of a row's 73 characters comes from: 0..63 are its digits in
// order, 64 is the newline and 65 the blank. The first 64 characters form one
// permutation, the last 9 (padded with blanks to 64) the other.
struct RowLayout {
  std::array<std::uint8_t, 64> head;
  std::array<std::uint8_t, 64> tail;
};

constexpr RowLayout makeRowLayout() {
  std::array<std::uint8_t, 128> source{};
  std::size_t at = 0;
  source[at++] = 64;
  for (std::size_t group = 0; group < kRowBytes / kGroupBytes; ++group) {
    source[at++] = 65;
    for (std::size_t digit = 0; digit < 2 * kGroupBytes; ++digit) {
      source[at++] = static_cast<std::uint8_t>(group * 2 * kGroupBytes + digit);
    }
  }
  while (at < source.size()) source[at++] = 65;
  RowLayout layout{};
  std::copy_n(source.begin(), 64, layout.head.begin());
  std::copy_n(source.begin() + 64, 64, layout.tail.begin());
  return layout;
}
alignas(64) constexpr RowLayout kRowLayout = makeRowLayout();

[[gnu::target("avx512f,avx512bw,avx512vbmi")]] char* formatRowsVbmi(char* p, const std::uint8_t* bytes,
                                                                     std::size_t rows) {
  const __m512i headIndex = _mm512_load_si512(kRowLayout.head.data());
  const __m512i tailIndex = _mm512_load_si512(kRowLayout.tail.data());
  const __m512i separators = _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ' ' << 8 | '\n');
  // "0123456789abcdef" in every 128-bit lane, for the nibble lookup.
  const __m512i digitChars = _mm512_set4_epi32(0x66656463, 0x62613938, 0x37363534, 0x33323130);
  const __mmask64 tailMask = (std::uint64_t{1} << (kRowChars - 64)) - 1;
  for (std::size_t i = 0; i < rows; ++i, bytes += kRowBytes, p += kRowChars) {
    // Each byte widened to 16 bits, then split so that byte 2k holds the high
    // nibble of input byte k and byte 2k + 1 its low nibble.
    __m512i wide = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)));
    __m512i nibbles = _mm512_or_si512(_mm512_srli_epi16(wide, 4),
                                      _mm512_slli_epi16(_mm512_and_si512(wide, _mm512_set1_epi16(0xF)), 8));
    __m512i digits = _mm512_shuffle_epi8(digitChars, nibbles);
    _mm512_storeu_si512(p, _mm512_permutex2var_epi8(digits, headIndex, separators));
    _mm512_mask_storeu_epi8(p + 64, tailMask, _mm512_permutex2var_epi8(digits, tailIndex, separators));
  }
  return p;
}
#endif

}  // namespace

std::span<const RowFormatter> rowFormatters() {
  static constexpr RowFormatter kAll[] = {
#if defined(WENDREL_DUMP_X86)
      {"avx512vbmi", formatRowsVbmi},
      {"avx2", formatRowsAvx2},
#endif
#if defined(__SSE2__)
      {"sse2", formatRowsSse2},
#endif
      {"scalar", formatRowsScalar},
  };
  return kAll;
}

bool rowFormatterUsable(const RowFormatter& formatter) {
#if defined(WENDREL_DUMP_X86)
  if (formatter.format == formatRowsVbmi) {
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
  }
  if (formatter.format == formatRowsAvx2) return __builtin_cpu_supports("avx2");
#endif
  return formatter.format != nullptr;
}

namespace {
// Chosen on first use, not before main: most runs never dump.
RowFormatter::Function chosenFormatter = nullptr;

RowFormatter::Function bestRowFormatter() {
  if (chosenFormatter == nullptr) {
    chosenFormatter = &formatRowsScalar;
    for (const RowFormatter& formatter : rowFormatters()) {
      if (rowFormatterUsable(formatter)) {
        chosenFormatter = formatter.format;
        break;
      }
    }
  }
  return chosenFormatter;
}
}  // namespace

void writeHexDump(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* next = bytes.data();
  std::size_t left = bytes.size();
  RowFormatter::Function formatRows = left >= kRowBytes ? bestRowFormatter() : nullptr;
  while (left >= kRowBytes) {
    // As many whole rows as the buffer has room for, then hand it over.
    char* p = out::reserve(kRowChars + kRowSlack);
    std::size_t rows = std::min(left / kRowBytes, (out::room() - kRowSlack) / kRowChars);
    out::commit(formatRows(p, next, rows));
    next += rows * kRowBytes;
    left -= rows * kRowBytes;
  }
  if (left != 0) out::commit(formatPartialRow(out::reserve(kRowChars), next, left));
  out::ch('\n');
}

}  // namespace wendrel::cli
