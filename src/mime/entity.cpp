// A MIME entity written as it stands (see entity.h).

#include "entity.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

struct EntityPart {
  GMimePart parent;
};

struct EntityPartClass {
  GMimePartClass parent_class;
};

ssize_t writeToStream(GMimeObject* object, GMimeFormatOptions* options, gboolean contentOnly, GMimeStream* stream) {
  if (options == nullptr) options = g_mime_format_options_get_default();
  const char* newline = g_mime_format_options_get_newline(options);
  ssize_t total = 0;
  if (!contentOnly) {
    ssize_t headers = g_mime_header_list_write_to_stream(object->headers, options, stream);
    if (headers < 0 || g_mime_stream_write_string(stream, newline) < 0) return -1;
    total += headers + static_cast<ssize_t>(std::strlen(newline));
  }
  GMimeDataWrapper* wrapper = g_mime_part_get_content(GMIME_PART(object));
  GMimeStream* content = wrapper != nullptr ? g_mime_data_wrapper_get_stream(wrapper) : nullptr;
  if (content == nullptr) return total;
  ssize_t written = wendrel::mime::writeWithLineEnds(content, newline, stream);
  return written < 0 ? -1 : total + written;
}

}  // namespace

extern "C" {
G_DEFINE_TYPE(EntityPart, wendrel_entity_part, GMIME_TYPE_PART)

static void wendrel_entity_part_class_init(EntityPartClass* klass) {
  GMIME_OBJECT_CLASS(klass)->write_to_stream = writeToStream;
}

static void wendrel_entity_part_init(EntityPart*) {}
}

namespace wendrel::mime {

namespace {

bool isFieldNameCharacter(std::uint8_t byte) { return byte > 0x20 && byte < 0x7F && byte != ':'; }

}  // namespace

Entity splitEntity(ByteView bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::size_t name = 0;
  while (name < text.size() && isFieldNameCharacter(static_cast<std::uint8_t>(text[name]))) ++name;
  if (name == 0 || name >= text.size() || text[name] != ':') return {};
  for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
    std::size_t next = at + 1;
    if (next < text.size() && text[next] == '\r') ++next;
    if (next < text.size() && text[next] == '\n') return {true, text.substr(0, at + 1), next + 1};
  }
  return {};
}

GMimePart* newEntityPart(const Entity& entity, GMimeStream* body) {
  auto* part = GMIME_PART(g_object_new(wendrel_entity_part_get_type(), nullptr));
  GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(part));
  g_mime_header_list_clear(headers);
  // Each field with its raw value: what follows the colon, continuation
  // lines included, each line ended by LF (GMime writes the message's).
  std::string_view rest = entity.header;
  while (!rest.empty()) {
    std::size_t end = 0;
    do {
      end = std::min(rest.find('\n', end), rest.size() - 1) + 1;
    } while (end < rest.size() && (rest[end] == ' ' || rest[end] == '\t'));
    std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end);
    std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    std::string name(field.substr(0, colon)), value;
    for (char c : field.substr(colon + 1)) {
      if (c != '\r') value += c;
    }
    if (value.empty() || value.back() != '\n') value += '\n';
    g_mime_header_list_append(headers, name.c_str(), "", nullptr);
    g_mime_header_set_raw_value(g_mime_header_list_get_header_at(headers, g_mime_header_list_get_count(headers) - 1),
                                value.c_str());
  }
  // Written as it came: nothing encodes it again.
  GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(body, GMIME_CONTENT_ENCODING_BINARY);
  g_mime_part_set_content(part, content);
  g_object_unref(content);
  g_object_unref(body);
  return part;
}

ssize_t writeWithLineEnds(GMimeStream* entity, const char* newline, GMimeStream* output) {
  bool crlf = std::strcmp(newline, "\r\n") == 0;
  std::array<char, 64 * 1024> in;
  std::string out;
  out.reserve(2 * in.size() + 2);
  bool carriageReturn = false;  // the block before ended in a CR not yet written (LF output) or written (CRLF)
  ssize_t total = 0;
  g_mime_stream_reset(entity);
  for (ssize_t count; (count = g_mime_stream_read(entity, in.data(), in.size())) > 0;) {
    out.clear();
    for (ssize_t i = 0; i < count; ++i) {
      char c = in[static_cast<std::size_t>(i)];
      if (crlf) {
        if (c == '\n' && !carriageReturn) out += '\r';
        out += c;
        carriageReturn = c == '\r';
      } else {
        // A CR is held until what follows it is known: before an LF it goes.
        if (carriageReturn && c != '\n') out += '\r';
        carriageReturn = c == '\r';
        if (!carriageReturn) out += c;
      }
    }
    if (g_mime_stream_write(output, out.data(), out.size()) != static_cast<ssize_t>(out.size())) return -1;
    total += static_cast<ssize_t>(out.size());
  }
  if (!crlf && carriageReturn) {
    if (g_mime_stream_write(output, "\r", 1) != 1) return -1;
    ++total;
  }
  g_mime_stream_reset(entity);
  return total;
}

}  // namespace wendrel::mime
