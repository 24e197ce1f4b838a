#pragma once
// The HTML or plain text that an RTF message body encapsulates (MS-OXRTFEX):
// whether a body holds either, told from its first tokens, and the document
// itself recovered as UTF-8.
//
// Both read the RTF as a stream of blocks, in which a token may straddle two
// blocks, and keep fixed state whatever the RTF holds: group nesting is
// tracked to kTrackedDepth, the font table keeps a fixed number of fonts, and
// the output leaves through a fixed buffer. Malformed RTF never fails; it
// yields what the rules make of it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wendrel/bytes.h"

namespace wendrel {

namespace codepage {
struct CodePage;
}

enum class RtfEncapsulation : std::uint8_t { none, html, text };

namespace rtf {

enum class Act : std::uint8_t;
struct Word;  // a control word this reader knows, and what it does

struct ControlWord {
  std::string_view name;  // empty for a name longer than RTF allows
  bool hasParameter;
  std::int32_t parameter;  // clamped to the int32 range
};

// Splits RTF into tokens and hands each to a handler, resuming where the
// previous block left off. The handler is told of group starts and ends,
// control words, control symbols, \'hh bytes and runs of text; line breaks
// are dropped, and the bytes of \binN are skipped.
class Tokenizer {
 public:
  template <typename Handler>
  void feed(ByteView rtf, Handler& handler);
  // The end of the RTF ends a control word it cuts off.
  template <typename Handler>
  void finish(Handler& handler);

 private:
  enum class State : std::uint8_t { text, backslash, name, minus, digits, hexHigh, hexLow, binary };
  static constexpr std::size_t kLongestName = 32;

  template <typename Handler>
  const std::uint8_t* scanText(const std::uint8_t* at, const std::uint8_t* end, Handler& handler);
  template <typename Handler>
  const std::uint8_t* scanWord(const std::uint8_t* at, const std::uint8_t* end, Handler& handler);
  const std::uint8_t* skipBinary(const std::uint8_t* at, const std::uint8_t* end);
  template <typename Handler>
  bool step(std::uint8_t byte, Handler& handler);
  template <typename Handler>
  bool endWord(std::uint8_t delimiter, Handler& handler);
  void startWord(std::uint8_t letter);
  void appendLetter(std::uint8_t letter);

  State state_ = State::text;
  std::array<char, kLongestName> name_{};
  std::uint8_t nameLength_ = 0;
  bool nameTooLong_ = false;
  bool negative_ = false;
  bool hasParameter_ = false;
  std::int32_t parameter_ = 0;
  std::uint8_t hexHigh_ = 0;
  std::uint64_t binaryLeft_ = 0;
};

// Font numbers and what each says of its code page, in a fixed open-addressed
// table; a font that finds no slot is treated as unknown.
class FontTable {
 public:
  struct Font {
    std::int32_t number;
    std::uint32_t codePage;  // \cpgN, 0 when not given
    std::int16_t charset;    // \fcharsetN, -1 when not given
    bool used;
  };
  static constexpr std::size_t kCapacity = 512;

  Font* define(std::int32_t number);  // a fresh entry for number, or nullptr when full
  const Font* find(std::int32_t number) const;

 private:
  std::size_t slotOf(std::int32_t number) const;
  std::array<Font, kCapacity> fonts_{};
};

enum class Destination : std::uint8_t { outside, text, htmlTag, fontTable };

// What a group start saves and its end restores.
struct GroupState {
  static constexpr std::int32_t kDefaultFont = INT32_MIN;  // \deffN's font
  std::int32_t font = kDefaultFont;
  std::uint16_t fallbackCount = 1;  // \ucN
  Destination destination = Destination::outside;
  bool htmlrtf = false;
};

}  // namespace rtf

// Whether an RTF document encapsulates HTML or text, from its first tokens:
// the first ten group starts and control words are looked at, any other token
// among them means plain RTF, and \fromhtml1 or \fromtext decides.
class EncapsulationProbe {
 public:
  bool feed(ByteView rtf);  // true once the answer is known (later bytes change nothing)
  RtfEncapsulation result() const { return decided_ ? result_ : RtfEncapsulation::none; }

 private:
  friend class rtf::Tokenizer;
  static constexpr unsigned kTokensInspected = 10;

  bool done() const { return decided_; }
  void groupStart() { countToken(); }
  void groupEnd() { decide(RtfEncapsulation::none); }
  void controlWord(const rtf::ControlWord& word);
  void controlSymbol(std::uint8_t) { decide(RtfEncapsulation::none); }
  void escapedByte(std::uint8_t) { decide(RtfEncapsulation::none); }
  void text(const std::uint8_t*, std::size_t) { decide(RtfEncapsulation::none); }

  void countToken();
  void decide(RtfEncapsulation result);

  rtf::Tokenizer tokenizer_;
  unsigned tokens_ = 0;
  bool decided_ = false;
  RtfEncapsulation result_ = RtfEncapsulation::none;
};

// The HTML or text an RTF document encapsulates, as UTF-8 (no byte-order
// mark: the caller writes one), handed to write in blocks of at most
// kBlockSize bytes. Groups nested deeper than kTrackedDepth are still
// counted, so braces stay balanced, but save nothing: each one that closes
// brings back the state of the deepest tracked group.
class RtfDeencapsulator {
 public:
  static constexpr std::size_t kBlockSize = 32 * 1024;
  static constexpr std::size_t kTrackedDepth = 256;

  // mode html or text; none produces nothing.
  RtfDeencapsulator(RtfEncapsulation mode, BlockSink write, void* context);
  bool feed(ByteView rtf);  // false once write has returned false
  bool finish();            // hands over what is left; a truncated RTF is not an error

 private:
  friend class rtf::Tokenizer;
  using CodePage = codepage::CodePage;

  // ---- Tokens ----
  bool done() const { return stopped_; }
  void groupStart();
  void groupEnd();
  void controlWord(const rtf::ControlWord& word);
  void controlSymbol(std::uint8_t symbol);
  void escapedByte(std::uint8_t byte);
  void text(const std::uint8_t* bytes, std::size_t count);

  // ---- Groups and destinations ----
  bool skipping() const { return skipDepth_ > 0 || state_.destination == rtf::Destination::outside; }
  bool emitting() const;
  bool takesFallback();
  void endCharacterRun();
  void settleStar();
  void enterDestination(rtf::Act act);
  void pushState();
  void popState();
  void fontTableWord(const rtf::Word& known, const rtf::ControlWord& word);
  void documentWord(const rtf::Word& known, const rtf::ControlWord& word);
  void unicodeCharacter(const rtf::ControlWord& word);

  // ---- Code pages ----
  const CodePage* currentPage();
  const CodePage* fontPage(std::int32_t font);
  const CodePage* pageNumbered(std::uint32_t number);
  void setDocumentCodePage(std::uint32_t number, bool explicitly);
  void forgetFontPage() { cachedFontValid_ = false; }

  // ---- Output ----
  void emitText(const std::uint8_t* bytes, std::size_t count);
  void takeByte(std::uint8_t byte);
  void putUtf16(std::uint32_t unit);
  void putLineBreak();
  void put(char32_t c);
  void putAscii(const std::uint8_t* bytes, std::size_t count);
  void settleLead();
  void settleHighSurrogate();
  void reserve(std::size_t count);
  void flush();

  RtfEncapsulation mode_;
  BlockSink write_;
  void* context_;
  bool stopped_ = false;
  rtf::Tokenizer tokenizer_;

  rtf::GroupState state_;
  std::array<rtf::GroupState, kTrackedDepth> saved_{};
  rtf::GroupState deepestTracked_;
  std::size_t depth_ = 0;            // tracked groups open
  std::uint64_t untracked_ = 0;      // groups open beyond kTrackedDepth
  std::uint64_t skipDepth_ = 0;      // groups open inside a skipped destination, the first included
  std::uint32_t fallbackLeft_ = 0;   // characters still to skip after \uN
  bool starPending_ = false;         // \* seen; the next control word names the destination
  bool documentBegun_ = false;       // the outermost group has opened

  rtf::FontTable fonts_;
  rtf::FontTable::Font* definingFont_ = nullptr;
  std::int32_t defaultFont_ = rtf::GroupState::kDefaultFont;
  std::uint32_t documentCodePage_ = 1252;
  bool documentCodePageExplicit_ = false;
  const CodePage* documentPage_ = nullptr;
  const CodePage* windowsPage_ = nullptr;  // cp1252, the fallback
  struct OpenedPage {
    std::uint32_t number;
    const CodePage* page;
  };
  std::array<OpenedPage, 16> openedPages_{};  // every code page this document asked for
  std::size_t openedCount_ = 0;
  std::int32_t cachedFont_ = 0;
  const CodePage* cachedFontPage_ = nullptr;
  bool cachedFontValid_ = false;

  std::uint8_t pendingLead_ = 0;  // first byte of a double-byte character
  const CodePage* leadPage_ = nullptr;
  std::uint16_t pendingHigh_ = 0;  // high surrogate from \uN awaiting its low half

  std::size_t used_ = 0;
  std::array<char, kBlockSize> buffer_;
};

}  // namespace wendrel
