// Code pages through iconv: each code page found once per process and kept,
// whole texts converted with U+FFFD for what does not convert, and a table of
// the upper 128 bytes for decoding one character at a time.
//
// Decoders in many threads share the code pages. A code page, once listed,
// never changes, so it is read without a lock; only listing a new one takes
// the lock. An iconv converter has a state of its own and serves one
// conversion at a time: each conversion takes one of the code page's spare
// converters, or opens another, and gives it back after.

#include "wendrel/formats/code_pages.h"

#include <iconv.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "wendrel/formats/utf8.h"

namespace wendrel::codepage {

// Converters not in use; as many as threads are likely to convert at once in
// the same code page (one more is opened, and closed after, when all are).
inline constexpr std::size_t kSpareConverters = 4;

struct CodePage {
  std::uint32_t number = 0;
  std::array<char32_t, 128> upper{};  // decodeByte of 0x80 to 0xFF
  mutable std::array<std::atomic<iconv_t>, kSpareConverters> spare{};
};

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
constexpr std::size_t kFailed = static_cast<std::size_t>(-1);

// More than the C library can open ("CP<n>" opens for about 150 numbers).
constexpr std::size_t kMaxOpen = 256;
CodePage opened[kMaxOpen];
// Entries below it are complete (a release store after each is filled).
std::atomic<std::size_t> openedCount{0};
pthread_mutex_t openingLock = PTHREAD_MUTEX_INITIALIZER;

// The name iconv knows the code page by.
const char* converterName(std::uint32_t number, char (&name)[16]) {
  if (number == 20127) return "ASCII";
  if (number == 20866) return "KOI8-R";
  if (number == 21866) return "KOI8-U";
  if (number == 65001) return "UTF-8";
  if (number == 10000) return "MACINTOSH";  // iconv has no "CP10000", nor these:
  if (number == 51932) return "EUC-JP";
  if (number == 51949) return "EUC-KR";
  if (number == 54936) return "GB18030";
  if (number == 38598) return "ISO-8859-8";  // the logical-order form of 28598
  bool iso = number >= 28591 && number <= 28606;
  const char* prefix = iso ? "ISO-8859-" : "CP";
  std::size_t length = std::strlen(prefix);
  std::memcpy(name, prefix, length);
  *std::to_chars(name + length, name + sizeof name - 1, iso ? number - 28590 : number).ptr = '\0';
  return name;
}

void reset(iconv_t converter) { iconv(converter, nullptr, nullptr, nullptr, nullptr); }

// Converts bytes on their own from the initial state, the held-back
// character included; the UTF-8 it gives, or nothing when it gives none.
std::size_t convertAlone(iconv_t converter, const std::uint8_t* bytes, std::size_t count, char (&out)[16]) {
  reset(converter);
  char* in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(bytes));
  char* end = out;
  std::size_t inLeft = count, outLeft = sizeof out;
  if (iconv(converter, &in, &inLeft, &end, &outLeft) == kFailed) return kFailed;
  if (iconv(converter, nullptr, nullptr, &end, &outLeft) == kFailed) return kFailed;
  return static_cast<std::size_t>(end - out);
}

// The first character of UTF-8 that iconv wrote (so well formed).
char32_t firstCharacter(const char* text, std::size_t length) {
  auto byte = [&](std::size_t i) { return static_cast<char32_t>(static_cast<std::uint8_t>(text[i])); };
  if (length == 0) return utf8::kReplacementCharacter;
  char32_t lead = byte(0);
  std::size_t count = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (count > length) return utf8::kReplacementCharacter;
  char32_t c = count == 1 ? lead : lead & (0x7Fu >> count);
  for (std::size_t k = 1; k < count; ++k) c = c << 6 | (byte(k) & 0x3F);
  return c;
}

bool keepsAscii(iconv_t converter) {
  for (std::uint8_t byte = 1; byte < 0x80; ++byte) {
    char out[16];
    if (convertAlone(converter, &byte, 1, out) != 1 || static_cast<std::uint8_t>(out[0]) != byte) return false;
  }
  return true;
}

char32_t decodeAlone(iconv_t converter, std::uint8_t byte) {
  char out[16];
  reset(converter);
  char* in = reinterpret_cast<char*>(&byte);
  char* end = out;
  std::size_t inLeft = 1, outLeft = sizeof out;
  if (iconv(converter, &in, &inLeft, &end, &outLeft) == kFailed) {
    return errno == EINVAL ? kLeadByte : utf8::kReplacementCharacter;
  }
  iconv(converter, nullptr, nullptr, &end, &outLeft);
  return firstCharacter(out, static_cast<std::size_t>(end - out));
}

const CodePage* findOpened(std::uint32_t number) {
  std::size_t count = openedCount.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < count; ++i) {
    if (opened[i].number == number) return &opened[i];
  }
  return nullptr;
}

iconv_t openConverter(std::uint32_t number) {
  char name[16];
  return iconv_open("UTF-8", converterName(number, name));
}

// A converter of page's for one conversion, given back when it ends.
class Converter {
 public:
  explicit Converter(const CodePage& page) : page_(page) {
    for (std::atomic<iconv_t>& slot : page_.spare) {
      handle_ = slot.exchange(nullptr, std::memory_order_acquire);
      if (handle_ != nullptr) return;
    }
    handle_ = openConverter(page_.number);
  }
  ~Converter() {
    if (handle_ == kNoConverter) return;
    for (std::atomic<iconv_t>& slot : page_.spare) {
      iconv_t empty = nullptr;
      if (slot.compare_exchange_strong(empty, handle_, std::memory_order_release, std::memory_order_relaxed)) return;
    }
    iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // False when none could be opened (the process is out of memory or files).
  bool usable() const { return handle_ != kNoConverter; }
  iconv_t handle() const { return handle_; }

 private:
  const CodePage& page_;
  iconv_t handle_ = kNoConverter;
};

// ---- Whole texts ----

// Converts one text into a buffer; when the buffer is full, spill either makes
// room (returns true) or ends the conversion.
template <typename Spill>
class TextConversion {
 public:
  TextConversion(iconv_t converter, ByteView text, char* buffer, std::size_t capacity, Spill spill)
      : converter_(converter), in_(reinterpret_cast<char*>(const_cast<std::uint8_t*>(text.data()))),
        inLeft_(text.size()), buffer_(buffer), capacity_(capacity), spill_(spill) {}

  // False when spill ended it early.
  bool run() {
    reset(converter_);
    while (iconv(converter_, &in_, &inLeft_, &out_, &outLeft_) == kFailed) {
      if (errno == E2BIG ? !makeRoom() : !replaceByte()) return false;
    }
    return flushHeld();
  }

  std::size_t used() const { return capacity_ - outLeft_; }
  void restart() {
    out_ = buffer_;
    outLeft_ = capacity_;
  }

 private:
  // Space for at least one more character, if spill gives it.
  bool makeRoom() { return outLeft_ < capacity_ && spill_(*this); }

  // What the converter holds back goes out first, then U+FFFD for the byte.
  bool replaceByte() {
    if (!flushHeld()) return false;
    if (outLeft_ < 3 && !makeRoom()) return false;
    out_ = utf8::encode(out_, utf8::kReplacementCharacter);
    outLeft_ -= 3;
    ++in_;
    --inLeft_;
    return true;
  }

  bool flushHeld() {
    while (iconv(converter_, nullptr, nullptr, &out_, &outLeft_) == kFailed) {
      if (errno != E2BIG || !makeRoom()) return false;
    }
    return true;
  }

  iconv_t converter_;
  char* in_;
  std::size_t inLeft_;
  char* buffer_;
  std::size_t capacity_;
  char* out_ = buffer_;
  std::size_t outLeft_ = capacity_;
  Spill spill_;
};

}  // namespace

namespace {

// Lists the code page, under the lock; nullptr when it cannot be used.
const CodePage* listCodePage(std::uint32_t number) {
  if (const CodePage* page = findOpened(number)) return page;  // another thread listed it meanwhile
  std::size_t count = openedCount.load(std::memory_order_relaxed);
  if (count == kMaxOpen) return nullptr;
  iconv_t converter = openConverter(number);
  if (converter == kNoConverter) return nullptr;
  if (!keepsAscii(converter)) {
    iconv_close(converter);
    return nullptr;
  }
  CodePage& page = opened[count];
  page.number = number;
  for (std::size_t i = 0; i < page.upper.size(); ++i) {
    page.upper[i] = decodeAlone(converter, static_cast<std::uint8_t>(0x80 + i));
  }
  page.spare[0].store(converter, std::memory_order_relaxed);
  openedCount.store(count + 1, std::memory_order_release);
  return &page;
}

}  // namespace

const CodePage* openCodePage(std::uint32_t number) {
  if (const CodePage* page = findOpened(number)) return page;
  pthread_mutex_lock(&openingLock);
  const CodePage* page = listCodePage(number);
  pthread_mutex_unlock(&openingLock);
  return page;
}

std::uint32_t codePageNumber(const CodePage& page) { return page.number; }

namespace {

struct NamedCodePage {
  std::uint32_t number;
  std::string_view name;
};

// The names mail and the web label text with.
constexpr std::array<NamedCodePage, 27> kIanaNames{{
    {65001, "utf-8"},       {20127, "us-ascii"},     {1250, "windows-1250"}, {1251, "windows-1251"},
    {1252, "windows-1252"}, {1253, "windows-1253"},  {1254, "windows-1254"}, {1255, "windows-1255"},
    {1256, "windows-1256"}, {1257, "windows-1257"},  {1258, "windows-1258"}, {874, "windows-874"},
    {866, "ibm866"},        {20866, "koi8-r"},       {21866, "koi8-u"},      {932, "shift_jis"},
    {936, "gb2312"},        {949, "ks_c_5601-1987"}, {950, "big5"},          {51932, "euc-jp"},
    {51949, "euc-kr"},      {54936, "gb18030"},      {38598, "iso-8859-8-i"}, {10000, "macintosh"},
    {50220, "iso-2022-jp"},  {437, "ibm437"},         {850, "ibm850"},
}};

char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowered(x) == lowered(y); });
}

// The number after prefix in name ("windows-1251" after "windows-"), or 0.
std::uint32_t numberAfter(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || !sameName(name.substr(0, prefix.size()), prefix)) return 0;
  std::uint32_t number = 0;
  std::string_view digits = name.substr(prefix.size());
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  return error == std::errc() && end == digits.data() + digits.size() ? number : 0;
}

bool isCharsetCharacter(std::uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == ':';
}

}  // namespace

std::string_view ianaName(std::uint32_t number) {
  for (const NamedCodePage& named : kIanaNames) {
    if (named.number == number) return named.name;
  }
  if (number >= 28591 && number <= 28606 && number != 28601 && number != 28602) {
    static constexpr std::string_view kIso[] = {"iso-8859-1", "iso-8859-2",  "iso-8859-3",  "iso-8859-4",
                                                "iso-8859-5", "iso-8859-6",  "iso-8859-7",  "iso-8859-8",
                                                "iso-8859-9", "iso-8859-10", "",            "",
                                                "iso-8859-13", "iso-8859-14", "iso-8859-15", "iso-8859-16"};
    return kIso[number - 28591];
  }
  return {};
}

const CodePage* openCharset(std::string_view name) {
  for (const NamedCodePage& named : kIanaNames) {
    if (sameName(name, named.name)) return openCodePage(named.number);
  }
  if (std::uint32_t part = numberAfter(name, "iso-8859-"); part >= 1 && part <= 16) return openCodePage(28590 + part);
  if (std::uint32_t number = numberAfter(name, "windows-")) return openCodePage(number);
  if (std::uint32_t number = numberAfter(name, "cp")) return openCodePage(number);
  if (sameName(name, "utf8")) return openCodePage(65001);
  if (sameName(name, "latin1") || sameName(name, "iso_8859-1")) return openCodePage(28591);
  return nullptr;
}

std::string_view declaredCharset(ByteView html, char (&name)[40]) {
  constexpr std::string_view kKey = "charset=";
  std::string_view text(reinterpret_cast<const char*>(html.data()), std::min<std::size_t>(html.size(), 1024));
  for (std::size_t at = 0; at + kKey.size() <= text.size(); ++at) {
    if (!sameName(text.substr(at, kKey.size()), kKey)) continue;
    std::size_t start = at + kKey.size();
    while (start < text.size() && (text[start] == '"' || text[start] == '\'' || text[start] == ' ')) ++start;
    std::size_t length = 0;
    while (start + length < text.size() && length + 1 < sizeof name &&
           isCharsetCharacter(static_cast<std::uint8_t>(text[start + length]))) {
      name[length] = text[start + length];
      ++length;
    }
    if (length != 0) return {name, length};
  }
  return {};
}

bool hasHighBytes(ByteView text) {
  const std::uint8_t* p = text.data();
  std::size_t n = text.size(), i = 0;
  std::uint64_t any = 0;
  for (; n - i >= 8; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    any |= word;
  }
  for (; i < n; ++i) any |= p[i];
  return (any & 0x8080808080808080u) != 0;
}

std::size_t convertText(const CodePage& page, ByteView text, char* out, std::size_t capacity) {
  Converter converter(page);
  if (!converter.usable()) return convertWindows1252(text, out, capacity);
  auto stop = [](auto&) { return false; };
  TextConversion conversion(converter.handle(), text, out, capacity, stop);
  conversion.run();
  return conversion.used();
}

bool convertTextBlocks(const CodePage& page, ByteView text, BlockSink write, void* context) {
  constexpr std::size_t kBlock = 64 * 1024;
  char block[kBlock];
  auto handOver = [&](auto& conversion) {
    bool written = write(ByteView(reinterpret_cast<std::uint8_t*>(block), conversion.used()), context);
    conversion.restart();
    return written;
  };
  Converter converter(page);
  if (!converter.usable()) return convertWindows1252Blocks(text, write, context);
  TextConversion conversion(converter.handle(), text, block, kBlock, handOver);
  if (!conversion.run()) return false;
  return conversion.used() == 0 || write(ByteView(reinterpret_cast<std::uint8_t*>(block), conversion.used()), context);
}

namespace {

// windows-1252's 0x80 to 0x9F; 0xA0 to 0xFF are the Latin-1 characters of the
// same value. Its unassigned bytes keep their own value, as C1 controls.
constexpr std::array<char16_t, 32> kWindows1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

char32_t windows1252Character(std::uint8_t byte) {
  return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte;
}

std::size_t convertWindows1252(ByteView text, char* out, std::size_t capacity) {
  char* p = out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = windows1252Character(text.data()[i]);
    if (utf8::encodedLength(c) > capacity - static_cast<std::size_t>(p - out)) break;
    p = utf8::encode(p, c);
  }
  return static_cast<std::size_t>(p - out);
}

bool convertWindows1252Blocks(ByteView text, BlockSink write, void* context) {
  constexpr std::size_t kBlock = 64 * 1024;
  char block[kBlock];
  // Each byte gives at most three bytes of UTF-8.
  for (std::size_t at = 0; at < text.size(); at += kBlock / 3) {
    std::size_t length = convertWindows1252(text.sub(at, kBlock / 3), block, kBlock);
    if (!write(ByteView(reinterpret_cast<const std::uint8_t*>(block), length), context)) return false;
  }
  return true;
}

char32_t decodeByte(const CodePage& page, std::uint8_t byte) { return byte < 0x80 ? byte : page.upper[byte - 0x80]; }

std::optional<char32_t> decodePair(const CodePage& page, std::uint8_t lead, std::uint8_t trail) {
  const std::uint8_t pair[2] = {lead, trail};
  char out[16];
  Converter converter(page);
  if (!converter.usable()) return std::nullopt;
  std::size_t length = convertAlone(converter.handle(), pair, 2, out);
  if (length == kFailed || length == 0) return std::nullopt;
  return firstCharacter(out, length);
}

}  // namespace wendrel::codepage
