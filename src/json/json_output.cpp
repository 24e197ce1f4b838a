// The JSON writer (see json_output.h).

#include "json_output.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "wendrel/formats/base64.h"
#include "wendrel/formats/utf8.h"

namespace wendrel::json {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the character at text[at] when it goes into a string as it
// stands, else 0: printable ASCII but '"' and '\', and well-formed UTF-8
// beyond the C1 controls.
std::size_t plainLength(std::string_view text, std::size_t at) {
  auto byte = static_cast<std::uint8_t>(text[at]);
  if (byte < 0x80) return byte >= 0x20 && byte != 0x7F && byte != '"' && byte != '\\' ? 1 : 0;
  std::size_t length = utf8::characterLength(text, at);
  bool c1 = length == 2 && byte == 0xC2 && static_cast<std::uint8_t>(text[at + 1]) < 0xA0;
  return c1 ? 0 : length;
}

// How many bytes the character that lead starts takes, or 0 when it starts none.
std::size_t expectedLength(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
}

// True when text[at..] is the start of a character that the end of text cut.
bool cutAtEnd(std::string_view text, std::size_t at) {
  std::size_t needed = expectedLength(static_cast<std::uint8_t>(text[at]));
  if (needed <= text.size() - at) return false;
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (!utf8::isContinuation(text[i])) return false;
  }
  return true;
}

}  // namespace

// ---- Structure ----

void JsonOutput::newline() {
  static constexpr std::string_view kSpaces = "                                                                ";
  put('\n');
  for (std::size_t depth = 2 * filled_.size(); depth != 0;) {
    std::size_t step = std::min(depth, kSpaces.size());
    put(kSpaces.substr(0, step));
    depth -= step;
  }
}

void JsonOutput::beforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (filled_.empty()) return;
  if (filled_.back()) put(',');
  filled_.back() = true;
  newline();
}

void JsonOutput::key(std::string_view name) {
  beforeValue();
  put('"');
  stringPiece(name);
  endString();
  put(": ");
  afterKey_ = true;
}

void JsonOutput::beginObject() {
  beforeValue();
  put('{');
  filled_.push_back(false);
}

void JsonOutput::endObject() {
  bool filled = filled_.back();
  filled_.pop_back();
  if (filled) newline();
  put('}');
}

void JsonOutput::beginArray() {
  beforeValue();
  put('[');
  filled_.push_back(false);
}

void JsonOutput::endArray() {
  bool filled = filled_.back();
  filled_.pop_back();
  if (filled) newline();
  put(']');
}

// ---- Scalars ----

void JsonOutput::null() {
  beforeValue();
  put("null");
}

void JsonOutput::boolean(bool value) {
  beforeValue();
  put(value ? "true" : "false");
}

void JsonOutput::integer(std::int64_t value) {
  beforeValue();
  char text[24];
  put(std::string_view(text, static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text)));
}

void JsonOutput::unsignedInteger(std::uint64_t value) {
  beforeValue();
  char text[24];
  put(std::string_view(text, static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text)));
}

void JsonOutput::real(double value) {
  if (!std::isfinite(value)) return null();
  beforeValue();
  // (to_chars gives the shortest form that reads back the same, in the "C"
  // locale whatever the process's: "1e+300", "0.1", "-0".)
  char text[32];
  put(std::string_view(text, static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text)));
}

// ---- Strings ----

void JsonOutput::string(std::string_view text) {
  beginString();
  stringPiece(text);
  endString();
}

void JsonOutput::beginString() {
  beforeValue();
  put('"');
}

void JsonOutput::stringPiece(std::string_view piece) {
  if (!carried_.empty()) piece = finishCarriedCharacter(piece);
  std::size_t run = 0;  // where the bytes that go as they stand begin
  std::size_t at = 0;
  while (at < piece.size()) {
    if (std::size_t length = plainLength(piece, at); length != 0) {
      at += length;
      continue;
    }
    put(piece.substr(run, at - run));
    if (cutAtEnd(piece, at)) {
      carried_.assign(piece.substr(at));
      return;
    }
    at += putEscaped(piece, at);
    run = at;
  }
  put(piece.substr(run));
}

void JsonOutput::endString() {
  // A character still cut when the string ends is none.
  for (std::size_t i = 0; i < carried_.size(); ++i) put(kReplacement);
  carried_.clear();
  put('"');
}

// The character that the end of the previous piece cut, completed from the
// start of this one; returns the rest of the piece.
std::string_view JsonOutput::finishCarriedCharacter(std::string_view piece) {
  std::size_t needed = expectedLength(static_cast<std::uint8_t>(carried_[0]));
  std::size_t taken = 0;
  while (carried_.size() < needed && taken < piece.size() && utf8::isContinuation(piece[taken])) {
    carried_ += piece[taken++];
  }
  if (carried_.size() < needed && taken == piece.size()) return {};  // still cut: wait for more
  putCharacter(carried_);
  carried_.clear();
  return piece.substr(taken);
}

// A lead byte and its continuation bytes: one character, or when they are
// not well-formed, one U+FFFD for each (none of them starts a character).
void JsonOutput::putCharacter(std::string_view character) {
  if (utf8::characterLength(character, 0) == character.size()) {
    if (plainLength(character, 0) != 0) return put(character);
    putEscaped(character, 0);
    return;
  }
  for (std::size_t i = 0; i < character.size(); ++i) put(kReplacement);
}

// Writes what text[at] needs (an escape, or U+FFFD for a byte that starts no
// character) and returns how many bytes it took.
std::size_t JsonOutput::putEscaped(std::string_view text, std::size_t at) {
  static constexpr char kDigits[] = "0123456789abcdef";
  auto byte = static_cast<std::uint8_t>(text[at]);
  if (byte == '"' || byte == '\\') {
    put('\\');
    put(static_cast<char>(byte));
    return 1;
  }
  std::size_t length = byte < 0x80 ? 1 : utf8::characterLength(text, at);
  if (length == 0) {
    put(kReplacement);
    return 1;
  }
  // A control character: U+0000-U+001F, U+007F, or U+0080-U+009F (2 bytes).
  std::uint8_t code = length == 1 ? byte : static_cast<std::uint8_t>(text[at + 1]);
  const char escape[] = {'\\', 'u', '0', '0', kDigits[code >> 4], kDigits[code & 15]};
  put(std::string_view(escape, sizeof escape));
  return length;
}

int JsonOutput::stringSink(void* output, const void* bytes, std::size_t size) {
  auto& out = *static_cast<JsonOutput*>(output);
  out.stringPiece(std::string_view(static_cast<const char*>(bytes), size));
  return out.failed() ? 1 : 0;
}

// ---- Base64 ----

void JsonOutput::beginBase64() {
  beforeValue();
  put('"');
  base64CarriedCount_ = 0;
}

void JsonOutput::base64Piece(const std::uint8_t* bytes, std::size_t size) {
  // Groups of three bytes, the first completed from what the last piece left.
  if (base64CarriedCount_ != 0) {
    std::size_t taken = std::min(sizeof base64Carried_ - base64CarriedCount_, size);
    std::memcpy(base64Carried_ + base64CarriedCount_, bytes, taken);
    base64CarriedCount_ += taken;
    bytes += taken;
    size -= taken;
    if (base64CarriedCount_ < sizeof base64Carried_) return;
    char text[4];
    base64::encodeGroups(base64Carried_, 1, text);
    put(std::string_view(text, 4));
    base64CarriedCount_ = 0;
  }
  constexpr std::size_t kGroupsAtOnce = 16 * 1024;
  char text[4 * kGroupsAtOnce];
  while (size >= 3) {
    if (failed()) return;  // (what is left would not fit the carry)
    std::size_t groups = std::min(size / 3, kGroupsAtOnce);
    char* end = base64::encodeGroups(bytes, groups, text);
    put(std::string_view(text, static_cast<std::size_t>(end - text)));
    bytes += 3 * groups;
    size -= 3 * groups;
  }
  // The one or two bytes left wait for the next piece (none was carried
  // when any is left: the carry was completed first).
  if (size != 0) {
    base64Carried_[0] = bytes[0];
    if (size == 2) base64Carried_[1] = bytes[1];
    base64CarriedCount_ = size;
  }
}

void JsonOutput::endBase64() {
  if (base64CarriedCount_ != 0) {
    char text[4];
    base64::encodeTail(base64Carried_, base64CarriedCount_, text);
    put(std::string_view(text, 4));
    base64CarriedCount_ = 0;
  }
  put('"');
}

int JsonOutput::base64Sink(void* output, const void* bytes, std::size_t size) {
  auto& out = *static_cast<JsonOutput*>(output);
  out.base64Piece(static_cast<const std::uint8_t*>(bytes), size);
  return out.failed() ? 1 : 0;
}

// ---- Output ----

void JsonOutput::put(std::string_view text) {
  if (error_ != 0 || text.empty()) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) error_ = errno != 0 ? errno : EIO;
}

void JsonOutput::put(char c) {
  if (error_ == 0 && std::putc(c, file_) == EOF) error_ = errno != 0 ? errno : EIO;
}

bool JsonOutput::finish() {
  put('\n');
  errno = 0;
  if (error_ == 0 && std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
  return error_ == 0;
}

}  // namespace wendrel::json
