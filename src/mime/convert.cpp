// Finding the TNEF in the input and putting its MIME form in its place.

#include <cstdio>
#include <cstring>
#include <string>

#include "base64.h"
#include "build.h"
#include "tnef_parts.h"
#include "wendrel/decoder.h"
#include "wendrel/formats/utf8.h"
#include "wendrel/mime.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

namespace wendrel::mime {

namespace {

// A decoded TNEF stream: its record, and its bytes as the GMime stream the
// parts made from it take ranges of (owning them or not); both go with it.
struct Decoded {
  GMimeStream* source;
  MessageRecord* record;

  Decoded(GByteArray* bytes, bool owned, Report& report) : source(g_mime_stream_mem_new_with_byte_array(bytes)) {
    if (!owned) g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(source), FALSE);
    record = decodeWhole(ByteView(bytes->data, bytes->len), report);
  }

  // Each stream has a decoder of its own, which keeps the message whole and
  // prints nothing; the record outlives it.
  static MessageRecord* decodeWhole(ByteView bytes, Report& report) {
    Decoder* decoder = newDecoder();
    MessageRecord* record = nullptr;
    if (decoder != nullptr) {
      DecoderScope scope(*decoder);
      decoder->keepWholeMessages = true;
      out::silenceErrors(true);
      decodeStream(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
      record = takeDecodedMessage();
      if (memoryRanShort()) report.memoryShort = true;
    }
    freeDecoder(decoder);
    if (record == nullptr) report.memoryShort = true;
    return record;
  }
  ~Decoded() {
    freeMessage(record);
    g_object_unref(source);
  }
  Decoded(const Decoded&) = delete;
  Decoded& operator=(const Decoded&) = delete;
};

// What a part is called in a note: its file name, else its type.
std::string partName(GMimeObject* part) {
  if (GMIME_IS_PART(part)) {
    if (const char* name = g_mime_part_get_filename(GMIME_PART(part))) return name;
  }
  GMimeContentType* type = g_mime_object_get_content_type(part);
  char* text = type != nullptr ? g_mime_content_type_get_mime_type(type) : nullptr;
  std::string name = text != nullptr ? text : "part";
  g_free(text);
  return name;
}

// A TNEF part that an earlier run kept as it stood beside what it gave: its
// conversion is already in the message.
bool keptByEarlierRun(GMimeObject* part) { return g_mime_object_get_header(part, kKeptHeader) != nullptr; }

// The boundary a multipart parsed from the input gives its parts, when its
// header names one.
std::string parsedBoundary(GMimeObject* object) {
  const char* boundary = g_mime_object_get_content_type_parameter(object, "boundary");
  return boundary != nullptr ? boundary : "";
}

// Makes what replaced a message's TNEF body its body; the message says its
// MIME version itself.
void becomeBody(GMimeMessage* message, GMimeObject* replaced) {
  g_mime_header_list_remove(g_mime_object_get_header_list(replaced), "MIME-Version");
  g_mime_message_set_mime_part(message, replaced);
  g_object_unref(replaced);
}

class Converter {
 public:
  Converter(Report& report, Made& made) : report_(report), made_(made) {}

  // The part's replacement when it holds TNEF, else nullptr (a new reference).
  GMimeObject* replacement(GMimePart* part);
  void walk(GMimeObject* object, int depth);

 private:
  void note(std::string line) { report_.notes.push_back(std::move(line)); }

  Report& report_;
  Made& made_;
  // The boundaries of the multiparts around the part being looked at: what
  // is made there must not hold them.
  std::vector<std::string> enclosing_;
};

GMimeObject* Converter::replacement(GMimePart* part) {
  bool typed = isTnefType(GMIME_OBJECT(part));
  if (keptByEarlierRun(GMIME_OBJECT(part)) || (!typed && !startsLikeTnef(part))) return nullptr;
  GByteArray* bytes = decodedContent(part);
  if (bytes == nullptr) return nullptr;
  if (!startsWithSignature(bytes->data, bytes->len)) {
    if (typed) note("TNEF part " + partName(GMIME_OBJECT(part)) + " has no TNEF signature: kept as it stands");
    g_byte_array_unref(bytes);
    return nullptr;
  }
  Decoded decoded(bytes, true, report_);
  if (decoded.record == nullptr) return nullptr;
  Made parts;
  Builder builder(decoded.source, bytes->data, bytes->len, report_.notes, parts, enclosing_);
  // An S/MIME message is the entity it carries, signature and all.
  if (!decoded.record->endsDamaged()) {
    if (GMimeObject* entity = builder.secureEntity(*decoded.record)) {
      report_.changed = true;
      return entity;
    }
  }
  GMimeMultipart* content = builder.content(*decoded.record);
  // A stream that ends on a damaged record goes along as it stood, and so
  // do one that holds more than was made parts of and one that gave nothing.
  if (decoded.record->endsDamaged() || builder.overflowed()) {
    note("TNEF part " + partName(GMIME_OBJECT(part)) +
         (builder.overflowed() ? " holds more attachments than are made parts: the first are, and it is kept as it stands beside"
                               : " is damaged " + std::to_string(decoded.record->bytesLeft) +
                                     " bytes before its end: converted as far as it goes, and kept as it stands beside"));
    g_mime_object_set_header(GMIME_OBJECT(part), kKeptHeader, kKeptValue, nullptr);
    g_mime_multipart_add(content, GMIME_OBJECT(part));
  } else if (g_mime_multipart_get_count(content) == 0) {
    note("TNEF part " + partName(GMIME_OBJECT(part)) + " holds nothing that can be shown: kept as it stands");
    g_object_unref(content);
    return nullptr;
  }
  made_.take(parts);
  report_.changed = true;
  return GMIME_OBJECT(content);
}

// True when a signed part holds a part typed as TNEF (encrypted ones cannot
// be looked into).
bool holdsTnefType(GMimeObject* object) {
  if (GMIME_IS_MULTIPART(object)) {
    for (int i = 0; i < g_mime_multipart_get_count(GMIME_MULTIPART(object)); ++i) {
      if (holdsTnefType(g_mime_multipart_get_part(GMIME_MULTIPART(object), i))) return true;
    }
    return false;
  }
  return GMIME_IS_PART(object) && isTnefType(object);
}

void Converter::walk(GMimeObject* object, int depth) {
  bool container = GMIME_IS_MULTIPART(object) || GMIME_IS_MESSAGE_PART(object);
  if (container && depth > kDeepestPart) {
    note("parts nested more than " + std::to_string(kDeepestPart) + " deep are kept as they stand");
    return;
  }
  // What a signature covers stays as it was: changing it would break the
  // signature (and an encrypted part cannot be read).
  if (GMIME_IS_MULTIPART_SIGNED(object) || GMIME_IS_MULTIPART_ENCRYPTED(object)) {
    if (holdsTnefType(object)) note("TNEF in signed or encrypted content is kept as it stands");
    return;
  }
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    enclosing_.push_back(parsedBoundary(object));
    for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
      GMimeObject* child = g_mime_multipart_get_part(multipart, i);
      GMimeObject* replaced = GMIME_IS_PART(child) ? replacement(GMIME_PART(child)) : nullptr;
      if (replaced == nullptr) {
        walk(child, depth + 1);
        continue;
      }
      GMimeObject* old = g_mime_multipart_replace(multipart, i, replaced);
      g_object_unref(replaced);
      if (old != nullptr) g_object_unref(old);
    }
    enclosing_.pop_back();
  } else if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    if (inner == nullptr) return;
    GMimeObject* body = g_mime_message_get_mime_part(inner);
    GMimeObject* replaced = body != nullptr && GMIME_IS_PART(body) ? replacement(GMIME_PART(body)) : nullptr;
    if (replaced != nullptr) {
      becomeBody(inner, replaced);
    } else if (body != nullptr) {
      walk(body, depth + 1);
    }
  }
}

// ---- The input's own form ----

struct InputForm {
  // The mbox envelope line ("From " and the sender), its line end included:
  // it is no header, and goes first, unchanged.
  std::size_t envelope = 0;
  // CRLF when the header's first line ends so, as mail in transit does.
  GMimeNewLineFormat newline = GMIME_NEWLINE_FORMAT_UNIX;
};

InputForm formOf(const std::uint8_t* data, std::size_t size) {
  InputForm form;
  auto lineEnd = [&](std::size_t from) -> std::size_t {
    const void* newline = from < size ? std::memchr(data + from, '\n', size - from) : nullptr;
    return newline != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - data) : size;
  };
  if (size >= 5 && std::memcmp(data, "From ", 5) == 0) form.envelope = std::min(size, lineEnd(0) + 1);
  std::size_t end = lineEnd(form.envelope);
  if (end < size && end > form.envelope && data[end - 1] == '\r') form.newline = GMIME_NEWLINE_FORMAT_DOS;
  return form;
}

// ---- Writing ----

// GMime keeps a multipart's prologue and epilogue with bare LFs (the CR of
// a CRLF is dropped when the message is read); a message written with CRLF
// gets them back, so that none of its lines ends otherwise.
std::string withCrlf(const char* text) {
  std::string result;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\n' && (p == text || p[-1] != '\r')) result += '\r';
    result += *p;
  }
  return result;
}

void restoreCrlf(GMimeObject* object, int depth) {
  if (depth > kDeepestPart + 2) return;
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    if (const char* prologue = g_mime_multipart_get_prologue(multipart)) {
      g_mime_multipart_set_prologue(multipart, withCrlf(prologue).c_str());
    }
    if (const char* epilogue = g_mime_multipart_get_epilogue(multipart)) {
      g_mime_multipart_set_epilogue(multipart, withCrlf(epilogue).c_str());
    }
    for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
      restoreCrlf(g_mime_multipart_get_part(multipart, i), depth + 1);
    }
  } else if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    GMimeObject* body = inner != nullptr ? g_mime_message_get_mime_part(inner) : nullptr;
    if (body != nullptr) restoreCrlf(body, depth + 1);
  }
}

bool writeBytes(GMimeStream* output, const std::uint8_t* data, std::size_t size) {
  return size == 0 || g_mime_stream_write(output, reinterpret_cast<const char*>(data), size) == static_cast<ssize_t>(size);
}

bool writeMessage(GMimeMessage* message, GMimeNewLineFormat newline, GMimeStream* output) {
  GMimeFormatOptions* options = g_mime_format_options_new();
  g_mime_format_options_set_param_encoding_method(options, GMIME_PARAM_ENCODING_METHOD_RFC2231);
  g_mime_format_options_set_newline_format(options, newline);
  GMimeObject* body = g_mime_message_get_mime_part(message);
  if (newline == GMIME_NEWLINE_FORMAT_DOS && body != nullptr) restoreCrlf(body, 0);
  bool written = g_mime_object_write_to_stream(GMIME_OBJECT(message), options, output) >= 0 &&
                 g_mime_stream_flush(output) == 0;
  g_mime_format_options_free(options);
  return written;
}

bool writeUnchanged(GByteArray* input, GMimeStream* output) {
  // (An empty array may have no data at all, which GMime refuses to write.)
  return writeBytes(output, input->data, input->len) && g_mime_stream_flush(output) == 0;
}

GMimeMessage* parseMessage(GByteArray* input, std::size_t from) {
  GMimeStream* whole = g_mime_stream_mem_new_with_byte_array(input);
  g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(whole), FALSE);
  GMimeStream* stream = g_mime_stream_substream(whole, static_cast<gint64>(from), -1);
  g_object_unref(whole);
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_mime_parser_set_persist_stream(parser, TRUE);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  return message;
}

// The stream as it stands, for a message to carry beside what it gave.
GMimePart* originalStream(GMimeStream* source) {
  g_object_ref(source);
  GMimePart* original = newBase64Part("application", "ms-tnef", source);
  g_mime_part_set_filename(original, "winmail.dat");
  g_mime_object_set_header(GMIME_OBJECT(original), kKeptHeader, kKeptValue, nullptr);
  return original;
}

// A bare TNEF stream: a whole message made from it.
bool convertStream(GByteArray* input, GMimeStream* output, Report& report, const Options& options) {
  Decoded decoded(input, false, report);
  if (decoded.record == nullptr) return false;
  Made made;
  Builder builder(decoded.source, input->data, input->len, report.notes, made);
  GMimeMessage* message = builder.message(*decoded.record);
  report.changed = true;
  GMimeObject* body = g_mime_message_get_mime_part(message);
  GMimeMultipart* content = GMIME_IS_MULTIPART(body) ? GMIME_MULTIPART(body) : nullptr;
  bool damaged = decoded.record->endsDamaged();
  // (A signed entity is the message's whole body.)
  if (content != nullptr && (damaged || builder.overflowed() || g_mime_multipart_get_count(content) == 0)) {
    report.notes.push_back(damaged ? "the TNEF stream is damaged " + std::to_string(decoded.record->bytesLeft) +
                                         " bytes before its end: converted as far as it goes, and attached as it stands"
                           : builder.overflowed()
                               ? "the TNEF stream holds more attachments than are made parts: the first are, and it is attached as it stands"
                               : "the TNEF stream holds nothing that can be shown: attached as it stands");
    GMimePart* original = originalStream(decoded.source);
    g_mime_multipart_add(content, GMIME_OBJECT(original));
    g_object_unref(original);
  }
  made.assignBoundaries(ByteView(input->data, input->len));
  bool written = writeMessage(message, options.crlf ? GMIME_NEWLINE_FORMAT_DOS : GMIME_NEWLINE_FORMAT_UNIX, output);
  g_object_unref(message);
  return written;
}

}  // namespace

void initialize() {
  g_mime_init();
  // Standard output carries the message: what the writers would print of
  // the records (damage they meet) goes nowhere.
  out::discard();
  out::silenceErrors(true);
}

bool convertInput(GByteArray* input, GMimeStream* output, Report& report, const Options& options) {
  if (startsWithSignature(input->data, input->len)) return convertStream(input, output, report, options);
  InputForm form = formOf(input->data, input->len);
  GMimeMessage* message = parseMessage(input, form.envelope);
  if (message == nullptr) return writeUnchanged(input, output);
  Made made;
  Converter converter(report, made);
  GMimeObject* body = g_mime_message_get_mime_part(message);
  GMimeObject* replaced = body != nullptr && GMIME_IS_PART(body) ? converter.replacement(GMIME_PART(body)) : nullptr;
  if (replaced != nullptr) {
    becomeBody(message, replaced);
  } else if (body != nullptr) {
    converter.walk(body, 1);
  }
  bool written = false;
  if (report.changed) {
    made.assignBoundaries(ByteView(input->data, input->len));
    written = writeBytes(output, input->data, form.envelope) && writeMessage(message, form.newline, output);
  } else {
    written = writeUnchanged(input, output);
  }
  g_object_unref(message);
  return written;
}

}  // namespace wendrel::mime
