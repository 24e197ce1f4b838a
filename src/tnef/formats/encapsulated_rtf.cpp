// HTML and text out of RTF that encapsulates them: a resumable tokenizer, the
// probe that reads a body's first tokens, and the reader that follows groups,
// destinations, \htmlrtf and fonts to copy out what the body encapsulates.

#include "wendrel/formats/encapsulated_rtf.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "wendrel/formats/code_pages.h"
#include "wendrel/formats/utf16.h"
#include "wendrel/formats/utf8.h"

namespace wendrel {

namespace {

constexpr bool isLetter(std::uint8_t byte) { return (byte | 0x20) >= 'a' && (byte | 0x20) <= 'z'; }
constexpr bool isDigit(std::uint8_t byte) { return byte >= '0' && byte <= '9'; }

constexpr int hexValue(std::uint8_t byte) {
  if (isDigit(byte)) return byte - '0';
  std::uint8_t lower = byte | 0x20;
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// A parameter may have any number of digits: it saturates instead of overflowing.
constexpr std::int32_t addDigit(std::int32_t value, std::uint8_t digit) {
  std::int32_t d = digit - '0';
  return value <= (INT32_MAX - d) / 10 ? value * 10 + d : INT32_MAX;
}

// What ends a run of text: the delimiters, and line breaks, which RTF drops.
constexpr std::array<bool, 256> kEndsText = [] {
  std::array<bool, 256> ends{};
  for (std::uint8_t byte : {'\\', '{', '}', '\r', '\n'}) ends[byte] = true;
  return ends;
}();

constexpr std::uint64_t kEachByte = 0x0101010101010101u;

// The top bit of each byte of word that equals value. The lowest is exact;
// a borrow may mark bytes above a match too, which finding the first ignores.
constexpr std::uint64_t bytesEqual(std::uint64_t word, std::uint8_t value) {
  std::uint64_t x = word ^ (kEachByte * value);
  return (x - kEachByte) & ~x & (kEachByte * 0x80);
}

// The first byte from at on that ends a run of text, eight bytes a step.
const std::uint8_t* endOfText(const std::uint8_t* at, const std::uint8_t* end) {
  if constexpr (std::endian::native == std::endian::little) {
    for (; end - at >= 8; at += 8) {
      std::uint64_t word;
      std::memcpy(&word, at, 8);
      std::uint64_t ends = bytesEqual(word, '\\') | bytesEqual(word, '{') | bytesEqual(word, '}') |
                           bytesEqual(word, '\r') | bytesEqual(word, '\n');
      if (ends != 0) return at + std::countr_zero(ends) / 8;
    }
  }
  while (at < end && !kEndsText[*at]) ++at;
  return at;
}

// The bytes before the first one above 0x7F.
std::size_t asciiPrefix(const std::uint8_t* bytes, std::size_t count) {
  std::size_t at = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; count - at >= 8; at += 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + at, 8);
      std::uint64_t high = word & 0x8080808080808080u;
      if (high != 0) return at + static_cast<std::size_t>(std::countr_zero(high)) / 8;
    }
  }
  while (at < count && bytes[at] < 0x80) ++at;
  return at;
}

// The code page that a font's \fcharsetN stands for, or 0 for none of these.
constexpr std::pair<std::int16_t, std::uint32_t> kCharsetCodePages[] = {
    {0, 1252},   {77, 10000}, {128, 932},  {129, 949},  {134, 936},  {136, 950},  {161, 1253}, {162, 1254},
    {163, 1258}, {177, 1255}, {178, 1256}, {186, 1257}, {204, 1251}, {222, 874},  {238, 1250},
};

std::uint32_t charsetCodePage(std::int16_t charset) {
  for (auto [number, codePage] : kCharsetCodePages) {
    if (number == charset) return codePage;
  }
  return 0;
}

constexpr char32_t kReplacement = utf8::kReplacementCharacter;

}  // namespace

// ---- Control words that matter here ----

namespace rtf {

enum class Act : std::uint8_t {
  character,         // stands for one character
  lineBreak,         // \par, \line: CR LF
  unicode,           // \uN
  fallbackCount,     // \ucN
  font,              // \fN: the current font, or in the font table the font being defined
  fontCharset,       // \fcharsetN, in the font table
  fontCodePage,      // \cpgN, in the font table
  defaultFont,       // \deffN
  documentCodePage,  // \ansicpgN
  documentCharset,   // \ansi, \pc, \pca, \mac: a code page unless \ansicpg names one
  plain,             // \plain: back to the default font
  htmlrtf,           // \htmlrtf, \htmlrtf1, \htmlrtf0
  htmlTag,           // \*\htmltagN: encapsulated HTML
  fontTable,         // \fonttbl
  skipped,           // a destination with no text of the body
};

struct Word {
  std::string_view name;
  Act act;
  char32_t value = 0;  // the character, or a charset's code page
};

namespace {

constexpr Word kWords[] = {
    {"par", Act::lineBreak},
    {"line", Act::lineBreak},
    {"tab", Act::character, U'\t'},
    {"lquote", Act::character, 0x2018},
    {"rquote", Act::character, 0x2019},
    {"ldblquote", Act::character, 0x201C},
    {"rdblquote", Act::character, 0x201D},
    {"bullet", Act::character, 0x2022},
    {"endash", Act::character, 0x2013},
    {"emdash", Act::character, 0x2014},
    {"emspace", Act::character, 0x2003},
    {"enspace", Act::character, 0x2002},
    {"qmspace", Act::character, 0x2005},
    {"zwj", Act::character, 0x200D},
    {"zwnj", Act::character, 0x200C},
    {"ltrmark", Act::character, 0x200E},
    {"rtlmark", Act::character, 0x200F},
    {"u", Act::unicode},
    {"uc", Act::fallbackCount},
    {"f", Act::font},
    {"fcharset", Act::fontCharset},
    {"cpg", Act::fontCodePage},
    {"deff", Act::defaultFont},
    {"ansicpg", Act::documentCodePage},
    {"ansi", Act::documentCharset, 1252},
    {"pc", Act::documentCharset, 437},
    {"pca", Act::documentCharset, 850},
    {"mac", Act::documentCharset, 10000},
    {"plain", Act::plain},
    {"htmlrtf", Act::htmlrtf},
    {"htmltag", Act::htmlTag},
    {"fonttbl", Act::fontTable},
    // Tables, pictures, document properties, field instructions, headers,
    // footers, notes and index entries: none is text of the body.
    {"colortbl", Act::skipped},
    {"stylesheet", Act::skipped},
    {"listtable", Act::skipped},
    {"listoverridetable", Act::skipped},
    {"revtbl", Act::skipped},
    {"rsidtbl", Act::skipped},
    {"filetbl", Act::skipped},
    {"xmlnstbl", Act::skipped},
    {"info", Act::skipped},
    {"pict", Act::skipped},
    {"nonshppict", Act::skipped},
    {"objdata", Act::skipped},
    {"objclass", Act::skipped},
    {"objname", Act::skipped},
    {"fldinst", Act::skipped},
    {"header", Act::skipped},
    {"headerl", Act::skipped},
    {"headerr", Act::skipped},
    {"headerf", Act::skipped},
    {"footer", Act::skipped},
    {"footerl", Act::skipped},
    {"footerr", Act::skipped},
    {"footerf", Act::skipped},
    {"footnote", Act::skipped},
    {"ftnsep", Act::skipped},
    {"ftnsepc", Act::skipped},
    {"ftncn", Act::skipped},
    {"aftnsep", Act::skipped},
    {"aftnsepc", Act::skipped},
    {"aftncn", Act::skipped},
    {"annotation", Act::skipped},
    {"atnid", Act::skipped},
    {"atnauthor", Act::skipped},
    {"xe", Act::skipped},
    {"tc", Act::skipped},
    {"txe", Act::skipped},
    {"rxe", Act::skipped},
    {"pntxta", Act::skipped},
    {"pntxtb", Act::skipped},
    {"template", Act::skipped},
    {"title", Act::skipped},
    {"subject", Act::skipped},
    {"author", Act::skipped},
    {"operator", Act::skipped},
    {"keywords", Act::skipped},
    {"comment", Act::skipped},
    {"doccomm", Act::skipped},
    {"creatim", Act::skipped},
    {"revtim", Act::skipped},
    {"printim", Act::skipped},
    {"buptim", Act::skipped},
    {"falt", Act::skipped},
    {"panose", Act::skipped},
    {"bkmkstart", Act::skipped},
    {"bkmkend", Act::skipped},
    {"generator", Act::skipped},
    {"themedata", Act::skipped},
    {"colorschememapping", Act::skipped},
    {"datastore", Act::skipped},
    {"latentstyles", Act::skipped},
    {"userprops", Act::skipped},
    {"docvar", Act::skipped},
    {"private", Act::skipped},
};

constexpr bool isDestination(Act act) { return act == Act::htmlTag || act == Act::fontTable || act == Act::skipped; }

// FNV-1a, for an open-addressed table of the names built at compile time.
constexpr std::uint32_t nameHash(std::string_view name) {
  std::uint32_t hash = 2166136261u;
  for (char c : name) hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
  return hash;
}

constexpr std::size_t kWordSlots = 256;
static_assert(std::size(kWords) < kWordSlots / 2, "the name table stays sparse");

constexpr auto kWordSlotTable = [] {
  std::array<std::uint8_t, kWordSlots> slots{};  // index into kWords + 1; 0 is empty
  for (std::size_t i = 0; i < std::size(kWords); ++i) {
    std::size_t slot = nameHash(kWords[i].name) % kWordSlots;
    while (slots[slot] != 0) slot = (slot + 1) % kWordSlots;
    slots[slot] = static_cast<std::uint8_t>(i + 1);
  }
  return slots;
}();

const Word* findWord(std::string_view name) {
  for (std::size_t slot = nameHash(name) % kWordSlots; kWordSlotTable[slot] != 0; slot = (slot + 1) % kWordSlots) {
    const Word& word = kWords[kWordSlotTable[slot] - 1];
    if (word.name == name) return &word;
  }
  return nullptr;
}

}  // namespace

// ---- Tokenizer ----

template <typename Handler>
void Tokenizer::feed(ByteView rtf, Handler& handler) {
  const std::uint8_t* at = rtf.data();
  const std::uint8_t* end = at + rtf.size();
  while (at < end && !handler.done()) {
    switch (state_) {
      case State::text: at = scanText(at, end, handler); break;
      case State::binary: at = skipBinary(at, end); break;
      case State::name:
      case State::digits: at = scanWord(at, end, handler); break;
      default: at += step(*at, handler) ? 1 : 0; break;
    }
  }
}

template <typename Handler>
void Tokenizer::finish(Handler& handler) {
  if (state_ == State::name || state_ == State::minus || state_ == State::digits) endWord(' ', handler);
  state_ = State::text;
}

// Hands over the run of text at the start and acts on the byte that ends it.
template <typename Handler>
const std::uint8_t* Tokenizer::scanText(const std::uint8_t* at, const std::uint8_t* end, Handler& handler) {
  const std::uint8_t* run = at;
  at = endOfText(at, end);
  if (at != run) handler.text(run, static_cast<std::size_t>(at - run));
  if (at == end || handler.done()) return at;
  switch (*at) {
    case '\\': state_ = State::backslash; break;
    case '{': handler.groupStart(); break;
    case '}': handler.groupEnd(); break;
    default: break;  // a line break
  }
  return at + 1;
}

// The letters of a name or the digits of a parameter in one loop, then the
// byte after them.
template <typename Handler>
const std::uint8_t* Tokenizer::scanWord(const std::uint8_t* at, const std::uint8_t* end, Handler& handler) {
  if (state_ == State::name) {
    for (; at < end && isLetter(*at); ++at) appendLetter(*at);
  } else {
    for (; at < end && isDigit(*at); ++at) parameter_ = addDigit(parameter_, *at);
  }
  return at < end && step(*at, handler) ? at + 1 : at;
}

const std::uint8_t* Tokenizer::skipBinary(const std::uint8_t* at, const std::uint8_t* end) {
  std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(binaryLeft_, static_cast<std::size_t>(end - at)));
  binaryLeft_ -= count;
  if (binaryLeft_ == 0) state_ = State::text;
  return at + count;
}

void Tokenizer::appendLetter(std::uint8_t letter) {
  if (nameLength_ < kLongestName) {
    name_[nameLength_++] = static_cast<char>(letter);
  } else {
    nameTooLong_ = true;
  }
}

// One byte of a control word, symbol or escape; false when the byte ended it
// and belongs to what follows.
template <typename Handler>
bool Tokenizer::step(std::uint8_t byte, Handler& handler) {
  switch (state_) {
    case State::backslash:
      if (isLetter(byte)) {
        startWord(byte);
      } else if (byte == '\'') {
        state_ = State::hexHigh;
      } else {
        state_ = State::text;
        handler.controlSymbol(byte);
      }
      return true;
    case State::name:
      if (isLetter(byte)) {
        appendLetter(byte);
        return true;
      }
      if (byte == '-') {
        state_ = State::minus;
        return true;
      }
      [[fallthrough]];
    case State::minus:
      if (isDigit(byte)) {
        negative_ = state_ == State::minus;
        hasParameter_ = true;
        parameter_ = byte - '0';
        state_ = State::digits;
        return true;
      }
      return endWord(byte, handler);
    case State::digits:
      if (!isDigit(byte)) return endWord(byte, handler);
      parameter_ = addDigit(parameter_, byte);
      return true;
    case State::hexHigh:
    case State::hexLow: {
      int value = hexValue(byte);
      if (value < 0) {  // a broken escape stands for nothing
        state_ = State::text;
        handler.controlSymbol('\'');
        return false;
      }
      if (state_ == State::hexHigh) {
        hexHigh_ = static_cast<std::uint8_t>(value);
        state_ = State::hexLow;
      } else {
        state_ = State::text;
        handler.escapedByte(static_cast<std::uint8_t>(hexHigh_ << 4 | value));
      }
      return true;
    }
    default:
      return true;
  }
}

void Tokenizer::startWord(std::uint8_t letter) {
  name_[0] = static_cast<char>(letter);
  nameLength_ = 1;
  nameTooLong_ = false;
  negative_ = false;
  hasParameter_ = false;
  parameter_ = 0;
  state_ = State::name;
}

// A space after a control word belongs to it; any other delimiter is text.
// In "\word-x" the '-' is no sign but text.
template <typename Handler>
bool Tokenizer::endWord(std::uint8_t delimiter, Handler& handler) {
  bool minusIsText = state_ == State::minus;
  state_ = State::text;
  ControlWord word{nameTooLong_ ? std::string_view() : std::string_view(name_.data(), nameLength_), hasParameter_,
                   negative_ ? -parameter_ : parameter_};
  handler.controlWord(word);
  if (word.name == "bin" && word.parameter > 0) {
    binaryLeft_ = static_cast<std::uint64_t>(word.parameter);
    state_ = State::binary;
  }
  if (minusIsText) {
    static constexpr std::uint8_t kMinus = '-';
    handler.text(&kMinus, 1);
    return false;
  }
  return delimiter == ' ';
}

// ---- Font table ----

std::size_t FontTable::slotOf(std::int32_t number) const {
  constexpr int kBits = std::countr_zero(kCapacity);
  static_assert(std::has_single_bit(kCapacity));
  return (static_cast<std::uint32_t>(number) * 0x9E3779B1u) >> (32 - kBits);
}

// Few probes, so that a hostile table of thousands of fonts costs little to search.
constexpr std::size_t kFontProbes = 16;

FontTable::Font* FontTable::define(std::int32_t number) {
  std::size_t slot = slotOf(number);
  for (std::size_t probe = 0; probe < kFontProbes; ++probe, slot = (slot + 1) % kCapacity) {
    Font& font = fonts_[slot];
    if (!font.used || font.number == number) {
      font = Font{number, 0, -1, true};
      return &font;
    }
  }
  return nullptr;
}

const FontTable::Font* FontTable::find(std::int32_t number) const {
  std::size_t slot = slotOf(number);
  for (std::size_t probe = 0; probe < kFontProbes; ++probe, slot = (slot + 1) % kCapacity) {
    const Font& font = fonts_[slot];
    if (!font.used) return nullptr;
    if (font.number == number) return &font;
  }
  return nullptr;
}

}  // namespace rtf

// ---- Probe ----

bool EncapsulationProbe::feed(ByteView rtf) {
  if (!decided_) tokenizer_.feed(rtf, *this);
  return decided_;
}

void EncapsulationProbe::controlWord(const rtf::ControlWord& word) {
  // \fromhtml0 and a bare \fromhtml are not the mark; \fromtext takes no parameter.
  if (word.name == "fromhtml" && word.hasParameter && word.parameter == 1) return decide(RtfEncapsulation::html);
  if (word.name == "fromtext" && !word.hasParameter) return decide(RtfEncapsulation::text);
  countToken();
}

void EncapsulationProbe::countToken() {
  if (++tokens_ >= kTokensInspected) decide(RtfEncapsulation::none);
}

void EncapsulationProbe::decide(RtfEncapsulation result) {
  if (decided_) return;
  decided_ = true;
  result_ = result;
}

// ---- De-encapsulation ----

RtfDeencapsulator::RtfDeencapsulator(RtfEncapsulation mode, BlockSink write, void* context)
    : mode_(mode), write_(write), context_(context) {
  windowsPage_ = codepage::openCodePage(1252);
  documentPage_ = windowsPage_;
}

bool RtfDeencapsulator::feed(ByteView rtf) {
  if (mode_ != RtfEncapsulation::none) tokenizer_.feed(rtf, *this);
  return !stopped_;
}

bool RtfDeencapsulator::finish() {
  if (mode_ != RtfEncapsulation::none) tokenizer_.finish(*this);
  settleLead();
  settleHighSurrogate();
  flush();
  return !stopped_;
}

// ---- Tokens ----

void RtfDeencapsulator::groupStart() {
  endCharacterRun();
  if (skipDepth_ > 0) {
    ++skipDepth_;
    return;
  }
  if (state_.destination == rtf::Destination::outside && std::exchange(documentBegun_, true)) {
    skipDepth_ = 1;  // a group after the document's end
    return;
  }
  pushState();
  if (state_.destination == rtf::Destination::outside) state_.destination = rtf::Destination::text;
}

void RtfDeencapsulator::groupEnd() {
  endCharacterRun();
  if (skipDepth_ > 0 && --skipDepth_ > 0) return;
  popState();
}

void RtfDeencapsulator::controlWord(const rtf::ControlWord& word) {
  if (takesFallback()) return;
  settleLead();
  bool starred = std::exchange(starPending_, false);
  if (skipping()) return;
  const rtf::Word* known = rtf::findWord(word.name);
  // After \* an unknown control word names a destination to skip.
  if (starred || (known != nullptr && rtf::isDestination(known->act))) {
    return enterDestination(known != nullptr ? known->act : rtf::Act::skipped);
  }
  if (known == nullptr) return;
  if (state_.destination == rtf::Destination::fontTable) return fontTableWord(*known, word);
  switch (known->act) {
    case rtf::Act::character:
      if (emitting()) put(known->value);
      break;
    case rtf::Act::lineBreak:
      if (emitting()) putLineBreak();
      break;
    case rtf::Act::unicode:
      unicodeCharacter(word);
      break;
    case rtf::Act::fallbackCount:
      if (word.hasParameter) {
        state_.fallbackCount = static_cast<std::uint16_t>(std::clamp<std::int32_t>(word.parameter, 0, 0xFFFF));
      }
      break;
    case rtf::Act::font:
      if (word.hasParameter) state_.font = word.parameter;
      break;
    case rtf::Act::plain:
      state_.font = rtf::GroupState::kDefaultFont;
      break;
    case rtf::Act::htmlrtf:
      state_.htmlrtf = !word.hasParameter || word.parameter != 0;
      break;
    default:
      documentWord(*known, word);
      break;
  }
}

// Negative values count back from 65536; values past 16 bits name no character.
void RtfDeencapsulator::unicodeCharacter(const rtf::ControlWord& word) {
  if (!word.hasParameter) return;
  fallbackLeft_ = state_.fallbackCount;
  if (!emitting()) return;
  std::int64_t unit = word.parameter < 0 ? std::int64_t{word.parameter} + 65536 : word.parameter;
  putUtf16(unit >= 0 && unit <= 0xFFFF ? static_cast<std::uint32_t>(unit) : std::uint32_t{kReplacement});
}

void RtfDeencapsulator::controlSymbol(std::uint8_t symbol) {
  if (takesFallback()) return;
  if (symbol == '*') {
    if (!skipping()) starPending_ = true;
    return;
  }
  settleLead();
  settleStar();
  if (!emitting()) return;
  switch (symbol) {
    case '\\':
    case '{':
    case '}': put(symbol); break;
    case '~': put(0xA0); break;   // no-break space
    case '_': put(0x2011); break;  // no-break hyphen
    case '-': put(0xAD); break;    // soft hyphen
    case '\r':
    case '\n': putLineBreak(); break;  // a backslash before a line break is \par
    default: break;  // \| \: and the like stand for no text
  }
}

void RtfDeencapsulator::escapedByte(std::uint8_t byte) {
  if (takesFallback()) return;
  settleStar();
  if (emitting()) takeByte(byte);
}

void RtfDeencapsulator::text(const std::uint8_t* bytes, std::size_t count) {
  if (fallbackLeft_ > 0) {
    std::size_t skipped = std::min<std::size_t>(fallbackLeft_, count);
    fallbackLeft_ -= static_cast<std::uint32_t>(skipped);
    bytes += skipped;
    count -= skipped;
    if (count == 0) return;
  }
  settleStar();
  if (emitting()) emitText(bytes, count);
}

// ---- Groups and destinations ----

bool RtfDeencapsulator::emitting() const {
  if (skipDepth_ > 0) return false;
  // While \htmlrtf is on nothing is copied, encapsulated HTML included; nested
  // groups inherit the state and restore the outer one when they close.
  switch (state_.destination) {
    case rtf::Destination::htmlTag:
    case rtf::Destination::text: return !state_.htmlrtf;
    default: return false;
  }
}

// After \uN the next \ucN characters are its stand-in: each text byte, \'hh,
// control word or symbol counts one, and a group start or end ends them.
bool RtfDeencapsulator::takesFallback() {
  if (fallbackLeft_ == 0) return false;
  --fallbackLeft_;
  return true;
}

void RtfDeencapsulator::endCharacterRun() {
  settleLead();
  fallbackLeft_ = 0;
  settleStar();
}

// \* followed by anything but a control word marks a destination all the same.
void RtfDeencapsulator::settleStar() {
  if (std::exchange(starPending_, false) && !skipping()) skipDepth_ = 1;
}

// The rest of the current group is a destination: encapsulated HTML, the
// font table, or one to skip.
void RtfDeencapsulator::enterDestination(rtf::Act act) {
  rtf::Destination& destination = state_.destination;
  if (act == rtf::Act::htmlTag && mode_ == RtfEncapsulation::html &&
      (destination == rtf::Destination::text || destination == rtf::Destination::htmlTag)) {
    destination = rtf::Destination::htmlTag;
  } else if (act == rtf::Act::fontTable) {
    destination = rtf::Destination::fontTable;
    definingFont_ = nullptr;
  } else {
    skipDepth_ = 1;
  }
}

void RtfDeencapsulator::pushState() {
  if (depth_ < kTrackedDepth) {
    saved_[depth_++] = state_;
  } else if (untracked_++ == 0) {
    deepestTracked_ = state_;
  }
}

void RtfDeencapsulator::popState() {
  if (untracked_ > 0) {
    --untracked_;
    state_ = deepestTracked_;
  } else if (depth_ > 0) {
    state_ = saved_[--depth_];
  }
}

void RtfDeencapsulator::fontTableWord(const rtf::Word& known, const rtf::ControlWord& word) {
  if (known.act == rtf::Act::font) {
    definingFont_ = word.hasParameter ? fonts_.define(word.parameter) : nullptr;
  } else if (definingFont_ != nullptr && known.act == rtf::Act::fontCharset && word.hasParameter) {
    bool inRange = word.parameter >= 0 && word.parameter <= 255;
    definingFont_->charset = static_cast<std::int16_t>(inRange ? word.parameter : -1);
  } else if (definingFont_ != nullptr && known.act == rtf::Act::fontCodePage && word.parameter > 0) {
    definingFont_->codePage = static_cast<std::uint32_t>(word.parameter);
  } else {
    return;
  }
  forgetFontPage();
}

void RtfDeencapsulator::documentWord(const rtf::Word& known, const rtf::ControlWord& word) {
  if (known.act == rtf::Act::defaultFont && word.hasParameter) {
    defaultFont_ = word.parameter;
    forgetFontPage();
  } else if (known.act == rtf::Act::documentCodePage && word.parameter > 0) {
    setDocumentCodePage(static_cast<std::uint32_t>(word.parameter), true);
  } else if (known.act == rtf::Act::documentCharset) {
    setDocumentCodePage(known.value, false);
  }
}

// ---- Code pages ----

// Inside encapsulated HTML bytes are in the document's code page, elsewhere
// in the current font's.
const codepage::CodePage* RtfDeencapsulator::currentPage() {
  return state_.destination == rtf::Destination::htmlTag ? documentPage_ : fontPage(state_.font);
}

const codepage::CodePage* RtfDeencapsulator::fontPage(std::int32_t font) {
  if (cachedFontValid_ && cachedFont_ == font) return cachedFontPage_;
  std::int32_t number = font == rtf::GroupState::kDefaultFont ? defaultFont_ : font;
  const rtf::FontTable::Font* entry = number == rtf::GroupState::kDefaultFont ? nullptr : fonts_.find(number);
  const CodePage* page = documentPage_;
  if (entry != nullptr) {
    std::uint32_t codePage = entry->codePage != 0 ? entry->codePage : charsetCodePage(entry->charset);
    page = codePage != 0 ? pageNumbered(codePage) : documentPage_;
  }
  cachedFont_ = font;
  cachedFontPage_ = page;
  cachedFontValid_ = true;
  return page;
}

// Each number is opened once per document, and only so many: a document that
// names more code pages than any real one gets cp1252 for the rest.
const codepage::CodePage* RtfDeencapsulator::pageNumbered(std::uint32_t number) {
  for (std::size_t i = 0; i < openedCount_; ++i) {
    if (openedPages_[i].number == number) return openedPages_[i].page;
  }
  if (openedCount_ == openedPages_.size()) return windowsPage_;
  const CodePage* page = codepage::openCodePage(number);
  if (page == nullptr) page = windowsPage_;
  openedPages_[openedCount_++] = {number, page};
  return page;
}

void RtfDeencapsulator::setDocumentCodePage(std::uint32_t number, bool explicitly) {
  if (documentCodePageExplicit_ && !explicitly) return;
  documentCodePageExplicit_ = documentCodePageExplicit_ || explicitly;
  documentCodePage_ = number;
  documentPage_ = pageNumbered(number);
  forgetFontPage();
}

// ---- Output ----

void RtfDeencapsulator::emitText(const std::uint8_t* bytes, std::size_t count) {
  std::size_t at = 0;
  while (at < count) {
    if (pendingLead_ == 0) {
      std::size_t ascii = asciiPrefix(bytes + at, count - at);
      putAscii(bytes + at, ascii);
      at += ascii;
      if (at == count) break;
    }
    takeByte(bytes[at++]);
  }
}

// A byte of text in the current code page; the byte after a lead byte, escaped
// or not, is its trail.
void RtfDeencapsulator::takeByte(std::uint8_t byte) {
  if (pendingLead_ != 0) {
    std::uint8_t lead = std::exchange(pendingLead_, 0);
    if (auto pair = codepage::decodePair(*leadPage_, lead, byte)) return put(*pair);
    put(kReplacement);  // the trail byte stands alone
  }
  if (byte < 0x80) return put(byte);
  const CodePage* page = currentPage();
  if (page == nullptr) return put(kReplacement);
  char32_t c = codepage::decodeByte(*page, byte);
  if (c != codepage::kLeadByte) return put(c);
  pendingLead_ = byte;
  leadPage_ = page;
}

// Surrogates from \uN pair up; one that finds no partner is U+FFFD.
void RtfDeencapsulator::putUtf16(std::uint32_t unit) {
  if (utf16::isHighSurrogate(unit)) {
    settleHighSurrogate();
    pendingHigh_ = static_cast<std::uint16_t>(unit);
  } else if (utf16::isLowSurrogate(unit)) {
    if (pendingHigh_ == 0) return put(kReplacement);
    char32_t c = utf16::combine(pendingHigh_, unit);
    pendingHigh_ = 0;
    put(c);
  } else {
    put(unit);
  }
}

void RtfDeencapsulator::put(char32_t c) {
  settleHighSurrogate();
  reserve(utf8::kLongestCharacter);
  used_ = static_cast<std::size_t>(utf8::encode(buffer_.data() + used_, c) - buffer_.data());
}

void RtfDeencapsulator::putLineBreak() {
  put(U'\r');
  put(U'\n');
}

void RtfDeencapsulator::putAscii(const std::uint8_t* bytes, std::size_t count) {
  settleHighSurrogate();
  while (count > 0 && !stopped_) {
    reserve(1);
    std::size_t room = std::min(count, kBlockSize - used_);
    std::memcpy(buffer_.data() + used_, bytes, room);
    used_ += room;
    bytes += room;
    count -= room;
  }
}

void RtfDeencapsulator::settleLead() {
  if (pendingLead_ == 0) return;
  pendingLead_ = 0;
  put(kReplacement);
}

void RtfDeencapsulator::settleHighSurrogate() {
  if (pendingHigh_ == 0) return;
  pendingHigh_ = 0;
  put(kReplacement);
}

void RtfDeencapsulator::reserve(std::size_t count) {
  if (kBlockSize - used_ < count) flush();
}

void RtfDeencapsulator::flush() {
  if (used_ > 0 && !stopped_) {
    stopped_ = !write_(ByteView(reinterpret_cast<const std::uint8_t*>(buffer_.data()), used_), context_);
  }
  used_ = 0;
}

}  // namespace wendrel
