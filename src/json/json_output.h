#pragma once
// A JSON document (RFC 8259) written as it is made, straight to a stdio
// stream: two-space indentation, one member or element a line. Strings and
// base64 may come in pieces, as the library's write functions hand texts
// and bodies over, so that nothing large is copied first.
//
// Every string written is valid JSON and valid UTF-8 whatever it is given:
// '"', '\' and the control characters U+0000-U+001F, U+007F-U+009F are
// escaped (\u00XX), and each byte that is not part of well-formed UTF-8
// becomes U+FFFD.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace wendrel::json {

class JsonOutput {
 public:
  explicit JsonOutput(std::FILE* file) : file_(file) {}

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  // The name of the object member whose value comes next.
  void key(std::string_view name);

  void string(std::string_view text);
  void null();
  void boolean(bool value);
  void integer(std::int64_t value);
  void unsignedInteger(std::uint64_t value);
  // Shortest text that reads back as the same double; null when not finite.
  void real(double value);

  // A string in pieces; a character may be split between two pieces.
  void beginString();
  void stringPiece(std::string_view piece);
  void endString();
  // A wendrel_write_fn whose context is a JsonOutput inside a string.
  static int stringSink(void* output, const void* bytes, std::size_t size);

  // Bytes as one base64 string (RFC 4648, no line breaks), in pieces.
  void beginBase64();
  void base64Piece(const std::uint8_t* bytes, std::size_t size);
  void endBase64();
  static int base64Sink(void* output, const void* bytes, std::size_t size);

  // Ends the document with its newline and flushes it; false when anything
  // of it could not be written (error() says why).
  bool finish();
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }

 private:
  void beforeValue();
  void newline();
  void put(std::string_view text);
  void put(char c);
  std::string_view finishCarriedCharacter(std::string_view piece);
  void putCharacter(std::string_view character);
  std::size_t putEscaped(std::string_view text, std::size_t at);

  std::FILE* file_;
  std::vector<bool> filled_;  // for each open container: whether it has a member yet
  bool afterKey_ = false;
  std::string carried_;  // the start of a character cut at the end of a piece
  std::uint8_t base64Carried_[3] = {};  // a group being completed
  std::size_t base64CarriedCount_ = 0;
  int error_ = 0;
};

}  // namespace wendrel::json
