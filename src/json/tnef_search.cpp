// Finding the TNEF parts of a mail message with GMime (see tnef_search.h).

#include "tnef_search.h"

#include <gmime/gmime.h>

#include <cstring>
#include <utility>

#include "tnef_parts.h"

namespace wendrel::json {

namespace {

std::string lowercaseType(GMimeObject* part) {
  GMimeContentType* type = g_mime_object_get_content_type(part);
  char* text = type != nullptr ? g_mime_content_type_get_mime_type(type) : nullptr;
  std::string result = text != nullptr ? text : "application/octet-stream";
  g_free(text);
  for (char& c : result) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  return result;
}

std::string sectionNumber(const std::string& prefix, int number) {
  return prefix.empty() ? std::to_string(number) : prefix + "." + std::to_string(number);
}

// The walk through the parts. Unlike wendrel-mime, which must leave what a
// signature covers as it is, it also looks into signed parts: reading
// changes nothing, and TNEF there is TNEF the recipient gets.
class Search {
 public:
  TnefSearch found;

  // A message's body: a leaf is its section 1, a container's parts are
  // numbered from prefix.
  void messageBody(GMimeMessage* message, const std::string& prefix, int depth) {
    GMimeObject* body = g_mime_message_get_mime_part(message);
    if (body == nullptr) return;
    if (GMIME_IS_PART(body)) {
      examine(GMIME_PART(body), sectionNumber(prefix, 1));
    } else {
      container(body, prefix, depth);
    }
  }

 private:
  void container(GMimeObject* object, const std::string& prefix, int depth) {
    if (depth > kDeepestNesting) {
      found.deeperLevelsSkipped = true;
      return;
    }
    if (GMIME_IS_MULTIPART(object)) {
      GMimeMultipart* multipart = GMIME_MULTIPART(object);
      for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
        GMimeObject* child = g_mime_multipart_get_part(multipart, i);
        std::string path = sectionNumber(prefix, i + 1);
        if (GMIME_IS_PART(child)) {
          examine(GMIME_PART(child), path);
        } else {
          container(child, path, depth + 1);
        }
      }
    } else if (GMIME_IS_MESSAGE_PART(object)) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      if (inner != nullptr) messageBody(inner, prefix, depth + 1);
    }
  }

  // A leaf part: TNEF by its type (kept even when its content is something
  // else, for the account to say so), or by its content's first bytes.
  void examine(GMimePart* part, const std::string& path) {
    bool typed = mime::isTnefType(GMIME_OBJECT(part));
    if (!typed && !mime::startsLikeTnef(part)) return;
    GByteArray* content = mime::decodedContent(part);
    if (content == nullptr && typed) content = g_byte_array_new();
    if (content == nullptr) return;
    if (!typed && !startsWithTnefSignature(content->data, content->len)) {
      g_byte_array_unref(content);
      return;
    }
    TnefEntity& kept = found.entities.emplace_back();
    kept.path = path;
    kept.contentType = lowercaseType(GMIME_OBJECT(part));
    if (const char* name = g_mime_part_get_filename(part)) kept.fileName = name;
    kept.content = content;
  }
};

// The message after its mbox envelope line ("From " and the sender), if
// any. (GMime's memory stream takes a copy of the bytes.)
GMimeMessage* parseMessage(GBytes* input) {
  std::size_t size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(input, &size));
  std::size_t from = 0;
  if (size >= 5 && std::memcmp(data, "From ", 5) == 0) {
    const void* newline = std::memchr(data, '\n', size);
    from = newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1 : size;
  }
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(data + from, size - from);
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_mime_parser_set_persist_stream(parser, TRUE);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  return message;
}

}  // namespace

bool startsWithTnefSignature(const std::uint8_t* bytes, std::size_t size) { return mime::startsWithSignature(bytes, size); }

TnefEntity::TnefEntity(TnefEntity&& other) noexcept
    : path(std::move(other.path)),
      contentType(std::move(other.contentType)),
      fileName(std::move(other.fileName)),
      content(std::exchange(other.content, nullptr)) {}

TnefEntity::~TnefEntity() {
  if (content != nullptr) g_byte_array_unref(content);
}

TnefSearch findTnefEntities(GBytes* input) {
  g_mime_init();
  Search search;
  GMimeMessage* message = parseMessage(input);
  if (message == nullptr) return {};
  search.messageBody(message, "", 1);
  g_object_unref(message);
  return std::move(search.found);
}

}  // namespace wendrel::json
